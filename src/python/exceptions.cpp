#include "python/exceptions.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "python/py_ref.h"

namespace qarn::py {

namespace {

// One strong reference per class, never released: the classes live as long
// as the process, so every import and every raise sees the same objects.
// All access happens with the interpreter lock held.
PyObject* classes[3] = {nullptr, nullptr, nullptr};

constexpr const char* kQualifiedNames[3] = {
    "qarn_sr.QarnDimensionError",
    "qarn_sr.QarnComplexityError",
    "qarn_sr.QarnRuntimeError",
};

}  // namespace

PyObject* exception_class(ExceptionClass which) {
  const auto slot = static_cast<int>(which);
  if (classes[slot] != nullptr) {
    return classes[slot];
  }
  // Exception as the only base, no docstring, no class dictionary.
  PyObject* created = PyErr_NewException(kQualifiedNames[slot], PyExc_Exception, nullptr);
  if (created == nullptr) {
    return nullptr;
  }
  // Creating a class can run Python code (a collection, finalisers) that could
  // have created the class first; keep the one already published.
  if (classes[slot] != nullptr) {
    Py_DECREF(created);
    return classes[slot];
  }
  classes[slot] = created;
  return created;
}

PyObject* to_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void raise_search_error(const SearchError& error, PyObject* dimension_error,
                        PyObject* complexity_error) {
  PyObject* cls = nullptr;
  switch (error.kind) {
    case SearchError::Kind::DimensionMismatch:
      cls = dimension_error;
      break;
    case SearchError::Kind::NoFormulaFound:
      cls = complexity_error;
      break;
    case SearchError::Kind::InvalidArgument:
      cls = PyExc_ValueError;
      break;
  }
  if (cls == nullptr) {
    return;
  }
  PyRef text = PyRef::steal(to_str(error.message()));
  if (text) {
    PyErr_SetObject(cls, text.get());
  }
}

void raise_search_error(const SearchError& error) {
  PyObject* dimension = exception_class(ExceptionClass::Dimension);
  PyObject* complexity = dimension ? exception_class(ExceptionClass::Complexity) : nullptr;
  if (complexity != nullptr) {
    raise_search_error(error, dimension, complexity);
  }
}

bool ordinary_error_pending() {
  return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

bool clear_ordinary_error() {
  if (PyErr_Occurred() != nullptr && !ordinary_error_pending()) {
    return false;
  }
  PyErr_Clear();
  return true;
}

void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError,
                    "out of memory: the search could not allocate what it needed (lower "
                    "beam_width or max_complexity, or use fewer rows)");
  } catch (const std::length_error&) {
    // A container asked for more elements than it can hold: out of memory too.
    PyErr_SetString(PyExc_MemoryError,
                    "out of memory: the search needed a container larger than it can hold");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

}  // namespace qarn::py
