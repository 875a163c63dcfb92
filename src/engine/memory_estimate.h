#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/level_steps.h"
#include "engine/search_config.h"

namespace qarn {

// What a search holds now and what building its next level will add, in
// bytes. An estimate: the retained levels, the fingerprint set and the cached
// columns are counted as they are; the next level's children are counted
// before deduplication, scaled by the share of the previous level's children
// that were new.
struct MemoryEstimate {
  std::size_t held = 0;
  std::size_t next_level = 0;
};

// `admit_ratio`: admitted / formed of the previous level (1 for level 2).
MemoryEstimate estimate_memory(const SearchState& s, std::uint64_t level,
                               const SearchConfig& config, double admit_ratio);

// Whether `level` may be built under the control's memory limit. When it may
// not, marks the control (memory_stopped, expired) and returns false.
bool level_fits_memory(const SearchState& s, std::uint64_t level, const SearchConfig& config,
                       double admit_ratio, SearchControl& control);

}  // namespace qarn
