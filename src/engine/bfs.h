#pragma once

#include <span>
#include <vector>

#include "engine/level_loop.h"
#include "engine/search_config.h"
#include "engine/search_control.h"
#include "engine/search_error.h"
#include "engine/search_result.h"
#include "ops/data_columns.h"

namespace qarn {

// Breadth-first search by complexity, every level built in this process:
// returns the Pareto front, most accurate (and most complex) first, or the
// reason nothing could be returned (the start checks of checks.h first).
// Prints its progress to the process's standard output.
Expected<std::vector<SearchResult>> run_search(const Rows& rows, std::span<const double> targets,
                                               const SearchConfig& config);

// The same search, appending the figures of every built level to `stats`.
Expected<std::vector<SearchResult>> run_search(const Rows& rows, std::span<const double> targets,
                                               const SearchConfig& config,
                                               std::vector<LevelStats>* stats);

// The same search under `control` (may be null): it reports its progress
// there, and once the control expires it drops the level in progress, marks
// the control cut short and returns the front of the levels it completed,
// refitted as usual. Levels are built and results computed exactly as without
// a control until then.
Expected<std::vector<SearchResult>> run_search(const Rows& rows, std::span<const double> targets,
                                               const SearchConfig& config,
                                               std::vector<LevelStats>* stats,
                                               SearchControl* control);

}  // namespace qarn
