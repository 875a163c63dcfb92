#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "engine/optimizer.h"
#include "engine/search_config.h"
#include "engine/search_error.h"
#include "engine/search_result.h"
#include "ops/data_columns.h"
#include "ops/formula.h"

namespace qarn {

// The lowest-loss candidate seen for each complexity in the whole search,
// retained in a beam or not. The functions below take `mutex` for the whole
// of each call, so that each call is atomic whichever thread makes it; the
// driver thread is the only caller, so the lock is never contended.
struct BestByComplexity {
  struct Entry {
    double loss = 0.0;
    Formula candidate;
  };

  std::mutex mutex;
  std::map<std::uint64_t, Entry> entries;  // ascending complexity
};

// Inserts the candidate when its complexity has no entry yet, replaces the
// entry only when the stored loss is strictly greater (never with NaN).
void record_best(BestByComplexity& best, const Formula& candidate, double loss);

// True when early stopping is allowed and some recorded loss is at or below
// the threshold.
bool should_stop(BestByComplexity& best, double stop_threshold, bool no_early_stop);

// The lowest loss recorded at any complexity; infinity when none is.
double lowest_loss(BestByComplexity& best);

// The recorded formulas with their recorded losses, in ascending complexity.
std::vector<SearchResult> best_results(BestByComplexity& best,
                                       const std::shared_ptr<const OperatorRegistry>& registry);

// The front's refit of one formula on `data`: its parameters fitted from
// their stored values (30 iterations; under the full fit, the full fit with
// kFullRefitIterations), with config's alpha and l1_ratio. A formula without
// parameters gets its loss there.
FitResult refit_formula(const Formula& formula, const DataColumns& data,
                        std::span<const double> targets, const OperatorRegistry& registry,
                        const SearchConfig& config);

// Refits the best formula of every complexity (refit_formula) and keeps those
// strictly better than every simpler one: the Pareto front, most accurate
// first. NoFormulaFound when nothing was recorded.
Expected<std::vector<SearchResult>> extract_front(
    BestByComplexity& best, const std::shared_ptr<const OperatorRegistry>& registry,
    const SearchConfig& config, const DataColumns& data, std::span<const double> targets);

}  // namespace qarn
