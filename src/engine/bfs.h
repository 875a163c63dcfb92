#pragma once

#include <span>
#include <vector>

#include "engine/search_config.h"
#include "engine/search_control.h"
#include "engine/search_error.h"
#include "engine/search_result.h"

namespace qarn {

// Sample-major data: row i holds the input values of sample i.
using Rows = std::vector<std::vector<double>>;

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

// Breadth-first search by complexity; returns the Pareto front, most accurate
// (and most complex) first, or the reason nothing could be returned. Prints
// its progress to the process's standard output.
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
