#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/dask/steps.h"

namespace qarn::py {
namespace {

int exec_module(PyObject* module) {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError, "qarn_sr_dask does not support sub-interpreters");
    return -1;
  }
  if (!prepare_dask_steps()) {
    return -1;
  }
  return PyModule_AddFunctions(module, dask_step_methods);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qarn_sr_dask._steps",
    "Level steps of a search spread over processes (private).",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qarn::py

PyMODINIT_FUNC PyInit__steps(void) { return PyModuleDef_Init(&qarn::py::module_def); }
