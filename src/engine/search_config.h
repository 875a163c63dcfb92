#pragma once

#include <cstdint>

namespace qarn {

// The whole state of a Searcher; copied by value for every search call, and
// only the copy receives per-call overrides. No field is range-checked.
struct SearchConfig {
  std::uint64_t max_complexity = 10;  // highest complexity level built
  double stop_threshold = 1e-10;      // stop early once a recorded loss is <= this
  std::uint64_t beam_width = 1000;    // candidates retained per level
  double complexity_penalty = 0.1;    // score = loss * (1 + penalty * complexity)
  double alpha = 0.0;                 // elastic-net strength
  double l1_ratio = 0.5;              // elastic-net mix between L1 and L2
  bool no_early_stop = false;         // build every level even after a near-exact fit
  // Fit Parameter tokens in scoring and in the final refit. Every search the
  // module starts has it on; only tests turn it off.
  bool fit_constants = true;
};

}  // namespace qarn
