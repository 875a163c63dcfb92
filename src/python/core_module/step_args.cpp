#include "python/core_module/step_args.h"

namespace qarn::py::core {

PyObject* to_bytes(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

bool bytes_arg(const char* name, PyObject* obj, std::string_view& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': must be bytes", name);
    return false;
  }
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) {
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool bytes_items(const char* name, PyObject* obj, PyRef& holder,
                 std::vector<std::optional<std::string_view>>& out, bool none_ok) {
  holder = PyRef::steal(PySequence_Tuple(obj));
  if (!holder) {
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(holder.get());
  out.clear();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(holder.get(), i);
    if (none_ok && item == Py_None) {
      out.emplace_back();
      continue;
    }
    std::string_view view;
    if (!bytes_arg(name, item, view)) {
      return false;
    }
    out.emplace_back(view);
  }
  return true;
}

bool bytes_items(const char* name, PyObject* obj, PyRef& holder,
                 std::vector<std::string_view>& out) {
  std::vector<std::optional<std::string_view>> items;
  if (!bytes_items(name, obj, holder, items)) {
    return false;
  }
  out.clear();
  for (const auto& item : items) out.push_back(*item);
  return true;
}

bool index_items(const char* name, PyObject* obj, std::vector<std::size_t>& out) {
  PyRef seq = PyRef::steal(PySequence_Tuple(obj));
  if (!seq) {
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(seq.get());
  out.clear();
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::uint64_t v = 0;
    if (!convert_u64(name, PyTuple_GetItem(seq.get(), i), v)) {
      return false;
    }
    out.push_back(static_cast<std::size_t>(v));
  }
  return true;
}

PyObject* index_list(std::span<const std::size_t> values) {
  return list_of(values.size(), [&](std::size_t i) { return PyLong_FromSize_t(values[i]); });
}

PyObject* bytes_list(std::span<const std::string> values) {
  return list_of(values.size(), [&](std::size_t i) { return to_bytes(values[i]); });
}

}  // namespace qarn::py::core
