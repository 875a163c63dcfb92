#include "python/arguments.h"

#include <utility>
#include <vector>

namespace qarn::py {

namespace {

struct Keyword {
  PyObject* name;   // borrowed
  PyObject* value;  // borrowed
};

bool is_named(PyObject* key, const char* name) {
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

const Keyword* find_keyword(std::span<const Keyword> keywords, const char* name) {
  for (const Keyword& kw : keywords) {
    if (is_named(kw.name, name)) {
      return &kw;
    }
  }
  return nullptr;
}

// Sets the error for keywords that matched no free parameter: a name that is
// also given by position, else a keyword of no parameter, else a repeat.
void raise_unmatched_keywords(const Parameters& params, std::size_t npos,
                              std::span<const Keyword> keywords) {
  for (std::size_t i = 0; i < npos; ++i) {
    if (find_keyword(keywords, params.names[i]) != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%s') and position (%zu)",
                   params.function, params.names[i], i + 1);
      return;
    }
  }
  for (const Keyword& kw : keywords) {
    if (!PyUnicode_Check(kw.name)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return;
    }
    bool known = false;
    for (const char* name : params.names) {
      known = known || is_named(kw.name, name);
    }
    if (!known) {
      PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %.200s()", kw.name,
                   params.function);
      return;
    }
  }
  PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for a keyword argument",
               params.function);
}

// The shared binding rules; `positional` and `keywords` are borrowed from the caller.
bool bind(const Parameters& params, std::span<PyObject* const> positional,
          std::span<const Keyword> keywords, std::span<PyRef> out) {
  const std::size_t nparams = params.names.size();
  const std::size_t npos = positional.size();
  const std::size_t given = npos + keywords.size();
  if (given > nparams) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes at most %zu %sargument%s (%zu given)",
                 params.function, nparams, npos == 0 ? "keyword " : "", nparams == 1 ? "" : "s",
                 given);
    return false;
  }
  for (std::size_t i = 0; i < npos; ++i) {
    out[i] = PyRef::borrow(positional[i]);
  }
  std::size_t matched = 0;
  for (std::size_t i = npos; i < nparams; ++i) {
    if (const Keyword* kw = find_keyword(keywords, params.names[i])) {
      out[i] = PyRef::borrow(kw->value);
      ++matched;
    } else if (i < params.required) {
      PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zu)",
                   params.function, params.names[i], i + 1);
      return false;
    }
  }
  if (matched < keywords.size()) {
    raise_unmatched_keywords(params, npos, keywords);
    return false;
  }
  return true;
}

void clear(std::span<PyRef> out) {
  for (PyRef& ref : out) {
    ref.reset();
  }
}

}  // namespace

bool bind_fastcall(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyRef> out) {
  std::vector<Keyword> keywords;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) {
      return false;
    }
    keywords.reserve(static_cast<std::size_t>(nkw));
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      // Keyword values follow the positional ones in `args`.
      keywords.push_back({PyTuple_GetItem(kwnames, k), args[nargs + k]});
    }
  }
  const bool ok = bind(params, std::span<PyObject* const>(args, static_cast<std::size_t>(nargs)),
                       keywords, out);
  if (!ok) {
    clear(out);
  }
  return ok;
}

bool bind_tuple(const Parameters& params, PyObject* args, PyObject* kwargs, std::span<PyRef> out) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) {
    return false;
  }
  std::vector<PyObject*> positional;
  positional.reserve(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    positional.push_back(PyTuple_GetItem(args, i));
  }
  std::vector<Keyword> keywords;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      keywords.push_back({key, value});
    }
  }
  // The bound values are strong references taken before any conversion runs
  // Python code, so nothing that code does to the tuple or dict can free them.
  const bool ok = bind(params, positional, keywords, out);
  if (!ok) {
    clear(out);
  }
  return ok;
}

}  // namespace qarn::py
