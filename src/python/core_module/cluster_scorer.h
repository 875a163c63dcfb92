#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py::core {

// The class _qarn_sr_core.ClusterScorer (the steps a worker process serves
// in a search over processes, for qarn_sr_dask), created on first need.
// Borrowed reference, or nullptr with the Python error set.
PyObject* cluster_scorer_type();

}  // namespace qarn::py::core
