#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/core_module/cluster_driver.h"
#include "python/core_module/cluster_scorer.h"
#include "python/core_module/qarn_classes.h"
#include "python/core_module/result_state.h"
#include "python/core_module/search.h"

// _qarn_sr_core: private engine functions for the Python modules shipped
// beside qarn_sr (the scikit-learn estimator, the Dask scale-out). It is built from the same core
// as qarn_sr and works on qarn_sr's own classes. Each source file of this
// folder contributes a null-terminated function table (kFunctionTables) or a
// class (kTypes).

namespace qarn::py::core {

namespace {

bool in_main_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

PyMethodDef* const kFunctionTables[] = {search_functions, state_functions};

// The module's classes, by role: the search monitor, and the driver and
// scorer of a search over processes.
struct NamedType {
  const char* name;
  PyObject* (*type)();
};
const NamedType kTypes[] = {
    {"SearchMonitor", monitor_type},
    {"ClusterDriver", cluster_driver_type},
    {"ClusterScorer", cluster_scorer_type},
};

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
  for (const NamedType& named : kTypes) {
    PyObject* type = named.type();
    if (type == nullptr || PyModule_AddObjectRef(module, named.name, type) < 0) {
      return -1;
    }
  }
  return 0;
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
