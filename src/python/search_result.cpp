#include "python/search_result.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ops/decimal.h"
#include "ops/evaluate.h"
#include "ops/render.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/exceptions.h"
#include "python/py_ref.h"
#include "python/search_result_object.h"

namespace qarn::py {

namespace {

const SearchResult& record_of(PyObject* self) {
  return reinterpret_cast<SearchResultObject*>(self)->record;
}

// Formula texts are ASCII; an invalid byte would become U+FFFD, never an error.
PyObject* to_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Real value of the formula at one point, NaN where it has none. The scratch
// vectors are reused across the points of one call.
double value_at(const SearchResult& record, std::span<const double> point,
                std::vector<Complex>& inputs, std::vector<Complex>& stack) {
  if (!record.registry) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return evaluate_real(record.formula, *record.registry, point, inputs, stack);
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<SearchResultObject*>(self)->record.~SearchResult();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

PyObject* get_formula(PyObject* self, void*) {
  return guarded([&] { return to_str(record_of(self).formula.text); });
}

PyObject* get_error(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).loss); }

PyObject* get_complexity(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).formula.complexity);
}

PyObject* repr(PyObject* self) {
  return guarded([&] {
    const SearchResult& record = record_of(self);
    // The text goes in unchanged (quotes are not escaped); the loss with six
    // decimals and never an exponent.
    const std::string text = "SearchResult(formula='" + record.formula.text +
                             "', error=" + fixed_decimal(record.loss, 6) +
                             ", complexity=" + std::to_string(record.formula.complexity) + ")";
    return to_str(text);
  });
}

PyObject* to_latex(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const SearchResult& record = record_of(self);
    return to_str(record.registry ? render_latex(record.formula, *record.registry) : std::string());
  });
}

PyObject* to_python(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const SearchResult& record = record_of(self);
    return to_str(record.registry ? render_python(record.formula, *record.registry)
                                  : std::string());
  });
}

constexpr const char* kEvalNames[] = {"x"};
constexpr const char* kBatchNames[] = {"inputs"};
constexpr Parameters kEvalParams{"eval", kEvalNames, 1};
constexpr Parameters kEvalBatchParams{"eval_batch", kBatchNames, 1};
constexpr Parameters kPredictParams{"predict", kBatchNames, 1};

PyObject* eval(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[1];
    if (!bind_fastcall(kEvalParams, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    // A single number first; only when that fails, a one-dimensional point.
    std::vector<double> point;
    const double x = PyFloat_AsDouble(bound[0].get());
    if (x == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      std::optional<std::vector<double>> vector = extract_vector(bound[0].get());
      if (!vector) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Input must be a float or a 1D list/array");
        return nullptr;
      }
      point = std::move(*vector);
    } else {
      point.push_back(x);
    }
    std::vector<Complex> inputs;
    std::vector<Complex> stack;
    return PyFloat_FromDouble(value_at(record_of(self), point, inputs, stack));
  });
}

PyObject* eval_rows(PyObject* self, const Parameters& params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[1];
    if (!bind_fastcall(params, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::optional<Rows> rows = extract_rows(bound[0].get());
    if (!rows) {
      return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows->size())));
    if (!list) {
      return nullptr;
    }
    // One input buffer and one evaluation stack serve every row.
    std::vector<Complex> inputs;
    std::vector<Complex> stack;
    const SearchResult& record = record_of(self);
    for (std::size_t i = 0; i < rows->size(); ++i) {
      PyObject* value = PyFloat_FromDouble(value_at(record, (*rows)[i], inputs, stack));
      if (value == nullptr) {
        return nullptr;
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals `value`
    }
    return list.release();
  });
}

PyObject* eval_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return eval_rows(self, kEvalBatchParams, args, nargs, kwnames);
}

PyObject* predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return eval_rows(self, kPredictParams, args, nargs, kwnames);
}

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyGetSetDef getset[] = {
    {"formula", get_formula, nullptr, "The discovered mathematical formula as a string.", nullptr},
    {"error", get_error, nullptr, "The residual error (Mean Squared Error) of the formula.",
     nullptr},
    {"complexity", get_complexity, nullptr, "The structural complexity of the formula.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"to_latex", as_cfunction(to_latex), METH_NOARGS,
     "to_latex($self)\n--\n\nReturns the formula in LaTeX format for academic reporting."},
    {"to_python", as_cfunction(to_python), METH_NOARGS,
     "to_python($self)\n--\n\nReturns the formula in Python/NumPy format for immediate use."},
    {"eval", as_cfunction(eval), METH_FASTCALL | METH_KEYWORDS,
     "eval($self, x)\n--\n\n"
     "Evaluates the discovered formula for a given input (float or list/array)."},
    {"eval_batch", as_cfunction(eval_batch), METH_FASTCALL | METH_KEYWORDS,
     "eval_batch($self, inputs)\n--\n\n"
     "Evaluates the formula for a batch of inputs (list of lists or 2D array)."},
    {"predict", as_cfunction(predict), METH_FASTCALL | METH_KEYWORDS,
     "predict($self, inputs)\n--\n\nAlias for eval_batch (Scikit-Learn style)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A high-performance symbolic regression result.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// Python cannot instantiate the class (no __new__), subclass it, or change it.
PyType_Spec type_spec = {
    "qarn_sr.SearchResult",
    static_cast<int>(sizeof(SearchResultObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

// One strong reference, never released; interpreter lock held for all access.
PyObject* type_object = nullptr;

}  // namespace

PyObject* search_result_type() {
  if (type_object == nullptr) {
    type_object = PyType_FromSpec(&type_spec);
  }
  return type_object;
}

PyObject* wrap_search_result(SearchResult&& record) {
  PyObject* type = search_result_type();
  if (type == nullptr) {
    return nullptr;
  }
  return new_search_result(reinterpret_cast<PyTypeObject*>(type), std::move(record));
}

}  // namespace qarn::py
