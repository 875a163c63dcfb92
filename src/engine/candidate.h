#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/fingerprint.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// The retained formulas of one complexity level, with what their children
// need: values at the probe points (a child's probe value is its operator
// applied to its parents' values) and structure keys (for beam diversity).
struct Level {
  // Values of a parameter-free formula on every row of the data set.
  struct Column {
    std::vector<Complex> values;
    std::vector<std::uint8_t> ok;  // 1 where the formula has a value
  };

  std::vector<Formula> formulas;
  std::vector<ProbeValues> probes;  // raw evaluation results at the five probes
  std::vector<std::string> keys;    // structure_key of each formula
  std::vector<Column> columns;      // empty where not cached (parameters, memory budget)

  std::size_t size() const { return formulas.size(); }
  void add(Formula formula, const OperatorRegistry& registry);
};

// A child formed by an expansion loop, held as parents and operator until it
// is scored or retained: a level forms millions of children, and a full token
// list and text for each would not fit in memory.
struct Child {
  static constexpr std::uint32_t kUnary = std::numeric_limits<std::uint32_t>::max();

  std::uint32_t left = 0;        // parent index in the left (or only) level
  std::uint32_t right = 0;       // parent index in the right level
  std::uint32_t split = kUnary;  // complexity of the left parent of a binary child
  std::uint16_t op = 0;          // registry index of the operator

  bool unary() const { return split == kUnary; }
};

// The levels retained so far, indexed by complexity.
using Levels = std::vector<Level>;

// Levels of the parents of `child` at level `level`: the left (or only) one
// at the child's split (level - 1 for a unary child), the right one at
// level - 1 - split.
inline std::uint64_t left_level(std::uint64_t level, const Child& child) {
  return child.unary() ? level - 1 : child.split;
}
inline std::uint64_t right_level(std::uint64_t level, const Child& child) {
  return level - 1 - child.split;
}

// Parents of `child` at level `level`.
const Formula& left_parent(const Levels& levels, std::uint64_t level, const Child& child);
const Formula& right_parent(const Levels& levels, std::uint64_t level, const Child& child);

// Tokens of a unary (b == nullptr) or binary child: a's tokens, b's tokens with
// every Parameter slot shifted by a's param_count, then the operator.
void child_tokens(const Formula& a, const Formula* b, std::uint64_t op, std::vector<Token>& out);

// The complete child formula, text and counts included.
Formula child_formula(const Formula& a, const Formula* b, std::uint64_t op,
                      const OperatorRegistry& registry);

// Builds the child of `child` at `level` from the retained levels.
Formula materialize(const Levels& levels, std::uint64_t level, const Child& child,
                    const OperatorRegistry& registry);

// Structure key of a child from its parents' keys: the operator indices of
// all Apply tokens in token order, joined by "-".
std::string child_key(const std::string& a, const std::string* b, std::uint64_t op);

}  // namespace qarn
