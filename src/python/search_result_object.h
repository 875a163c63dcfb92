#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "api/entry_points.h"

namespace qarn::py {

// The memory layout of a qarn_sr.SearchResult instance. Every extension
// module built from these sources shares it, so a private module can fill
// instances of the class that qarn_sr created.
struct SearchResultObject {
  PyObject_HEAD SearchResult record;
};

// A new instance of `type` (qarn_sr.SearchResult, or a class of the same
// layout) that owns `record`. New reference, or nullptr with the Python error
// set.
PyObject* new_search_result(PyTypeObject* type, SearchResult&& record);

}  // namespace qarn::py
