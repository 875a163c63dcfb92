#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "api/entry_points.h"

namespace qarn::py::core {

// The private module hands out and takes in objects of qarn_sr's own classes:
// its results are qarn_sr.SearchResult instances and its search errors are
// qarn_sr's exception classes. This looks them up in the imported qarn_sr
// module, once, and checks that the result class has the layout these
// sources give it. Returns false with ImportError (or the lookup's error) set.
bool load_qarn_classes();

// A new qarn_sr.SearchResult owning `record`; nullptr with the error set.
PyObject* wrap_result(SearchResult&& record);

// A new list of qarn_sr.SearchResult objects taking over `records`, in
// order; nullptr with the error set.
PyObject* result_list(std::vector<SearchResult>& records);

// The record inside a qarn_sr.SearchResult (borrowed from `obj`), or nullptr
// with TypeError "argument '<name>': must be qarn_sr.SearchResult, not ...".
const SearchResult* result_record(const char* name, PyObject* obj);

// Sets the Python error for a search error: the qarn_sr exception class of
// its kind with the message as the only argument.
void raise_error(const SearchError& error);

}  // namespace qarn::py::core
