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
#include "python/py_ref.h"

namespace qarn::py::core {

namespace {

// The state of a result is a plain tuple that pickles anywhere:
//   (kStateVersion, text, loss, tokens)
// with one (kind, small, name, re, im) tuple per postfix token, where `name`
// is the registered name of a named constant or operator (None otherwise).
// Names rather than registry indices keep states readable by any build with
// the same operator names.
constexpr long kStateVersion = 1;

// Built once; results restored from a state share it like the results of
// one search share theirs.
const std::shared_ptr<const OperatorRegistry>& shared_registry() {
  static const std::shared_ptr<const OperatorRegistry> registry = make_builtin_registry();
  return registry;
}

PyObject* to_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* token_tuple(const Token& t, const OperatorRegistry& registry) {
  const bool named = t.kind == TokenKind::NamedConstant || t.kind == TokenKind::Apply;
  PyRef name = named && t.index < registry.size()
                   ? PyRef::steal(to_str(registry.entries[t.index].name))
                   : PyRef::borrow(Py_None);
  if (!name) {
    return nullptr;
  }
  return Py_BuildValue("(iiOdd)", static_cast<int>(t.kind), static_cast<int>(t.small), name.get(),
                       t.value.re, t.value.im);
}

constexpr const char* kResultNames[] = {"result"};
constexpr Parameters kResultStateParams{"result_state", kResultNames, 1};

PyObject* result_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[1];
    if (!bind_fastcall(kResultStateParams, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    const SearchResult* record = result_record("result", bound[0].get());
    if (record == nullptr) {
      return nullptr;
    }
    const std::vector<Token>& tokens = record->formula.tokens;
    PyRef list = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(tokens.size())));
    if (!list) {
      return nullptr;
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      PyObject* item = token_tuple(tokens[i], *record->registry);
      if (item == nullptr) {
        return nullptr;
      }
      PyTuple_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
    PyRef text = PyRef::steal(to_str(record->formula.text));
    if (!text) {
      return nullptr;
    }
    return Py_BuildValue("(lOdO)", kStateVersion, text.get(), record->loss, list.get());
  });
}

// Reads one token tuple; false (no error set) when it is malformed.
bool read_token(PyObject* item, const OperatorRegistry& registry, Token& out) {
  int kind = 0;
  int small = 0;
  PyObject* name = nullptr;
  double re = 0.0;
  double im = 0.0;
  if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "iiOdd", &kind, &small, &name, &re, &im)) {
    PyErr_Clear();
    return false;
  }
  if (kind < 0 || kind > static_cast<int>(TokenKind::Apply) || small < 0 || small > 255) {
    return false;
  }
  out = Token{static_cast<TokenKind>(kind), static_cast<std::uint8_t>(small), 0, Complex{re, im}};
  if (out.kind != TokenKind::NamedConstant && out.kind != TokenKind::Apply) {
    return name == Py_None;
  }
  if (!PyUnicode_Check(name)) {
    return false;
  }
  for (std::size_t i = 0; i < registry.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, registry.entries[i].name.c_str()) == 0) {
      out.index = i;
      const std::uint8_t arity = registry.entries[i].arity;
      return out.kind == TokenKind::Apply ? arity == out.small && arity > 0 : arity == 0;
    }
  }
  return false;
}

// A formula from its tokens, or empty when they do not form one formula the
// evaluator can run: every operator finds its operands on the stack, one
// value is left, parameter slots run 0, 1, ... in token order.
std::optional<Formula> formula_from(std::vector<Token> tokens, std::string text) {
  Formula f;
  std::size_t depth = 0;
  std::size_t params = 0;
  std::size_t vars = 0;
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::Apply) {
      if (depth < t.small) return std::nullopt;
      depth -= t.small;
    } else if (t.kind == TokenKind::Parameter) {
      if (t.small != params) return std::nullopt;
      ++params;
    } else if (t.kind == TokenKind::Variable) {
      vars = std::max<std::size_t>(vars, std::size_t{t.small} + 1);
    }
    ++depth;
  }
  if (depth != 1 || params > 255 || vars > 255) return std::nullopt;
  f.complexity = tokens.size();
  f.tokens = std::move(tokens);
  f.text = std::move(text);
  f.var_count = static_cast<std::uint8_t>(vars);
  f.param_count = static_cast<std::uint8_t>(params);
  return f;
}

constexpr const char* kStateNames[] = {"state"};
constexpr Parameters kFromStateParams{"result_from_state", kStateNames, 1};
constexpr const char* kBadState = "argument 'state': not the state of a SearchResult";

PyObject* result_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[1];
    if (!bind_fastcall(kFromStateParams, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    long version = 0;
    PyObject* text = nullptr;
    double loss = 0.0;
    PyObject* items = nullptr;
    if (!PyTuple_Check(bound[0].get()) ||
        !PyArg_ParseTuple(bound[0].get(), "lUdO!", &version, &text, &loss, &PyTuple_Type, &items) ||
        version != kStateVersion) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, kBadState);
      return nullptr;
    }
    const std::shared_ptr<const OperatorRegistry>& registry = shared_registry();
    std::vector<Token> tokens(static_cast<std::size_t>(PyTuple_Size(items)));
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      if (!read_token(PyTuple_GetItem(items, static_cast<Py_ssize_t>(i)), *registry, tokens[i])) {
        PyErr_SetString(PyExc_ValueError, kBadState);
        return nullptr;
      }
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
      return nullptr;
    }
    std::optional<Formula> formula =
        formula_from(std::move(tokens), std::string(utf8, static_cast<std::size_t>(size)));
    if (!formula) {
      PyErr_SetString(PyExc_ValueError, kBadState);
      return nullptr;
    }
    return wrap_result(SearchResult{std::move(*formula), registry, loss});
  });
}

PyObject* operator_names(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    const OperatorRegistry& registry = *shared_registry();
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

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
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
     "registry order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qarn::py::core
