#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py {

// The class qarn_sr.Searcher, created on first need and kept for the rest of
// the process. Borrowed reference, or nullptr with the Python error set.
PyObject* searcher_type();

}  // namespace qarn::py
