#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "engine/level.h"
#include "engine/progress.h"
#include "engine/search_config.h"
#include "engine/search_control.h"
#include "ops/data_columns.h"
#include "ops/registry.h"

namespace qarn {

// A child that got a finite loss, with its score. When fitting lowered its
// loss, its fitted parameter values (one per Parameter token, in token order)
// start at `fitted` in the level's parameter store.
struct ScoredChild {
  static constexpr std::uint32_t kUnfitted = std::numeric_limits<std::uint32_t>::max();

  Child child;
  double score = 0.0;
  std::uint32_t fitted = kUnfitted;
};

struct ScoredLevel {
  std::vector<ScoredChild> items;     // input order
  std::vector<double> fitted_values;  // parameter store of the fitted items
};

// The factor that turns a loss into the score that ranks the candidates of
// one level: score = loss x (1 + complexity_penalty x complexity).
inline double score_factor(const SearchConfig& config, std::uint64_t complexity) {
  return 1 + config.complexity_penalty * static_cast<double>(complexity);
}

// Loss, optional fit (10 iterations) and score of every candidate of a level,
// on the worker pool; candidates whose final loss is not finite are dropped.
// Reports each candidate to `progress` before its loss is computed. With a
// `control`, counts the scored candidates in it and skips every piece that
// starts after it expired (the caller then drops the level).
ScoredLevel score_candidates(std::vector<Child> candidates, const Levels& levels,
                             std::uint64_t level, ProgressState& progress, const DataColumns& data,
                             std::span<const double> targets, const OperatorRegistry& registry,
                             const SearchConfig& config, SearchControl* control = nullptr);

// Writes values[k] as (values[k], 0.0) into the k-th Parameter token.
void store_parameters(Formula& formula, const double* values);

}  // namespace qarn
