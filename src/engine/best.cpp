#include "engine/best.h"

#include <algorithm>
#include <limits>

#include "engine/optimizer.h"

namespace qarn {

void record_best(BestByComplexity& best, const Formula& candidate, double loss) {
  const std::lock_guard lock(best.mutex);
  const auto found = best.entries.find(candidate.complexity);
  if (found == best.entries.end()) {
    best.entries.emplace(candidate.complexity, BestByComplexity::Entry{loss, candidate});
  } else if (found->second.loss > loss) {
    found->second = BestByComplexity::Entry{loss, candidate};
  }
}

bool should_stop(BestByComplexity& best, double stop_threshold, bool no_early_stop) {
  if (no_early_stop) return false;
  const std::lock_guard lock(best.mutex);
  for (const auto& [complexity, entry] : best.entries) {
    if (stop_threshold >= entry.loss) return true;
  }
  return false;
}

std::vector<SearchResult> best_results(BestByComplexity& best,
                                       const std::shared_ptr<const OperatorRegistry>& registry) {
  const std::lock_guard lock(best.mutex);
  std::vector<SearchResult> results;
  results.reserve(best.entries.size());
  for (const auto& [complexity, entry] : best.entries) {
    results.push_back(SearchResult{entry.candidate, registry, entry.loss});
  }
  return results;
}

FitResult refit_formula(const Formula& formula, const DataColumns& data,
                        std::span<const double> targets, const OperatorRegistry& registry,
                        const SearchConfig& config) {
  return fit_parameters(formula, data, targets, registry, config.alpha, config.l1_ratio,
                        config.full_fit ? kFullRefitIterations : 30, config.full_fit);
}

double lowest_loss(BestByComplexity& best) {
  const std::lock_guard lock(best.mutex);
  double lowest = std::numeric_limits<double>::infinity();
  for (const auto& [complexity, entry] : best.entries) lowest = std::min(lowest, entry.loss);
  return lowest;
}

Expected<std::vector<SearchResult>> extract_front(
    BestByComplexity& best, const std::shared_ptr<const OperatorRegistry>& registry,
    const SearchConfig& config, const DataColumns& data, std::span<const double> targets) {
  const std::lock_guard lock(best.mutex);
  if (best.entries.empty()) return SearchError::no_formula_found(config.max_complexity);
  std::vector<SearchResult> front;
  double lowest = std::numeric_limits<double>::infinity();
  for (const auto& [complexity, entry] : best.entries) {
    Formula candidate = entry.candidate;
    double loss = entry.loss;
    if (candidate.param_count != 0 && config.fit_constants) {
      FitResult refit = refit_formula(candidate, data, targets, *registry, config);
      candidate = std::move(refit.formula);
      loss = refit.loss;
    }
    if (loss < lowest) {
      front.push_back(SearchResult{std::move(candidate), registry, loss});
      lowest = loss;
    }
  }
  std::reverse(front.begin(), front.end());
  return front;
}

}  // namespace qarn
