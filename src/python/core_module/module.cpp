#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/core_module/cluster_steps.h"
#include "python/core_module/qarn_classes.h"
#include "python/core_module/result_state.h"
#include "python/core_module/search.h"

// _qarn_sr_core: private engine functions for the Python modules shipped
// beside qarn_sr (the scikit-learn estimator, the Dask scale-out). It is built from the same core
// as qarn_sr and works on qarn_sr's own classes. Each source file of this
// folder contributes a null-terminated function table; a new group of
// functions adds its table to kFunctionTables.

namespace qarn::py::core {

namespace {

bool in_main_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

PyMethodDef* const kFunctionTables[] = {search_functions, state_functions, cluster_functions};

int exec_module(PyObject* module) {
  if (!in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError, "_qarn_sr_core does not support sub-interpreters");
    return -1;
  }
  if (!load_qarn_classes()) {
    return -1;
  }
  for (PyMethodDef* table : kFunctionTables) {
    if (PyModule_AddFunctions(module, table) < 0) {
      return -1;
    }
  }
  PyObject* monitor = monitor_type();
  return monitor == nullptr ? -1 : PyModule_AddObjectRef(module, "SearchMonitor", monitor);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_qarn_sr_core",
    "Private engine functions behind qarn_sr_sklearn; not a public interface.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qarn::py::core

PyMODINIT_FUNC PyInit__qarn_sr_core(void) { return PyModuleDef_Init(&qarn::py::core::module_def); }
