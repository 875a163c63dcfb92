#include "python/convert.h"

#include <cstring>

#include "python/ndarray.h"
#include "python/py_ref.h"

namespace qarn::py {

namespace {

// Appends the items of a non-str sequence, each through the host's float
// conversion. False on any failure, the Python error (if any) left pending
// for the caller to replace.
bool read_float_sequence(PyObject* obj, std::vector<double>& out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    return false;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) {
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred()) {
      return false;
    }
    out.push_back(value);
  }
  return PyErr_Occurred() == nullptr;
}

// Replaces whatever the fallback raised (or nothing) with the conversion's error.
void raise_value_error(const char* message) {
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, message);
}

// Copies `count` doubles that lie `stride` bytes apart. memcpy, because an
// array's data need not be aligned for double.
void copy_strided(const char* src, Py_ssize_t count, Py_ssize_t stride, double* dst) {
  if (count <= 1 || stride == static_cast<Py_ssize_t>(sizeof(double))) {
    if (count > 0) {
      std::memcpy(dst, src, static_cast<std::size_t>(count) * sizeof(double));
    }
    return;
  }
  for (Py_ssize_t j = 0; j < count; ++j) {
    std::memcpy(dst + j, src + j * stride, sizeof(double));
  }
}

// Re-raises a pending TypeError as TypeError "argument '<name>': <message>".
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
    return;
  }
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  if (owned_value) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, owned_value.get());
  } else {
    PyErr_Format(PyExc_TypeError, "argument '%s': ", name);
  }
}

}  // namespace

std::optional<std::vector<double>> extract_vector(PyObject* obj) {
  {
    Float64Array array;
    if (array.acquire(obj, 1)) {
      if (!array.contiguous() || array.data() == nullptr) {
        PyErr_SetString(PyExc_TypeError, kNotContiguous);
        return std::nullopt;
      }
      std::vector<double> out(static_cast<std::size_t>(array.shape(0)));
      copy_strided(array.data(), array.shape(0), array.stride(0), out.data());
      return out;
    }
  }
  std::vector<double> out;
  if (!read_float_sequence(obj, out)) {
    raise_value_error(kVectorError);
    return std::nullopt;
  }
  return out;
}

std::optional<Rows> extract_rows(PyObject* obj) {
  {
    Float64Array array;
    if (array.acquire(obj, 2)) {
      const Py_ssize_t n = array.shape(0);
      const Py_ssize_t m = array.shape(1);
      Rows rows(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        if (m > 0) {
          std::vector<double>& row = rows[static_cast<std::size_t>(i)];
          row.resize(static_cast<std::size_t>(m));
          copy_strided(array.data() + i * array.stride(0), m, array.stride(1), row.data());
        }
      }
      return rows;
    }
  }
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    raise_value_error(kRowsError);
    return std::nullopt;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) {
    raise_value_error(kRowsError);
    return std::nullopt;
  }
  Rows rows;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    std::vector<double> row;
    if (!read_float_sequence(item.get(), row)) {
      raise_value_error(kRowsError);
      return std::nullopt;
    }
    rows.push_back(std::move(row));
  }
  if (PyErr_Occurred()) {
    raise_value_error(kRowsError);
    return std::nullopt;
  }
  return rows;
}

bool convert_double(const char* name, PyObject* obj, double& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  out = value;
  return true;
}

bool convert_u64(const char* name, PyObject* obj, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    prefix_type_error(name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  out = static_cast<std::uint64_t>(value);
  return true;
}

bool convert_override(const char* name, PyObject* obj, std::optional<double>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  double value = 0.0;
  if (!convert_double(name, obj, value)) {
    return false;
  }
  out = value;
  return true;
}

}  // namespace qarn::py
