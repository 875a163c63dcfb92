#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/level.h"
#include "engine/fingerprint_set.h"
#include "ops/registry.h"

namespace qarn {

// The children one expansion loop admitted, in output order, and how many it
// formed before deduplication.
struct Expansion {
  std::vector<Child> children;
  std::uint64_t formed = 0;
};

// Children of levels[level - 1] under every unary operator of `unary_ops`
// that pass deduplication, in parent order and, within a parent, operator
// order.
Expansion expand_unary(const Levels& levels, std::uint64_t level,
                                std::span<const std::size_t> unary_ops,
                                const OperatorRegistry& registry, FingerprintSet& seen);

// Children of pairs (A from levels[split], B from levels[level - 1 - split])
// under every binary operator of `binary_ops` that pass deduplication, in the
// order (A, B, operator). When both sides are the same level, a commutative
// operator forms only the pair whose left text is not greater.
Expansion expand_binary(const Levels& levels, std::uint64_t level, std::uint64_t split,
                                 std::span<const std::size_t> binary_ops,
                                 const OperatorRegistry& registry, FingerprintSet& seen);

}  // namespace qarn
