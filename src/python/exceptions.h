#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

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
// message as the only argument (ValueError for InvalidArgument).
void raise_search_error(const SearchError& error);

// The same with the two classes given: a module other than qarn_sr raises
// qarn_sr's own classes, which it looks up.
void raise_search_error(const SearchError& error, PyObject* dimension_error,
                        PyObject* complexity_error);

// A new str from UTF-8 text (formula texts and messages are ASCII; an invalid
// byte would become U+FFFD, never an error). nullptr with the error set.
PyObject* to_str(const std::string& text);

// Whether the pending Python error is an ordinary failure of the data being
// read (any Exception except MemoryError), which a conversion may replace by
// its own error. KeyboardInterrupt, SystemExit, MemoryError and the other
// BaseExceptions say nothing about the data and must reach the caller.
bool ordinary_error_pending();

// Clears the pending error when it is ordinary (or there is none) and returns
// true; otherwise leaves it pending and returns false.
bool clear_ordinary_error();

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
