#include "engine/subtree.h"

namespace qarn {

bool SubtreeSpans::build(std::span<const Token> tokens) {
  const std::size_t n = tokens.size();
  start_.assign(n, 0);
  parent_.assign(n, kNoParent);
  open_.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const Token& t = tokens[i];
    start_[i] = i;
    if (t.kind == TokenKind::Apply) {
      if (open_.size() < t.small) return false;
      // Operands from the last to the first: the subtree starts where the
      // first operand's does.
      for (std::size_t a = 0; a < t.small; ++a) {
        const std::size_t child = open_[open_.size() - 1 - a];
        parent_[child] = i;
        start_[i] = start_[child];
      }
      open_.resize(open_.size() - t.small);
    }
    open_.push_back(i);
  }
  return open_.size() == 1;
}

}  // namespace qarn
