#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py::core {

// The class _qarn_sr_core.ClusterDriver (the driver of a search over
// processes, for qarn_sr_dask), created on first need. Borrowed reference,
// or nullptr with the Python error set.
PyObject* cluster_driver_type();

}  // namespace qarn::py::core
