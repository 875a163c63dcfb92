#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tbb/task_arena.h>

#include "api/cluster.h"
#include "python/convert.h"
#include "python/exceptions.h"
#include "python/py_ref.h"

// The conversions the cluster driver and scorer classes share: their steps
// take and return bytes, lists of bytes and lists of positions. Each returns
// false (or nullptr) with the Python error set, naming the argument.

namespace qarn::py::core {

// A new bytes object holding `s`.
PyObject* to_bytes(std::string_view s);

// Views of the items of a sequence of bytes, valid while `holder` lives; with
// `none_ok`, None gives an empty item.
bool bytes_items(const char* name, PyObject* obj, PyRef& holder,
                 std::vector<std::optional<std::string_view>>& out, bool none_ok = false);
bool bytes_items(const char* name, PyObject* obj, PyRef& holder,
                 std::vector<std::string_view>& out);

// The view of one bytes argument (valid while the caller holds `obj`).
bool bytes_arg(const char* name, PyObject* obj, std::string_view& out);

// A sequence of non-negative integers.
bool index_items(const char* name, PyObject* obj, std::vector<std::size_t>& out);

// New lists.
PyObject* index_list(std::span<const std::size_t> values);
PyObject* bytes_list(std::span<const std::string> values);

// The value of a step, or ValueError with the reason the step refused its
// input (a malformed or foreign message, a level that cannot be served).
template <class T>
bool take(Decoded<T>&& step, T& out) {
  if (!step) {
    PyErr_SetString(PyExc_ValueError, step.reason().c_str());
    return false;
  }
  out = std::move(*step);
  return true;
}

// Runs `work` without the interpreter lock, on at most `threads` worker
// threads (0: the pool's default); a C++ exception comes back as the Python
// error (MemoryError for std::bad_alloc).
template <class Work>
bool run_unlocked(int threads, Work&& work) {
  std::exception_ptr failure;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    if (threads > 0) {
      tbb::task_arena arena(threads);
      arena.execute([&] { work(); });
    } else {
      work();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (!failure) {
    return true;
  }
  try {
    std::rethrow_exception(failure);
  } catch (...) {
    raise_from_cpp_exception();
  }
  return false;
}

}  // namespace qarn::py::core
