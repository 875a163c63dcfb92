#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>

#include "api/entry_points.h"

namespace qarn::py {

// The state of a SearchResult, from which pickling, copying and the private
// module rebuild it: a tuple of plain values that every pickle protocol
// stores exactly,
//   (version, formula text, loss, tokens)
// with one (kind, small, name, re, im) tuple per postfix token, where `name`
// is the registered name of a named constant or operator (None otherwise).
// Names rather than registry indices keep states readable by any build with
// the same operator names. New reference, or nullptr with the Python error set.
PyObject* result_state(const SearchResult& record);

// The record back from a state, over the built-in operators. A state of
// another version, or one that does not describe a well-formed formula over
// those operators, raises ValueError kBadState; empty with the Python error set.
std::optional<SearchResult> result_from_state(PyObject* state);

inline constexpr const char* kBadState = "argument 'state': not the state of a SearchResult";

// The built-in operators, built once: every restored result shares it, as
// the results of one search share theirs.
const std::shared_ptr<const OperatorRegistry>& restored_registry();

}  // namespace qarn::py
