#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py::core {

// The class _qarn_sr_core.SearchMonitor, created on first need. Borrowed
// reference, or nullptr with the Python error set.
PyObject* monitor_type();

// Module functions of this file (null-terminated): `search`.
extern PyMethodDef search_functions[];

}  // namespace qarn::py::core
