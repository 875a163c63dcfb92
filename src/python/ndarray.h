#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py {

// Read-only access to the memory of a NumPy array whose elements are native
// 64-bit floats, through the buffer protocol. NumPy is consulted only at run
// time and only to recognise its array type; no NumPy header is used.
class Float64Array {
 public:
  enum class Acquired {
    array,   // the buffer is held until this object dies
    other,   // not such an array (or one that cannot be read as one), no
             // Python error pending: the caller takes its fallback
    raised,  // an interrupt, SystemExit or MemoryError is pending
  };

  Float64Array() = default;
  Float64Array(const Float64Array&) = delete;
  Float64Array& operator=(const Float64Array&) = delete;
  ~Float64Array();

  // `array` when `obj` is an instance of numpy.ndarray (or of a subclass)
  // with exactly `ndim` dimensions whose element type is the native float64,
  // both by its dtype and by the format of its buffer.
  Acquired acquire(PyObject* obj, int ndim);

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
