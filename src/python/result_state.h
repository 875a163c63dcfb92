#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "api/entry_points.h"

namespace qarn::py {

// The state a SearchResult is pickled and copied with: a tuple of plain ints,
// floats and a str, which every pickle protocol stores exactly,
//   (version, text, loss, complexity, ((kind, small, index, re, im), ...))
// with one inner tuple per postfix token. New reference, or nullptr with the
// Python error set.
PyObject* result_state(const SearchResult& record);

// The record back from such a state, over the built-in operators. A state of
// another version, or one that does not describe a well-formed formula over
// those operators, raises ValueError; empty with the Python error set.
std::optional<SearchResult> result_from_state(PyObject* state);

}  // namespace qarn::py
