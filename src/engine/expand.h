#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/chunked_vector.h"
#include "engine/fingerprint_set.h"
#include "engine/level.h"
#include "engine/search_config.h"
#include "engine/search_control.h"
#include "ops/registry.h"

namespace qarn {

// A level's admitted children, in loop order. A level can admit millions, so
// they are stored in chunks that never move or double.
using Candidates = ChunkedVector<Child>;

// The children the expansion loops admitted, in output order, and how many
// they formed before deduplication.
struct Expansion {
  Candidates children;
  std::uint64_t formed = 0;
};

// Appends to `out` the children of levels[level - 1] under every unary
// operator of `unary_ops` that pass deduplication, in parent order and, within
// a parent, operator order.
//
// With a `control`, both loops stop forming children once it has expired; the
// caller then drops the level.
void expand_unary(const Levels& levels, std::uint64_t level, std::span<const std::size_t> unary_ops,
                  const OperatorRegistry& registry, FingerprintSet& seen, Expansion& out,
                  SearchControl* control = nullptr);

// Appends to `out` the children of pairs (A from levels[split], B from
// levels[level - 1 - split]) under every binary operator of `binary_ops` that
// pass deduplication, in the order (A, B, operator). When both sides are the
// same level, a commutative operator forms only the pair whose left text is
// not greater.
void expand_binary(const Levels& levels, std::uint64_t level, std::uint64_t split,
                   std::span<const std::size_t> binary_ops, const OperatorRegistry& registry,
                   FingerprintSet& seen, Expansion& out, SearchControl* control = nullptr);

// The expansion items of `level` in loop order: the parents of the unary
// children (levels[level - 1]), then for each split j = 1 .. level - 2 the
// left operands (levels[j]). Item k's children come before item k + 1's.
std::uint64_t expansion_items(const Levels& levels, std::uint64_t level);

// The operators of `arity` that `config` lets the expansion apply, ascending.
std::vector<std::size_t> enabled_operators(const OperatorRegistry& registry, std::uint8_t arity,
                                           const SearchConfig& config);

// Children an item forms, before fingerprints (for balancing runs).
std::uint64_t item_children(const Levels& levels, std::uint64_t level, std::uint64_t item,
                            std::size_t unary_ops, std::size_t binary_ops);

// Children of the items [begin, end) of `level` in loop order with their
// fingerprints; a child without one is counted in `formed` and left out.
// Only the operators `config` enables are applied. Nothing is admitted:
// deduplication is the caller's.
struct FormedChildren {
  std::vector<Child> children;
  std::vector<Fingerprint> fingerprints;  // one per child
  std::uint64_t formed = 0;
};
FormedChildren form_children(const Levels& levels, std::uint64_t level, std::uint64_t begin,
                             std::uint64_t end, const OperatorRegistry& registry,
                             const SearchConfig& config);

}  // namespace qarn
