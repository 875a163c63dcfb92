#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "engine/expand.h"
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

  std::vector<double> scores() const {
    std::vector<double> out(items.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = items[i].score;
    return out;
  }
};

// The factor that turns a loss into the score that ranks the candidates of
// one level: score = loss x (1 + complexity_penalty x complexity).
inline double score_factor(const SearchConfig& config, std::uint64_t complexity) {
  return 1 + config.complexity_penalty * static_cast<double>(complexity);
}

// Loss of every candidate of a level after the optional fit (10 iterations;
// kFullScoreIterations under the full fit),
// on the worker pool: entry i belongs to candidates[i], and a candidate whose
// loss is not finite takes no further part in the level. Only the losses are
// kept, so a level's memory is a few words per candidate; the fitted values of
// the few candidates a level keeps come from `scored_formulas`. Reports each
// candidate to `progress` before its loss is computed. With a `control`,
// counts the scored candidates in it and skips every piece that starts after
// it expired (the caller then drops the level). With `ranks`, also writes
// there each candidate's affine loss (affine_loss, its loss where that is not
// finite), by which the affine option ranks the beam.
std::vector<double> score_losses(const Candidates& candidates, const Levels& levels,
                                 std::uint64_t level, ProgressState& progress,
                                 const DataColumns& data, std::span<const double> targets,
                                 const OperatorRegistry& registry, const SearchConfig& config,
                                 SearchControl* control = nullptr,
                                 std::vector<double>* ranks = nullptr);

// The formulas of `children` with the parameter values their scoring arrives
// at: scoring is repeated for them, which gives the same bits.
std::vector<Formula> scored_formulas(std::span<const Child> children, const Levels& levels,
                                     std::uint64_t level, const DataColumns& data,
                                     std::span<const double> targets,
                                     const OperatorRegistry& registry, const SearchConfig& config);

// Loss, optional fit and score of every child of a run of a level, on the
// worker pool, with the fitted values kept; children whose final loss is not
// finite are dropped. A process that scores runs for another one sends these.
ScoredLevel score_candidates(const std::vector<Child>& candidates, const Levels& levels,
                             std::uint64_t level, const DataColumns& data,
                             std::span<const double> targets, const OperatorRegistry& registry,
                             const SearchConfig& config);

// Writes values[k] as (values[k], 0.0) into the k-th Parameter token.
void store_parameters(Formula& formula, const double* values);

}  // namespace qarn
