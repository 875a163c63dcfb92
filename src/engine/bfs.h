#pragma once

#include <span>
#include <vector>

#include "engine/search_result.h"
#include "lib/search_config.h"
#include "lib/search_error.h"

namespace qarn {

// Sample-major data: row i holds the input values of sample i.
using Rows = std::vector<std::vector<double>>;

// Breadth-first search by complexity; returns the Pareto front, most accurate
// (and most complex) first, or the reason nothing could be returned. Prints
// its progress to the process's standard output.
Expected<std::vector<SearchResult>> run_search(const Rows& rows, std::span<const double> targets,
                                               const SearchConfig& config);

}  // namespace qarn
