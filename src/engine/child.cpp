#include "engine/child.h"

#include <algorithm>

namespace qarn {

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
  f.param_count = child_param_count(a, b);
  return f;
}

std::string structure_key(const Formula& formula) {
  std::string key;
  for (const Token& t : formula.tokens) {
    if (t.kind != TokenKind::Apply) continue;
    if (!key.empty()) key += '-';
    key += std::to_string(t.index);
  }
  return key;
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
