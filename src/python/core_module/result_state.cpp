#include "python/core_module/result_state.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/entry_points.h"
#include "ops/registry.h"
#include "python/arguments.h"
#include "python/core_module/qarn_classes.h"
#include "python/exceptions.h"
#include "python/heap_type.h"
#include "python/py_ref.h"
#include "python/result_state.h"

namespace qarn::py::core {

namespace {

// The state format and its checks live in python/result_state.h, shared with
// qarn_sr's own pickling; these functions expose them to the estimator.

constexpr const char* kResultNames[] = {"result"};
constexpr Parameters kResultStateParams{"result_state", kResultNames, 1};

PyObject* result_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[1];
    if (!bind_fastcall(kResultStateParams, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    const SearchResult* record = result_record("result", bound[0].get());
    return record == nullptr ? nullptr : py::result_state(*record);
  });
}

constexpr const char* kStateNames[] = {"state"};
constexpr Parameters kFromStateParams{"result_from_state", kStateNames, 1};

PyObject* result_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[1];
    if (!bind_fastcall(kFromStateParams, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::optional<SearchResult> record = py::result_from_state(bound[0].get());
    return record ? wrap_result(std::move(*record)) : nullptr;
  });
}

PyObject* operator_names(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    const OperatorRegistry& registry = *restored_registry();
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(registry.size())));
    if (!out) {
      return nullptr;
    }
    for (std::size_t i = 0; i < registry.size(); ++i) {
      PyObject* entry = Py_BuildValue("(Ni)", to_str(registry.entries[i].name),
                                      static_cast<int>(registry.entries[i].arity));
      if (entry == nullptr) {
        return nullptr;
      }
      PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), entry);  // steals `entry`
    }
    return out.release();
  });
}

}  // namespace

PyMethodDef state_functions[] = {
    {"result_state", as_cfunction(result_state), METH_FASTCALL | METH_KEYWORDS,
     "result_state(result)\n--\n\n"
     "The state of a qarn_sr.SearchResult as a tuple of plain values:\n"
     "(version, formula text, loss, tokens), one (kind, small, name, re, im)\n"
     "tuple per postfix token (kinds: 0 named constant, 1 real constant,\n"
     "2 variable, 3 fitted parameter, 4 operator applied to `small` operands)."},
    {"result_from_state", as_cfunction(result_from_state), METH_FASTCALL | METH_KEYWORDS,
     "result_from_state(state)\n--\n\n"
     "A new qarn_sr.SearchResult from result_state's tuple; ValueError when the\n"
     "tuple does not describe a formula."},
    {"operator_names", operator_names, METH_NOARGS,
     "operator_names()\n--\n\nThe (name, arity) of every registered constant and operator, in "
     "registry order.\nThe operators are the entries of arity 1 or 2; their names are those "
     "search(operators=...)\naccepts."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qarn::py::core
