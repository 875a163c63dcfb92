#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "api/entry_points.h"

namespace qarn::py {

// The class qarn_sr.SearchResult, created on first need and kept for the rest
// of the process. Borrowed reference, or nullptr with the Python error set.
PyObject* search_result_type();

// Makes this copy of the code create its SearchResult objects as instances of
// `type` (borrowed), a class built by another copy of the same code. A private
// extension module built from the same sources calls it with qarn_sr's class
// before anything else here runs, so that its results are qarn_sr objects.
// Does nothing once a class is in use; false with the Python error set when
// `type` holds records of another size.
bool use_search_result_type(PyObject* type);

// A new SearchResult object that owns `record` (the registry handle inside it
// keeps the operators alive as long as the object lives). New reference, or
// nullptr with the Python error set.
PyObject* wrap_search_result(SearchResult&& record);

}  // namespace qarn::py
