#include "engine/expand.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include "engine/parallel.h"
#include "ops/evaluate.h"

namespace qarn {
namespace {

// A child that has a fingerprint and still has to pass the seen set.
struct Pending {
  Child child;
  Fingerprint fingerprint;
};
struct Batch {
  std::vector<Pending> pending;
  std::uint64_t formed = 0;  // children formed, with or without a fingerprint
};

// Values of a child at the probes from its parents' cached values: exactly
// what evaluating the child's tokens gives there, since each parent's tokens
// evaluate to its own value and the operator result is screened the same way.
std::optional<Fingerprint> child_fingerprint(const ProbeValues& a, const ProbeValues* b,
                                             std::uint64_t op, const OperatorRegistry& registry) {
  ProbeValues values;
  const std::uint8_t arity = b != nullptr ? 2 : 1;
  for (std::size_t p = 0; p < kProbeCount; ++p) {
    if (!a[p] || (b != nullptr && !(*b)[p])) return std::nullopt;
    const Complex args[2] = {*a[p], b != nullptr ? *(*b)[p] : Complex{}};
    Complex out;
    if (!apply_operator(registry, op, arity, args, out)) return std::nullopt;
    values[p] = out;
  }
  return fingerprint_from_values(values);
}

// Forms the children of items [0, items) in pieces on the worker pool and
// admits them into `seen` in input order, appending them to `admitted`: of two
// children with equal fingerprints in one loop the earlier one always
// survives, so the outcome does not depend on the number of threads.
// form(item, batch) appends the item's fingerprinted children in their order
// and counts every child formed.
template <class Form>
void admit_in_order(std::size_t items, std::size_t items_per_piece, FingerprintSet& seen,
                    SearchControl* control, Expansion& admitted, Form&& form) {
  if (items == 0) return;
  items_per_piece = std::max<std::size_t>(items_per_piece, 1);
  std::size_t next = 0;
  const auto in_flight = static_cast<std::size_t>(2 * tbb::this_task_arena::max_concurrency());
  tbb::parallel_pipeline(
      in_flight,
      tbb::make_filter<void, std::pair<std::size_t, std::size_t>>(
          tbb::filter_mode::serial_in_order,
          [&](tbb::flow_control& fc) -> std::pair<std::size_t, std::size_t> {
            if (next >= items || (control != nullptr && control->expired())) {
              fc.stop();
              return {0, 0};
            }
            const std::size_t begin = next;
            next = std::min(items, next + items_per_piece);
            return {begin, next};
          }) &
          tbb::make_filter<std::pair<std::size_t, std::size_t>, Batch*>(
              tbb::filter_mode::parallel,
              [&](std::pair<std::size_t, std::size_t> range) -> Batch* {
                auto batch = std::make_unique<Batch>();
                if (control != nullptr && control->expired()) return batch.release();
                for (std::size_t i = range.first; i < range.second; ++i) form(i, *batch);
                return batch.release();
              }) &
          tbb::make_filter<Batch*, void>(tbb::filter_mode::serial_in_order, [&](Batch* raw) {
            const std::unique_ptr<Batch> batch(raw);
            admitted.formed += batch->formed;
            for (const Pending& p : batch->pending) {
              if (!seen.insert(p.fingerprint)) admitted.children.push_back(p.child);
            }
          }));
}

// Pieces of roughly this many children keep the pipeline busy without
// holding much memory in flight.
constexpr std::size_t kChildrenPerPiece = 4096;

}  // namespace

namespace {

// The children of unary item p (a parent of levels[level - 1]) in operator order.
void form_unary_item(const Level& parents, std::size_t p, std::span<const std::size_t> unary_ops,
                     const OperatorRegistry& registry, Batch& batch) {
  batch.formed += unary_ops.size();
  for (std::size_t op : unary_ops) {
    const auto fp = child_fingerprint(parents.probes[p], nullptr, op, registry);
    if (!fp) continue;
    Child c;
    c.left = static_cast<std::uint32_t>(p);
    c.op = static_cast<std::uint16_t>(op);
    batch.pending.push_back({c, *fp});
  }
}

// The children of left operand a of split `split` in the order (B, operator).
void form_binary_item(const Levels& levels, std::uint64_t level, std::uint64_t split, std::size_t a,
                      std::span<const std::size_t> binary_ops, const OperatorRegistry& registry,
                      Batch& batch) {
  const std::uint64_t right_complexity = level - 1 - split;
  const Level& lefts = levels[split];
  const Level& rights = levels[right_complexity];
  const bool same_complexity = split == right_complexity;
  const Formula& left = lefts.formulas[a];
  for (std::size_t b = 0; b < rights.size(); ++b) {
    // Byte-wise text order, the shorter text first on a common prefix.
    const bool left_greater = same_complexity && left.text > rights.formulas[b].text;
    for (std::size_t op : binary_ops) {
      if (left_greater && registry.entries[op].commutative) continue;
      ++batch.formed;
      const auto fp = child_fingerprint(lefts.probes[a], &rights.probes[b], op, registry);
      if (!fp) continue;
      Child c;
      c.left = static_cast<std::uint32_t>(a);
      c.right = static_cast<std::uint32_t>(b);
      c.split = static_cast<std::uint16_t>(split);
      c.op = static_cast<std::uint16_t>(op);
      batch.pending.push_back({c, *fp});
    }
  }
}

}  // namespace

void expand_unary(const Levels& levels, std::uint64_t level, std::span<const std::size_t> unary_ops,
                  const OperatorRegistry& registry, FingerprintSet& seen, Expansion& out,
                  SearchControl* control) {
  const Level& parents = levels[level - 1];
  const std::size_t per_item = std::max<std::size_t>(unary_ops.size(), 1);
  admit_in_order(parents.size(), kChildrenPerPiece / per_item, seen, control, out,
                 [&](std::size_t p, Batch& batch) {
                   form_unary_item(parents, p, unary_ops, registry, batch);
                 });
}

void expand_binary(const Levels& levels, std::uint64_t level, std::uint64_t split,
                   std::span<const std::size_t> binary_ops, const OperatorRegistry& registry,
                   FingerprintSet& seen, Expansion& out, SearchControl* control) {
  const Level& rights = levels[level - 1 - split];
  const std::size_t per_item = std::max<std::size_t>(rights.size() * binary_ops.size(), 1);
  admit_in_order(levels[split].size(), kChildrenPerPiece / per_item, seen, control, out,
                 [&](std::size_t a, Batch& batch) {
                   form_binary_item(levels, level, split, a, binary_ops, registry, batch);
                 });
}

std::uint64_t expansion_items(const Levels& levels, std::uint64_t level) {
  std::uint64_t items = levels[level - 1].size();
  for (std::uint64_t j = 1; j + 2 <= level; ++j) items += levels[j].size();
  return items;
}

namespace {

// The group of item `item`: split 0 for the unary items, else the split j,
// with the item's index inside its group.
std::pair<std::uint64_t, std::uint64_t> locate_item(const Levels& levels, std::uint64_t level,
                                                    std::uint64_t item) {
  if (item < levels[level - 1].size()) return {0, item};
  item -= levels[level - 1].size();
  for (std::uint64_t j = 1; j + 2 <= level; ++j) {
    if (item < levels[j].size()) return {j, item};
    item -= levels[j].size();
  }
  return {level, 0};  // past the end
}

}  // namespace

std::uint64_t item_children(const Levels& levels, std::uint64_t level, std::uint64_t item,
                            std::size_t unary_ops, std::size_t binary_ops) {
  const auto [split, index] = locate_item(levels, level, item);
  if (split == 0) return unary_ops;
  if (split >= level) return 0;
  return levels[level - 1 - split].size() * binary_ops;
}

std::vector<std::size_t> enabled_operators(const OperatorRegistry& registry, std::uint8_t arity,
                                           const SearchConfig& config) {
  std::vector<std::size_t> out = registry.operators_with_arity(arity);
  std::erase_if(out, [&](std::size_t op) { return !operator_enabled(config, op); });
  return out;
}

FormedChildren form_children(const Levels& levels, std::uint64_t level, std::uint64_t begin,
                             std::uint64_t end, const OperatorRegistry& registry,
                             const SearchConfig& config) {
  const std::vector<std::size_t> unary = enabled_operators(registry, 1, config);
  const std::vector<std::size_t> binary = enabled_operators(registry, 2, config);
  end = std::min(end, expansion_items(levels, level));
  begin = std::min(begin, end);
  const std::vector<Batch> parts =
      parallel_pieces<Batch>(end - begin, 16, [&](std::size_t from, std::size_t to, Batch& batch) {
        for (std::size_t k = from; k < to; ++k) {
          const auto [split, index] = locate_item(levels, level, begin + k);
          if (split == 0) {
            form_unary_item(levels[level - 1], index, unary, registry, batch);
          } else {
            form_binary_item(levels, level, split, index, binary, registry, batch);
          }
        }
      });
  FormedChildren out;
  for (const Batch& batch : parts) {
    out.formed += batch.formed;
    for (const Pending& p : batch.pending) {
      out.children.push_back(p.child);
      out.fingerprints.push_back(p.fingerprint);
    }
  }
  return out;
}

}  // namespace qarn
