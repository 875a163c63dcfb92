#pragma once

#include <optional>
#include <span>

#include "engine/bfs.h"
#include "engine/search_config.h"
#include "engine/search_error.h"

// The checks every entry point makes before it runs a search, so before
// anything is printed. Each returns the first problem it finds as a
// SearchError of kind InvalidArgument, whose message names the setting or the
// place in the data, or nothing when the request is usable. Other callers of
// the search (companion modules) make the same checks by calling these.

namespace qarn {

// max_complexity at most kMaxComplexityLimit; complexity_penalty, alpha and
// l1_ratio finite (any sign or size). Checked in that order, on the settings
// a search will use: the Searcher's with the per-call overrides applied.
std::optional<SearchError> check_settings(const SearchConfig& config);

// Every input value finite, rows in order and each row from its first value;
// rows may differ in length. Targets are not checked: a target without a
// value makes every formula fail on its row, as documented.
std::optional<SearchError> check_inputs(const Rows& inputs);

// The same for one-variable data, where value i is row i, column 0.
std::optional<SearchError> check_inputs(std::span<const double> xs);

}  // namespace qarn
