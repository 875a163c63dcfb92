#pragma once

#include <cstdint>
#include <limits>

namespace qarn {

// The whole state of a Searcher; copied by value for every search call, and
// only the copy receives per-call overrides. Nothing is checked when the
// record is built; the entry points check max_complexity and the three
// doubles when a search starts.
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

// The highest max_complexity a search accepts. Parameter slots and counts
// are 8-bit (Token::small, Formula::param_count), so a formula holds at most
// 255 parameters; every leaf of a formula may be one, and a formula of
// complexity c has at most (c + 1) / 2 leaves, which stays within 255 up to
// c = 510. A larger setting would let slots alias.
inline constexpr std::uint64_t kMaxComplexityLimit =
    2 * std::uint64_t{std::numeric_limits<std::uint8_t>::max()};

}  // namespace qarn
