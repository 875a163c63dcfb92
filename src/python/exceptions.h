#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "api/entry_points.h"

namespace qarn::py {

// The module's three exception classes.
enum class ExceptionClass {
  Dimension,   // qarn_sr.QarnDimensionError: DimensionMismatch
  Complexity,  // qarn_sr.QarnComplexityError: NoFormulaFound
  Runtime,     // qarn_sr.QarnRuntimeError: exported, raised by nothing
};

// The class, created on first need (module initialisation or a first raise,
// whichever comes first) and kept alive for the rest of the process. Returns
// a borrowed reference, or nullptr with the Python error set.
PyObject* exception_class(ExceptionClass which);

// Sets the Python error for a search error: the class of its kind with the
// message as the only argument.
void raise_search_error(const SearchError& error);

// Sets the Python error for the C++ exception being handled. Call only from a
// catch block.
void raise_from_cpp_exception() noexcept;

// Runs the body of a Python entry point so that no C++ exception crosses into
// the interpreter: std::bad_alloc becomes MemoryError, anything else
// RuntimeError. Returns the body's result, or nullptr with the error set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_from_cpp_exception();
    return nullptr;
  }
}

}  // namespace qarn::py
