#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/search_config.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// A child formed by an expansion loop, held as parents and operator until it
// is scored or retained: a level forms millions of children, and a full token
// list and text for each would not fit in memory.
// Twelve bytes: a split is below kMaxComplexityLimit, so it shares a word
// with the operator.
struct Child {
  static constexpr std::uint16_t kUnary = std::numeric_limits<std::uint16_t>::max();

  std::uint32_t left = 0;        // parent index in the left (or only) level
  std::uint32_t right = 0;       // parent index in the right level
  std::uint16_t split = kUnary;  // complexity of the left parent of a binary child
  std::uint16_t op = 0;          // registry index of the operator

  bool unary() const { return split == kUnary; }
};
static_assert(sizeof(Child) == 12);
static_assert(kMaxComplexityLimit < Child::kUnary);

// Levels of the parents of `child` at level `level`: the left (or only) one
// at the child's split (level - 1 for a unary child), the right one at
// level - 1 - split.
inline std::uint64_t left_level(std::uint64_t level, const Child& child) {
  return child.unary() ? level - 1 : child.split;
}
inline std::uint64_t right_level(std::uint64_t level, const Child& child) {
  return level - 1 - child.split;
}

// Parameter count of the child of a and b (b == nullptr: unary): the sum.
inline std::uint8_t child_param_count(const Formula& a, const Formula* b) {
  return static_cast<std::uint8_t>(a.param_count + (b != nullptr ? b->param_count : 0));
}

// Tokens of a unary (b == nullptr) or binary child: a's tokens, b's tokens with
// every Parameter slot shifted by a's param_count, then the operator.
void child_tokens(const Formula& a, const Formula* b, std::uint64_t op, std::vector<Token>& out);

// The complete child formula, text and counts included.
Formula child_formula(const Formula& a, const Formula* b, std::uint64_t op,
                      const OperatorRegistry& registry);

// The operator indices of a formula's Apply tokens in token order, joined by
// "-" ("7-3"); empty for a formula without operators. The beam favours
// children whose key is rare among the best of their level.
std::string structure_key(const Formula& formula);

// structure_key of a child from its parents' keys, without building its
// tokens: "structure keys join operator indices in token order" holds the two
// together.
std::string child_key(const std::string& a, const std::string* b, std::uint64_t op);

}  // namespace qarn
