#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/best.h"
#include "engine/child.h"
#include "engine/expand.h"
#include "engine/fingerprint_set.h"
#include "engine/level.h"
#include "engine/score.h"
#include "engine/search_config.h"
#include "engine/search_control.h"
#include "ops/data_columns.h"
#include "ops/registry.h"

// The steps of one level of the breadth-first search as plain functions over
// plain data. The local driver (bfs.cpp) runs them in one process; the
// cluster driver (cluster/) has the same steps run on runs of a level's
// children in other processes and merges the runs in loop order, which gives
// the same bits as the local loop. Both run them inside one LevelLoop
// (level_loop.h).

namespace qarn {

// Everything one search works on. The local driver uses every field; a
// process that only scores runs of children uses the data and the levels.
struct SearchState {
  std::shared_ptr<const OperatorRegistry> registry;
  DataColumns data;  // the input values, only the variables level 1 seeds
  std::vector<double> targets;
  FingerprintSet seen;
  BestByComplexity best;
  Levels levels;
  std::size_t column_bytes = 0;        // memory held by parameter-free formulas' columns
  std::size_t start_column_bytes = 0;  // memory held by the other columns
};

// Fills the registry, the data columns and the targets, and makes room for
// level 1. The caller has checked that rows and targets have
// the same non-zero length.
void load_search_data(SearchState& s, const Rows& rows, std::span<const double> targets);

// Level 1: the parameter leaf, then one leaf per input variable. Seeds are
// deduplicated like everything else but not fitted (under the full fit the
// parameter leaf is, and keeps its fitted value); a seed without a finite
// loss is still kept for expansion.
void seed_level(SearchState& s, std::size_t variables, const SearchConfig& config);

// The children of `level` in loop order (unary children of level - 1, then
// the binary children of every split j = 1 .. level - 2) under the operators
// `config` enables, each admitted only when its fingerprint is new to
// `s.seen`. With a `control`, forming stops once it has expired (the caller
// then drops the level).
Expansion expand_level(SearchState& s, std::uint64_t level, const SearchConfig& config,
                       SearchControl* control);

// The same under every operator.
Expansion expand_level(SearchState& s, std::uint64_t level, SearchControl* control = nullptr);

// Stores the values of the level's formulas on the data (see Level::Column)
// while the column budgets of the search allow.
void cache_columns(SearchState& s, Level& level);

// Appends a retained level, with its columns cached when `cache` is set
// (false where only expansion reads the level).
void add_level(SearchState& s, Level level, bool cache);

// The lowest loss of a run of scored children, where loss = score / (penalty
// x level + 1). Of equal losses the first wins; a run whose first loss is NaN
// keeps that NaN entry (no comparison replaces it), any other run ignores
// NaN losses. Summaries of consecutive runs merge into the summary of the
// whole run.
struct LevelWinner {
  std::uint64_t count = 0;     // children in the run
  bool first_is_nan = false;   // the run's first loss is NaN
  bool has_number = false;     // some loss is not NaN
  std::uint64_t position = 0;  // first position of the lowest non-NaN loss
  double loss = 0.0;           // that loss
};

LevelWinner level_winner(std::span<const double> scores, std::uint64_t level,
                         const SearchConfig& config);
LevelWinner level_winner(const ScoredLevel& scored, std::uint64_t level,
                         const SearchConfig& config);

// Which run holds the winner of `runs` (in order), and at which position;
// false when every run is empty.
struct WinnerPlace {
  std::size_t run = 0;
  std::uint64_t position = 0;
  double loss = 0.0;
};
bool merge_winners(std::span<const LevelWinner> runs, WinnerPlace& out);

// The retained formula of a scored child: its parents' tokens and text under
// its operator, with the fitted parameter values when fitting lowered its loss.
Formula scored_formula(const SearchState& s, std::uint64_t level, const ScoredLevel& scored,
                       const ScoredChild& item);

// Structure key of a scored child, from its parents' keys.
std::string scored_key(const SearchState& s, std::uint64_t level, const Child& child);

// Scores the children on the calling thread's worker pool without a progress
// line (for processes that score a run of a level for another driver).
ScoredLevel score_run(const SearchState& s, std::uint64_t level, std::vector<Child> children,
                      const SearchConfig& config);

}  // namespace qarn
