#include "engine/reduction.h"

#include <algorithm>

namespace qarn {

bool ReducedFormula::build(std::span<const Token> tokens, const DataColumns& data,
                           const OperatorRegistry& registry, std::span<const KnownColumn> known,
                           BatchEvaluator& evaluator) {
  const std::size_t rows = data.rows();
  view_.view_of(data);

  // Step 1: known subtrees become columns.
  first_.clear();
  std::size_t next_known = 0;
  for (std::size_t i = 0; i < tokens.size();) {
    while (next_known < known.size() && known[next_known].begin < i) ++next_known;
    if (next_known < known.size() && known[next_known].begin == i &&
        known[next_known].end > i + 1) {
      if (view_.vars() >= kMaxVariables) return false;
      first_.push_back(Token::variable(static_cast<std::uint8_t>(view_.vars())));
      view_.add_column(known[next_known].values, known[next_known].ok);
      i = known[next_known].end;
      continue;
    }
    first_.push_back(tokens[i]);
    ++i;
  }

  // Step 2: the remaining maximal parameter-free subtrees of two or more tokens.
  if (!spans_.build(first_)) return false;
  spans_.mark(first_, [](const Token& t) { return t.kind == TokenKind::Parameter; }, depends_);
  const std::size_t n = first_.size();
  roots_.clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (spans_.maximal_unmarked(i, depends_) && spans_.start(i) < i) roots_.push_back(i);
  }
  // A formula without parameters is one subtree: precomputing it would be
  // the same work as evaluating it once.
  if (roots_.size() == 1 && roots_[0] == n - 1 && spans_.start(n - 1) == 0) {
    program_.assign(first_.begin(), first_.end());
    return true;
  }
  if (view_.vars() + roots_.size() > kMaxVariables) return false;

  values_.resize(roots_.size() * rows);
  ok_.resize(roots_.size() * rows);
  block_values_.resize(BatchEvaluator::kBlock);
  block_ok_.resize(BatchEvaluator::kBlock);
  const std::size_t first_column = view_.vars();
  for (std::size_t c = 0; c < roots_.size(); ++c) {
    const std::size_t root = roots_[c];
    const std::span<const Token> subtree(first_.data() + spans_.start(root),
                                         root + 1 - spans_.start(root));
    Complex* out = values_.data() + c * rows;
    std::uint8_t* ok = ok_.data() + c * rows;
    for (std::size_t begin = 0; begin < rows; begin += BatchEvaluator::kBlock) {
      const std::size_t count = std::min(BatchEvaluator::kBlock, rows - begin);
      evaluator.run(subtree, view_, begin, count, {}, registry, out + begin, ok + begin);
    }
  }
  for (std::size_t c = 0; c < roots_.size(); ++c) {
    view_.add_column(values_.data() + c * rows, ok_.data() + c * rows);
  }

  program_.clear();
  std::size_t c = 0;
  for (std::size_t i = 0; i < n;) {
    if (c < roots_.size() && spans_.start(roots_[c]) == i) {
      program_.push_back(Token::variable(static_cast<std::uint8_t>(first_column + c)));
      i = roots_[c] + 1;
      ++c;
      continue;
    }
    program_.push_back(first_[i]);
    ++i;
  }
  return true;
}

}  // namespace qarn
