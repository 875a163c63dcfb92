#include "python/result_state.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "ops/registry.h"
#include "python/py_ref.h"

namespace qarn::py {

namespace {

// Token indices refer to positions in the built-in registry: a change of the
// operators or of their order must change this number, so that states saved
// by an older build are refused rather than misread.
constexpr long kStateVersion = 1;

constexpr const char* kInvalidState = "invalid SearchResult state";

// One registry for every reconstructed result; built on first need, shared
// read-only like the registry of a search.
const std::shared_ptr<const OperatorRegistry>& shared_registry() {
  static const std::shared_ptr<const OperatorRegistry> registry = make_builtin_registry();
  return registry;
}

PyObject* token_state(const Token& t) {
  return Py_BuildValue("(iiKdd)", static_cast<int>(t.kind), static_cast<int>(t.small),
                       static_cast<unsigned long long>(t.index), t.value.re, t.value.im);
}

// An int in [0, limit], or false (error left pending or not set).
bool read_uint(PyObject* obj, std::uint64_t limit, std::uint64_t& out) {
  if (!PyLong_Check(obj)) {
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (PyErr_Occurred() != nullptr || value > limit) {
    return false;
  }
  out = value;
  return true;
}

bool read_double(PyObject* obj, double& out) {
  if (!PyFloat_Check(obj)) {
    return false;
  }
  out = PyFloat_AsDouble(obj);
  return true;
}

bool read_token(PyObject* obj, Token& out) {
  if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 5) {
    return false;
  }
  std::uint64_t kind = 0;
  std::uint64_t small = 0;
  if (!read_uint(PyTuple_GetItem(obj, 0), static_cast<std::uint64_t>(TokenKind::Apply), kind) ||
      !read_uint(PyTuple_GetItem(obj, 1), UINT8_MAX, small) ||
      !read_uint(PyTuple_GetItem(obj, 2), UINT64_MAX, out.index) ||
      !read_double(PyTuple_GetItem(obj, 3), out.value.re) ||
      !read_double(PyTuple_GetItem(obj, 4), out.value.im)) {
    return false;
  }
  out.kind = static_cast<TokenKind>(kind);
  out.small = static_cast<std::uint8_t>(small);
  return true;
}

// Checks that the tokens form one postfix formula over `registry`, with
// parameter slots numbered in token order, and fills in the counts the
// search keeps beside them.
bool complete_formula(Formula& f, const OperatorRegistry& registry) {
  std::size_t depth = 0;
  unsigned params = 0;
  unsigned vars = 0;
  for (const Token& t : f.tokens) {
    switch (t.kind) {
      case TokenKind::NamedConstant:
        if (t.index >= registry.size() || registry.entries[t.index].arity != 0) return false;
        break;
      case TokenKind::RealConstant:
        break;
      case TokenKind::Variable:
        vars = std::max(vars, t.small + 1u);
        break;
      case TokenKind::Parameter:
        if (t.small != params) return false;
        ++params;
        break;
      case TokenKind::Apply:
        if (t.index >= registry.size() || registry.entries[t.index].arity != t.small ||
            t.small == 0 || depth < t.small) {
          return false;
        }
        depth -= t.small;
        break;
    }
    ++depth;
  }
  if (depth != 1 || f.complexity != f.tokens.size() || params > UINT8_MAX || vars > UINT8_MAX) {
    return false;
  }
  f.var_count = static_cast<std::uint8_t>(vars);
  f.param_count = static_cast<std::uint8_t>(params);
  return true;
}

}  // namespace

PyObject* result_state(const SearchResult& record) {
  const std::vector<Token>& tokens = record.formula.tokens;
  PyRef items = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(tokens.size())));
  if (!items) {
    return nullptr;
  }
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    PyObject* item = token_state(tokens[i]);
    if (item == nullptr) {
      return nullptr;
    }
    PyTuple_SetItem(items.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  const std::string& text = record.formula.text;
  return Py_BuildValue("(ls#dKO)", kStateVersion, text.data(), static_cast<Py_ssize_t>(text.size()),
                       record.loss, static_cast<unsigned long long>(record.formula.complexity),
                       items.get());
}

std::optional<SearchResult> result_from_state(PyObject* state) {
  const auto invalid = [] {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, kInvalidState);
    return std::nullopt;
  };
  if (!PyTuple_Check(state) || PyTuple_Size(state) != 5) {
    return invalid();
  }
  std::uint64_t version = 0;
  if (!read_uint(PyTuple_GetItem(state, 0), UINT64_MAX, version) || version != kStateVersion) {
    return invalid();
  }
  SearchResult record;
  PyObject* text = PyTuple_GetItem(state, 1);
  PyObject* tokens = PyTuple_GetItem(state, 4);
  if (!PyUnicode_Check(text) || !read_double(PyTuple_GetItem(state, 2), record.loss) ||
      !read_uint(PyTuple_GetItem(state, 3), UINT64_MAX, record.formula.complexity) ||
      !PyTuple_Check(tokens)) {
    return invalid();
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    return invalid();
  }
  record.formula.text.assign(utf8, static_cast<std::size_t>(size));
  const Py_ssize_t count = PyTuple_Size(tokens);
  record.formula.tokens.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!read_token(PyTuple_GetItem(tokens, i), record.formula.tokens[static_cast<std::size_t>(i)])) {
      return invalid();
    }
  }
  record.registry = shared_registry();
  if (!complete_formula(record.formula, *record.registry)) {
    return invalid();
  }
  return record;
}

}  // namespace qarn::py
