#include "engine/memory_estimate.h"

#include <algorithm>

#include "engine/expand.h"
#include "engine/fingerprint_set.h"

namespace qarn {
namespace {

// An admitted child: its record, its loss (and score, written in place), and
// its fingerprint's slot, counted three times for the set's load factor and
// the old and new tables while a shard grows; doubled for what the level's
// loops hold besides (per-piece buffers, the beam's runs, allocator slack).
// Against the growth of the peak resident memory of searches up to levels 6
// and 7 (200 rows, beam 300), the smallest limit that lets the last level run
// is 1.3 and 1.5 times that growth.
constexpr std::size_t kBytesPerChild =
    2 * (sizeof(Child) + sizeof(double) + 3 * FingerprintSet::kSlotBytes);

// A retained formula besides its cached columns: tokens, text, probe values
// and structure key.
constexpr std::size_t kBytesPerFormula = 1024;

std::size_t level_bytes(const Level& level) {
  std::size_t total = level.size() * kBytesPerFormula;
  for (const Level::Column& c : level.columns) {
    total += c.values.capacity() * sizeof(Complex) + c.ok.capacity();
  }
  return total;
}

}  // namespace

MemoryEstimate estimate_memory(const SearchState& s, std::uint64_t level,
                               const SearchConfig& config, double admit_ratio) {
  MemoryEstimate estimate;
  estimate.held = s.seen.memory_bytes() + s.data.rows() * s.data.vars() * sizeof(Complex) +
                  s.targets.size() * sizeof(double);
  for (const Level& l : s.levels) estimate.held += level_bytes(l);

  const std::size_t unary = enabled_operators(*s.registry, 1, config).size();
  const std::size_t binary = enabled_operators(*s.registry, 2, config).size();
  const std::uint64_t items = expansion_items(s.levels, level);
  double formed = 0.0;
  for (std::uint64_t item = 0; item < items; ++item) {
    formed += static_cast<double>(item_children(s.levels, level, item, unary, binary));
  }
  const double admitted = formed * std::clamp(admit_ratio, 0.0, 1.0);
  const double retained = std::min(admitted, static_cast<double>(beam_width_at(config, level)));
  const double bytes = admitted * static_cast<double>(kBytesPerChild) +
                       retained * static_cast<double>(kBytesPerFormula);
  estimate.next_level = bytes >= 1e18 ? std::size_t{1} << 60 : static_cast<std::size_t>(bytes);
  return estimate;
}

bool level_fits_memory(const SearchState& s, std::uint64_t level, const SearchConfig& config,
                       double admit_ratio, SearchControl& control) {
  const std::size_t limit = control.memory_limit();
  if (limit == 0) return true;
  const MemoryEstimate e = estimate_memory(s, level, config, admit_ratio);
  if (e.held + e.next_level <= limit) return true;
  control.mark_memory_stopped();
  return false;
}

}  // namespace qarn
