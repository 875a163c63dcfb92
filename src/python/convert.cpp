#include "python/convert.h"

#include <cstring>

#include "python/exceptions.h"
#include "python/ndarray.h"
#include "python/py_ref.h"

namespace qarn::py {

namespace {

// How reading a sequence ended.
enum class Read {
  ok,
  failed,       // the data failed; the Python error, if any, may be replaced
  interrupted,  // a signal handler raised; its error passes through
};

// Sequences longer than this check for pending signals between items, so that
// Ctrl-C stops the conversion of a long list of plain floats (which runs no
// Python code that would notice it).
constexpr std::size_t kSignalPollInterval = 4096;

// Text is a sequence too, but never data: str, bytes and bytearray are
// refused (bytes would otherwise read as their character codes).
bool is_text(PyObject* obj) {
  return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj);
}

// Calls `read(item)` for each item of a non-text sequence, in order.
template <class ReadItem>
Read for_each_item(PyObject* obj, ReadItem&& read) {
  if (is_text(obj) || !PySequence_Check(obj)) {
    return Read::failed;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) {
    return Read::failed;
  }
  std::size_t count = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (const Read status = read(item.get()); status != Read::ok) {
      return status;
    }
    if (++count % kSignalPollInterval == 0 && PyErr_CheckSignals() != 0) {
      return Read::interrupted;
    }
  }
  return PyErr_Occurred() == nullptr ? Read::ok : Read::failed;
}

// Appends the items of a non-text sequence, each through the host's float
// conversion.
Read read_float_sequence(PyObject* obj, std::vector<double>& out) {
  return for_each_item(obj, [&](PyObject* item) {
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
      return Read::failed;
    }
    out.push_back(value);
    return Read::ok;
  });
}

// Reports a failed read: ValueError `message` in place of an ordinary failure
// of the data (or of none), anything else left pending.
void raise_read_error(Read status, const char* message) {
  if (status == Read::failed && clear_ordinary_error()) {
    PyErr_SetString(PyExc_ValueError, message);
  }
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

// Re-raises a pending TypeError or OverflowError as the same class with the
// message "argument '<name>': <message>".
void prefix_argument_error(const char* name) {
  PyObject* cls = PyErr_ExceptionMatches(PyExc_TypeError)       ? PyExc_TypeError
                  : PyErr_ExceptionMatches(PyExc_OverflowError) ? PyExc_OverflowError
                                                                : nullptr;
  if (cls == nullptr) {
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
    PyErr_Format(cls, "argument '%s': %S", name, owned_value.get());
  } else {
    PyErr_Format(cls, "argument '%s': ", name);
  }
}

}  // namespace

std::optional<std::vector<double>> extract_vector(PyObject* obj, const char* message) {
  {
    Float64Array array;
    switch (array.acquire(obj, 1)) {
      case Float64Array::Acquired::array: {
        if (!array.contiguous() || array.data() == nullptr) {
          PyErr_SetString(PyExc_TypeError, kNotContiguous);
          return std::nullopt;
        }
        std::vector<double> out(static_cast<std::size_t>(array.shape(0)));
        copy_strided(array.data(), array.shape(0), array.stride(0), out.data());
        return out;
      }
      case Float64Array::Acquired::raised:
        return std::nullopt;
      case Float64Array::Acquired::other:
        break;
    }
  }
  std::vector<double> out;
  if (const Read status = read_float_sequence(obj, out); status != Read::ok) {
    raise_read_error(status, message);
    return std::nullopt;
  }
  return out;
}

std::optional<Rows> extract_rows(PyObject* obj) {
  {
    Float64Array array;
    switch (array.acquire(obj, 2)) {
      case Float64Array::Acquired::array: {
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
      case Float64Array::Acquired::raised:
        return std::nullopt;
      case Float64Array::Acquired::other:
        break;
    }
  }
  Rows rows;
  const Read status = for_each_item(obj, [&](PyObject* item) {
    std::vector<double> row;
    const Read read = read_float_sequence(item, row);
    if (read == Read::ok) {
      rows.push_back(std::move(row));
    }
    return read;
  });
  if (status != Read::ok) {
    raise_read_error(status, kRowsError);
    return std::nullopt;
  }
  return rows;
}

bool convert_double(const char* name, PyObject* obj, double& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = value;
  return true;
}

bool convert_u64(const char* name, PyObject* obj, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    prefix_argument_error(name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_argument_error(name);
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

bool convert_settings(std::span<const PyRef> bound, SearchConfig& config) {
  return (!bound[0] || convert_u64("max_complexity", bound[0].get(), config.max_complexity)) &&
         (!bound[1] ||
          convert_double("complexity_penalty", bound[1].get(), config.complexity_penalty)) &&
         (!bound[2] || convert_u64("beam_width", bound[2].get(), config.beam_width)) &&
         (!bound[3] || convert_double("alpha", bound[3].get(), config.alpha)) &&
         (!bound[4] || convert_double("l1_ratio", bound[4].get(), config.l1_ratio));
}

}  // namespace qarn::py
