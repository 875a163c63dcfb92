#include "python/searcher.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "api/entry_points.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/exceptions.h"
#include "python/heap_type.h"
#include "python/py_ref.h"
#include "python/search_methods.h"
#include "python/search_result.h"

namespace qarn::py {

namespace {

// The configuration is written once by the constructor and only read after,
// so every method may borrow the object without further coordination.
const SearchConfig& config_of(PyObject* self) { return held<SearchConfig>(self); }

constexpr Parameters kConstructorParams{"Searcher", kSettingNames, 0};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyRef bound[5];
    if (!bind_tuple(kConstructorParams, args, kwargs, bound)) {
      return nullptr;
    }
    SearchConfig config;
    if (!convert_settings(bound, config)) {
      return nullptr;
    }
    return new_holder<SearchConfig>(type, config);
  });
}

PyObject* get_max_complexity(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(config_of(self).max_complexity);
}
PyObject* get_beam_width(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(config_of(self).beam_width);
}
PyObject* get_complexity_penalty(PyObject* self, void*) {
  return PyFloat_FromDouble(config_of(self).complexity_penalty);
}
PyObject* get_alpha(PyObject* self, void*) { return PyFloat_FromDouble(config_of(self).alpha); }
PyObject* get_l1_ratio(PyObject* self, void*) {
  return PyFloat_FromDouble(config_of(self).l1_ratio);
}

// The per-call `alpha` and `l1_ratio`; absent or None keeps the Searcher's.
struct Overrides {
  std::optional<double> alpha;
  std::optional<double> l1_ratio;
};

bool convert_overrides(const PyRef& alpha, const PyRef& l1_ratio, Overrides& out) {
  return convert_override("alpha", alpha.get(), out.alpha) &&
         convert_override("l1_ratio", l1_ratio.get(), out.l1_ratio);
}

PyObject* finish(Expected<SearchResult>&& outcome) {
  if (const SearchError* error = std::get_if<SearchError>(&outcome)) {
    raise_search_error(*error);
    return nullptr;
  }
  return wrap_search_result(std::get<SearchResult>(std::move(outcome)));
}

PyObject* finish(Expected<std::vector<SearchResult>>&& outcome) {
  if (const SearchError* error = std::get_if<SearchError>(&outcome)) {
    raise_search_error(*error);
    return nullptr;
  }
  std::vector<SearchResult>& records = std::get<std::vector<SearchResult>>(outcome);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) {
    return nullptr;
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* item = wrap_search_result(std::move(records[i]));
    if (item == nullptr) {
      return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list.release();
}

// Every search method: bind, convert the overrides, then the data (first
// argument before `ys`), then search with the interpreter lock held. Nothing
// is searched unless every conversion succeeded.

PyObject* find_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[4];
    Overrides overrides;
    if (!bind_fastcall(kFindFunctionParams, args, nargs, kwnames, bound) ||
        !convert_overrides(bound[2], bound[3], overrides)) {
      return nullptr;
    }
    std::optional<std::vector<double>> xs = extract_vector(bound[0].get());
    if (!xs) {
      return nullptr;
    }
    std::optional<std::vector<double>> ys = extract_vector(bound[1].get());
    if (!ys) {
      return nullptr;
    }
    return finish(
        qarn::find_function(config_of(self), *xs, *ys, overrides.alpha, overrides.l1_ratio));
  });
}

// find_multivariate, fit and find_candidates differ only in their name and
// in the entry point they call.
template <class Entry>
PyObject* search_rows(PyObject* self, const Parameters& params, Entry entry, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[4];
    Overrides overrides;
    if (!bind_fastcall(params, args, nargs, kwnames, bound) ||
        !convert_overrides(bound[2], bound[3], overrides)) {
      return nullptr;
    }
    std::optional<Rows> inputs = extract_rows(bound[0].get());
    if (!inputs) {
      return nullptr;
    }
    std::optional<std::vector<double>> ys = extract_vector(bound[1].get());
    if (!ys) {
      return nullptr;
    }
    return finish(entry(config_of(self), *inputs, *ys, overrides.alpha, overrides.l1_ratio));
  });
}

PyObject* find_multivariate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return search_rows(self, kFindMultivariateParams, qarn::find_multivariate, args, nargs, kwnames);
}

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return search_rows(self, kFitParams, qarn::fit, args, nargs, kwnames);
}

PyObject* find_candidates(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return search_rows(self, kFindCandidatesParams, qarn::find_candidates, args, nargs, kwnames);
}

PyObject* recognize_constant(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[3];
    double value = 0.0;
    Overrides overrides;
    if (!bind_fastcall(kRecognizeConstantParams, args, nargs, kwnames, bound) ||
        !convert_double("value", bound[0].get(), value) ||
        !convert_overrides(bound[1], bound[2], overrides)) {
      return nullptr;
    }
    return finish(
        qarn::recognize_constant(config_of(self), value, overrides.alpha, overrides.l1_ratio));
  });
}

PyGetSetDef getset[] = {
    {"max_complexity", get_max_complexity, nullptr, nullptr, nullptr},
    {"beam_width", get_beam_width, nullptr, nullptr, nullptr},
    {"complexity_penalty", get_complexity_penalty, nullptr, nullptr, nullptr},
    {"alpha", get_alpha, nullptr, nullptr, nullptr},
    {"l1_ratio", get_l1_ratio, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// "\xE2\x89\x88" is U+2248 (almost equal to) in UTF-8.
PyMethodDef methods[] = {
    {"find_function", as_cfunction(find_function), METH_FASTCALL | METH_KEYWORDS,
     "find_function($self, xs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Finds a univariate function f(x) \xE2\x89\x88 y.\n"
     "Supports both Python lists and NumPy arrays."},
    {"find_multivariate", as_cfunction(find_multivariate), METH_FASTCALL | METH_KEYWORDS,
     "find_multivariate($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Finds a multivariate function f(x0, x1, ...) \xE2\x89\x88 y.\n"
     "Inputs should be a 2D array-like structure."},
    {"fit", as_cfunction(fit), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Alias for find_multivariate (Scikit-Learn style)."},
    {"find_candidates", as_cfunction(find_candidates), METH_FASTCALL | METH_KEYWORDS,
     "find_candidates($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Returns the Pareto-front of all candidate formulas found."},
    {"recognize_constant", as_cfunction(recognize_constant), METH_FASTCALL | METH_KEYWORDS,
     "recognize_constant($self, value, alpha=None, l1_ratio=None)\n--\n\n"
     "Identifies a closed-form expression for a scalar constant."},
    {nullptr, nullptr, 0, nullptr},
};

// The signature line of the class docstring becomes the constructor's
// __text_signature__; __doc__ keeps only the text after "--".
PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Searcher(max_complexity=10, complexity_penalty=0.1, beam_width=1000, "
                       "alpha=0.0, l1_ratio=0.5)\n--\n\n"
                       "The core QARN-SR search engine exposed to Python.")},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<SearchConfig>)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "qarn_sr.Searcher",
    static_cast<int>(sizeof(Holder<SearchConfig>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

LazyType type_object(type_spec);

}  // namespace

PyObject* searcher_type() { return type_object.get(); }

}  // namespace qarn::py
