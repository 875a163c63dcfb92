#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace qarn {

// Levels 2 .. kLevelBeamWidths + 1 may each be given their own beam width.
inline constexpr std::size_t kLevelBeamWidths = 16;

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
  // Fit parameters by damped least squares on the whole normal matrix,
  // iterated until the relative gain is small, in scoring, for the parameter
  // leaf of level 1 and in the final refit (full_fit.h). Off: the diagonal
  // fit of fit.h, as the module specifies it.
  bool full_fit = false;
  // Rank each level's candidates for its beam by the loss of their best
  // affine fit a + b * f instead of their loss; the best formula of each
  // complexity is still chosen by its own loss (affine.h).
  bool affine_rank = false;
  // Registry entries the expansion may apply: bit i allows operator i.
  // All bits set: every operator.
  std::uint64_t operator_mask = ~std::uint64_t{0};
  // Candidates retained at levels 2, 3, ...: entry k at level k + 2. An
  // entry of 0, and every level past the list, retains beam_width.
  std::array<std::uint64_t, kLevelBeamWidths> level_beam_widths{};
};

// Candidates retained at `level` (2 or higher).
inline std::uint64_t beam_width_at(const SearchConfig& config, std::uint64_t level) {
  if (level >= 2 && level - 2 < kLevelBeamWidths && config.level_beam_widths[level - 2] != 0) {
    return config.level_beam_widths[level - 2];
  }
  return config.beam_width;
}

// Whether the expansion may apply registry entry `op`.
inline bool operator_enabled(const SearchConfig& config, std::size_t op) {
  return op >= 64 || ((config.operator_mask >> op) & 1U) != 0;
}

// The highest max_complexity a search accepts. Parameter slots and counts
// are 8-bit (Token::small, Formula::param_count), so a formula holds at most
// 255 parameters; every leaf of a formula may be one, and a formula of
// complexity c has at most (c + 1) / 2 leaves, which stays within 255 up to
// c = 510. A larger setting would let slots alias.
inline constexpr std::uint64_t kMaxComplexityLimit =
    2 * std::uint64_t{std::numeric_limits<std::uint8_t>::max()};

}  // namespace qarn
