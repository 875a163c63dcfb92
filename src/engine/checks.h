#pragma once

#include <optional>
#include <span>

#include "engine/search_config.h"
#include "engine/search_error.h"
#include "ops/data_columns.h"

// The checks a search makes before it starts, so before anything is printed.
// check_settings and check_inputs return the first problem they find as a
// SearchError of kind InvalidArgument, whose message names the setting or the
// place in the data; check_start adds the data set's shape.

namespace qarn {

// max_complexity at most kMaxComplexityLimit; complexity_penalty, alpha and
// l1_ratio finite (any sign or size). Checked in that order, on the settings
// a search will use: the Searcher's with the per-call overrides applied.
std::optional<SearchError> check_settings(const SearchConfig& config);

// Every input value finite, rows in order and each row from its first value;
// rows may differ in length. Targets are not checked: a target without a
// value makes every formula fail on its row, as documented.
std::optional<SearchError> check_inputs(const Rows& inputs);

// Every check a search makes before it starts, in this order: the settings,
// the input values, as many targets as rows and at least one row
// (DimensionMismatch), and max_complexity at least 1 (level 1 is the lowest
// level there is; with nothing to build, NoFormulaFound). Nothing when the
// search can start.
std::optional<SearchError> check_start(const SearchConfig& config, const Rows& inputs,
                                       std::span<const double> targets);

}  // namespace qarn
