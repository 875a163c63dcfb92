#include "python/result_state.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ops/registry.h"
#include "python/exceptions.h"
#include "python/py_ref.h"

namespace qarn::py {

namespace {

constexpr long kStateVersion = 1;

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
  if (kind < 0 || kind > static_cast<int>(TokenKind::Apply) || small < 0 ||
      small >= static_cast<int>(kSmallValues)) {
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
  if (depth != 1 || params > UINT8_MAX || vars > UINT8_MAX) return std::nullopt;
  f.complexity = tokens.size();
  f.tokens = std::move(tokens);
  f.text = std::move(text);
  f.var_count = static_cast<std::uint8_t>(vars);
  f.param_count = static_cast<std::uint8_t>(params);
  return f;
}

}  // namespace

const std::shared_ptr<const OperatorRegistry>& restored_registry() {
  static const std::shared_ptr<const OperatorRegistry> registry = make_builtin_registry();
  return registry;
}

PyObject* result_state(const SearchResult& record) {
  const std::vector<Token>& tokens = record.formula.tokens;
  PyRef items = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(tokens.size())));
  if (!items) {
    return nullptr;
  }
  const OperatorRegistry& registry = record.registry ? *record.registry : *restored_registry();
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    PyObject* item = token_tuple(tokens[i], registry);
    if (item == nullptr) {
      return nullptr;
    }
    PyTuple_SetItem(items.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  PyRef text = PyRef::steal(to_str(record.formula.text));
  if (!text) {
    return nullptr;
  }
  return Py_BuildValue("(lOdO)", kStateVersion, text.get(), record.loss, items.get());
}

std::optional<SearchResult> result_from_state(PyObject* state) {
  const auto refuse = [] {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, kBadState);
    return std::nullopt;
  };
  long version = 0;
  PyObject* text = nullptr;
  double loss = 0.0;
  PyObject* items = nullptr;
  if (!PyTuple_Check(state) ||
      !PyArg_ParseTuple(state, "lUdO!", &version, &text, &loss, &PyTuple_Type, &items) ||
      version != kStateVersion) {
    return refuse();
  }
  const std::shared_ptr<const OperatorRegistry>& registry = restored_registry();
  std::vector<Token> tokens(static_cast<std::size_t>(PyTuple_Size(items)));
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (!read_token(PyTuple_GetItem(items, static_cast<Py_ssize_t>(i)), *registry, tokens[i])) {
      return refuse();
    }
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    return std::nullopt;
  }
  std::optional<Formula> formula =
      formula_from(std::move(tokens), std::string(utf8, static_cast<std::size_t>(size)));
  if (!formula) {
    return refuse();
  }
  return SearchResult{std::move(*formula), registry, loss};
}

}  // namespace qarn::py
