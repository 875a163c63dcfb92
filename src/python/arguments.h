#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

#include "python/py_ref.h"

namespace qarn::py {

// A parameter list: every parameter may be passed by position or by keyword;
// the first `required` are required, the others optional.
struct Parameters {
  const char* function;                // name used in messages, e.g. "find_function"
  std::span<const char* const> names;  // in positional order
  std::size_t required;
};

// Bind the arguments of a METH_FASTCALL | METH_KEYWORDS call. On success each
// out[i] holds a strong reference to the argument of parameter i, or stays
// empty when the argument is absent; `out` has one slot per parameter. On
// failure raises TypeError with the interpreter's messages for built-ins
// (too many arguments, a missing required argument, an argument given by name
// and position, an unexpected keyword) and returns false.
bool bind_fastcall(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyRef> out);

// The same for a call that arrives as a tuple and an optional dict (tp_new).
bool bind_tuple(const Parameters& params, PyObject* args, PyObject* kwargs, std::span<PyRef> out);

}  // namespace qarn::py
