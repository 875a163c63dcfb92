#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/exceptions.h"
#include "python/search_result.h"
#include "python/searcher.h"

namespace qarn::py {

namespace {

// The classes and exceptions are process-wide objects shared by every import
// of the module, so only the main interpreter may use them.
bool in_main_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

int add(PyObject* module, const char* name, PyObject* value) {
  return value == nullptr ? -1 : PyModule_AddObjectRef(module, name, value);
}

int exec_module(PyObject* module) {
  if (!in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError, "qarn_sr does not support sub-interpreters");
    return -1;
  }
  // Registration order: the classes, then the exception classes.
  if (add(module, "Searcher", searcher_type()) < 0 ||
      add(module, "SearchResult", search_result_type()) < 0 ||
      add(module, "QarnDimensionError", exception_class(ExceptionClass::Dimension)) < 0 ||
      add(module, "QarnComplexityError", exception_class(ExceptionClass::Complexity)) < 0 ||
      add(module, "QarnRuntimeError", exception_class(ExceptionClass::Runtime)) < 0) {
    return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// No per-module state and no module-level functions.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qarn_sr",
    "The main Python module entry point.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qarn::py

PyMODINIT_FUNC PyInit_qarn_sr(void) { return PyModuleDef_Init(&qarn::py::module_def); }
