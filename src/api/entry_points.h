#pragma once

#include <optional>
#include <span>
#include <vector>

#include "api/checks.h"
#include "engine/bfs.h"
#include "engine/search_config.h"
#include "engine/search_control.h"
#include "engine/search_error.h"
#include "engine/search_result.h"

// The library facade: what a caller of the search needs. Besides the entry
// points below, this header is where a caller gets the types they take and
// return: SearchConfig, Rows, SearchResult, SearchError, Expected and
// SearchControl.

namespace qarn {

// Each entry copies `config`, applies the per-call overrides (absent keeps
// the Searcher's value), refuses settings and inputs no search can use (the
// checks of checks.h, settings first, then the input values; nothing is
// printed then), shapes the data set and runs one search.

Expected<SearchResult> find_function(const SearchConfig& config, std::span<const double> xs,
                                     std::span<const double> ys, std::optional<double> alpha,
                                     std::optional<double> l1_ratio);

Expected<SearchResult> find_multivariate(const SearchConfig& config, const Rows& inputs,
                                         std::span<const double> ys, std::optional<double> alpha,
                                         std::optional<double> l1_ratio);

// The same operation as find_multivariate under its scikit-learn name.
Expected<SearchResult> fit(const SearchConfig& config, const Rows& inputs,
                           std::span<const double> ys, std::optional<double> alpha,
                           std::optional<double> l1_ratio);

// The whole front, every level built (no early stop), lowest loss first.
Expected<std::vector<SearchResult>> find_candidates(const SearchConfig& config, const Rows& inputs,
                                                    std::span<const double> ys,
                                                    std::optional<double> alpha,
                                                    std::optional<double> l1_ratio);

// Formulas whose value at the single point variable 0 = 0.0 approaches `value`.
Expected<SearchResult> recognize_constant(const SearchConfig& config, double value,
                                          std::optional<double> alpha,
                                          std::optional<double> l1_ratio);

// One search of `inputs` with `config` as given (no overrides, the same
// checks) under `control`, which may be null: the whole front, lowest loss first. With a
// control the search reports its progress there and, once the control
// expires, returns the front of the levels it completed (run_search).
Expected<std::vector<SearchResult>> search_front(const SearchConfig& config, const Rows& inputs,
                                                 std::span<const double> ys,
                                                 SearchControl* control);

// The formulas of `results` with their parameters refitted, from their
// current values, on `inputs` and `ys`, and their losses measured there: the
// fit the front's refit makes (refit_formula) with `config`'s alpha, l1_ratio
// and full_fit. A formula without parameters keeps its formula and gets its
// loss on these rows. DimensionMismatch for empty or unequal data; an
// InvalidArgument error for non-finite settings, inputs or targets, or a
// row narrower than some formula reads.
Expected<std::vector<SearchResult>> refit_results(const SearchConfig& config,
                                                  std::span<const SearchResult> results,
                                                  const Rows& inputs, std::span<const double> ys);

}  // namespace qarn
