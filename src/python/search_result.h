#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "api/entry_points.h"

namespace qarn::py {

// The class qarn_sr.SearchResult, created on first need and kept for the rest
// of the process. Borrowed reference, or nullptr with the Python error set.
PyObject* search_result_type();

// A new SearchResult object that owns `record` (the registry handle inside it
// keeps the operators alive as long as the object lives). New reference, or
// nullptr with the Python error set.
PyObject* wrap_search_result(SearchResult&& record);

}  // namespace qarn::py
