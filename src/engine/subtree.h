#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "ops/formula.h"

namespace qarn {

// The tree shape of a postfix token list: for every token, the span of its
// subtree (tokens [start[i], i]) and the Apply token that consumes it. The
// reduction of parameter-free subtrees and the fit's skip table both read
// their subtrees from here.
class SubtreeSpans {
 public:
  static constexpr std::size_t kNoParent = std::numeric_limits<std::size_t>::max();

  // Analyses `tokens`; false when they are not one tree (an Apply with fewer
  // operands below it than its arity, or more than one value left).
  bool build(std::span<const Token> tokens);

  std::size_t size() const { return start_.size(); }
  // First token of the subtree that ends at token i.
  std::size_t start(std::size_t i) const { return start_[i]; }
  // The Apply token that consumes token i; kNoParent for the root.
  std::size_t parent(std::size_t i) const { return parent_[i]; }

  // marks[i] = 1 when the subtree of token i holds a token t with leaf(t).
  // Children precede their parent in postfix order, so one forward sweep
  // passes every mark up to the root.
  template <class Leaf>
  void mark(std::span<const Token> tokens, Leaf&& leaf, std::vector<std::uint8_t>& marks) const {
    const std::size_t n = size();
    marks.resize(n);
    for (std::size_t i = 0; i < n; ++i) marks[i] = leaf(tokens[i]) ? 1 : 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (marks[i] && parent_[i] != kNoParent) marks[parent_[i]] = 1;
    }
  }

  // True when the subtree of token i is unmarked and is not part of a larger
  // unmarked subtree: its parent is marked or it is the root.
  bool maximal_unmarked(std::size_t i, std::span<const std::uint8_t> marks) const {
    return !marks[i] && (parent_[i] == kNoParent || marks[parent_[i]]);
  }

 private:
  std::vector<std::size_t> start_;
  std::vector<std::size_t> parent_;
  std::vector<std::size_t> open_;  // roots of the subtrees not yet consumed
};

}  // namespace qarn
