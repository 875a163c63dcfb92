#include "engine/candidate.h"

#include <algorithm>

#include "engine/beam.h"

namespace qarn {

void Level::add(Formula formula, const OperatorRegistry& registry) {
  probes.push_back(probe_values(formula.tokens, formula.var_count, registry));
  keys.push_back(structure_key(formula));
  formulas.push_back(std::move(formula));
}

const Formula& left_parent(const Levels& levels, std::uint64_t level, const Child& child) {
  return levels[left_level(level, child)].formulas[child.left];
}

const Formula& right_parent(const Levels& levels, std::uint64_t level, const Child& child) {
  return levels[right_level(level, child)].formulas[child.right];
}

void child_tokens(const Formula& a, const Formula* b, std::uint64_t op, std::vector<Token>& out) {
  out.clear();
  out.insert(out.end(), a.tokens.begin(), a.tokens.end());
  if (b != nullptr) {
    const std::size_t from = out.size();
    out.insert(out.end(), b->tokens.begin(), b->tokens.end());
    for (std::size_t i = from; i < out.size(); ++i) {
      if (out[i].kind == TokenKind::Parameter) {
        out[i].small = static_cast<std::uint8_t>(out[i].small + a.param_count);
      }
    }
  }
  out.push_back(Token::apply(b != nullptr ? 2 : 1, op));
}

Formula child_formula(const Formula& a, const Formula* b, std::uint64_t op,
                      const OperatorRegistry& registry) {
  Formula f;
  child_tokens(a, b, op, f.tokens);
  const std::string& name = registry.entries[op].name;
  f.text.reserve(name.size() + a.text.size() + (b ? b->text.size() + 4 : 2));
  f.text = name;
  f.text += '(';
  f.text += a.text;
  if (b != nullptr) {
    f.text += ", ";
    f.text += b->text;
  }
  f.text += ')';
  f.complexity = f.tokens.size();
  f.var_count = b ? std::max(a.var_count, b->var_count) : a.var_count;
  f.param_count = static_cast<std::uint8_t>(a.param_count + (b ? b->param_count : 0));
  return f;
}

Formula materialize(const Levels& levels, std::uint64_t level, const Child& child,
                    const OperatorRegistry& registry) {
  const Formula& a = left_parent(levels, level, child);
  const Formula* b = child.unary() ? nullptr : &right_parent(levels, level, child);
  return child_formula(a, b, child.op, registry);
}

std::string child_key(const std::string& a, const std::string* b, std::uint64_t op) {
  std::string key = a;
  if (b != nullptr && !b->empty()) {
    if (!key.empty()) key += '-';
    key += *b;
  }
  if (!key.empty()) key += '-';
  key += std::to_string(op);
  return key;
}

}  // namespace qarn
