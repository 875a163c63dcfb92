#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/level_steps.h"
#include "engine/progress.h"
#include "engine/search_config.h"
#include "engine/search_control.h"
#include "engine/search_error.h"
#include "engine/search_result.h"
#include "ops/data_columns.h"

// The skeleton of every search, whichever driver builds its levels: start
// (the start checks, the data, level 1 seeded), then one level after another,
// each opened by next_level() and closed by close_level(), until the stop
// rule or max_complexity ends the search, then the front. What happens in
// between (expand, admit, score, select) is the driver's: the local driver
// (bfs.cpp) runs those steps in this process, the cluster driver
// (cluster/driver.cpp) has them run in other processes. The console lines
// and the control's counters come from here, so every driver prints and
// reports alike.

namespace qarn {

// Figures of one built level, for benchmarks.
struct LevelStats {
  std::uint64_t level = 0;
  std::uint64_t formed = 0;           // children formed by the expansion loops
  std::uint64_t admitted = 0;         // children that passed deduplication (= scored)
  std::uint64_t scored = 0;           // candidates with a finite loss
  std::uint64_t retained = 0;         // kept in the level's beam
  double seconds = 0.0;               // time to build the level
  std::uint64_t retained_digest = 0;  // hash of the retained texts and parameter values, in order
  std::uint64_t seen_bytes = 0;       // memory of the fingerprint set after the level
};

class LevelLoop {
 public:
  // Makes the start checks (checks.h) and returns their error, or loads the
  // data and seeds level 1. `control` may be null. With `keep_columns` the
  // retained levels keep their values on the data (a driver that scores in
  // this process); without, only what expansion reads.
  static Expected<std::unique_ptr<LevelLoop>> start(const Rows& rows,
                                                    std::span<const double> targets,
                                                    const SearchConfig& config,
                                                    SearchControl* control, bool keep_columns);

  // Opens the next level and returns it, or nothing when the search is over
  // (the stop rule holds, or max_complexity is built). The first call prints
  // the line that opens the exploration, unless level 1 already stops it.
  std::optional<std::uint64_t> next_level();

  // The scoring of the open level's `total` candidates begins: the progress
  // line counts from here. `scored(n)` counts n candidates (thread-safe, the
  // local driver calls it once per candidate); `end_scoring` ends the line.
  ProgressState& start_scoring(std::uint64_t total);
  void scored(std::uint64_t count) { progress_add(progress_, count); }
  void end_scoring();

  // Appends the open level's retained formulas and prints the line that
  // closes it; `stats` holds the driver's counts, completed here.
  LevelStats close_level(Level kept, LevelStats stats);

  // A state restored into state() after start (a cluster search's
  // checkpoint) whose last completed level is `level`.
  void resumed_at(std::uint64_t level) { level_ = level; }

  // Drops the open level (the control expired): nothing of it is kept.
  void drop_level();

  // The front of the levels built, refitted once.
  Expected<std::vector<SearchResult>> front();

  // admitted / formed of the last level built (1 before level 2), by which
  // the memory estimate scales the next level's children.
  double admit_ratio() const { return admit_ratio_; }

  SearchState& state() { return s_; }
  const SearchConfig& config() const { return config_; }
  std::uint64_t level() const { return level_; }

 private:
  LevelLoop(const SearchConfig& config, SearchControl* control, bool keep_columns)
      : config_(config), control_(control), keep_columns_(keep_columns) {}

  // Hands a completed level's record and the best formulas so far to the
  // control (not null).
  void report_level(const LevelRecord& record);

  SearchState s_;
  SearchConfig config_;
  SearchControl* control_ = nullptr;
  bool keep_columns_ = true;
  std::uint64_t level_ = 1;  // the open level, or the last one closed
  bool started_ = false;     // next_level was called
  double admit_ratio_ = 1.0;
  std::uint64_t data_digest_ = 0;  // of the data set, for the checkpoint
  std::chrono::steady_clock::time_point began_{};
  std::chrono::steady_clock::time_point opened_{};
  ProgressState progress_;
};

}  // namespace qarn
