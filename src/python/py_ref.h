#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace qarn::py {

// Owner of one strong reference: released exactly once, when the owner goes
// out of scope, whatever path leaves it. Move-only, so ownership never doubles.
class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = other.ptr_;
      other.ptr_ = nullptr;
    }
    return *this;
  }
  ~PyRef() { reset(); }

  // Takes over a new reference (the result of most C API calls); null stays null.
  static PyRef steal(PyObject* ptr) { return PyRef(ptr); }
  // Adds a reference to a borrowed object; null stays null.
  static PyRef borrow(PyObject* ptr) {
    Py_XINCREF(ptr);
    return PyRef(ptr);
  }

  PyObject* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // Hands the reference to the caller (for functions that return or steal it).
  PyObject* release() { return std::exchange(ptr_, nullptr); }

  void reset() {
    // Clear the slot before the decrement: a finaliser run by it may look here.
    PyObject* old = std::exchange(ptr_, nullptr);
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* ptr) : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// A new list of `n` items, item i made by `make(i)` (a new reference, or
// nullptr with the Python error set); nullptr with the error set when any
// item fails.
template <class Make>
PyObject* list_of(std::size_t n, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) {
    return nullptr;
  }
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) {
      return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list.release();
}

}  // namespace qarn::py
