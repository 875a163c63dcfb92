#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py {

// Read-only access to the memory of a NumPy array whose elements are native
// 64-bit floats, through the buffer protocol. NumPy is consulted only at run
// time and only to recognise its array type; no NumPy header is used.
class Float64Array {
 public:
  Float64Array() = default;
  Float64Array(const Float64Array&) = delete;
  Float64Array& operator=(const Float64Array&) = delete;
  ~Float64Array();

  // True when `obj` is an instance of numpy.ndarray (or of a subclass) with
  // exactly `ndim` dimensions and an element type equal to the native float64,
  // and its buffer was acquired (held until this object dies). False
  // otherwise, with no Python error pending: the caller takes its fallback.
  bool acquire(PyObject* obj, int ndim);

  // Address of element [0] (or [0, 0]); strides may be negative.
  const char* data() const { return static_cast<const char*>(view_.buf); }
  Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
  Py_ssize_t stride(int axis) const { return view_.strides[axis]; }
  // C- or Fortran-contiguous, with the interpreter's rules (axes of length 0
  // or 1 impose no stride).
  bool contiguous() const { return PyBuffer_IsContiguous(&view_, 'A') != 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace qarn::py
