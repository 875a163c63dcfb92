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

// Registers with copyreg how pickle and copy take a SearchResult apart, so
// that results pickle under every protocol and copy.copy / copy.deepcopy
// work. 0, or -1 with the Python error set.
int register_search_result_pickling();

}  // namespace qarn::py
