#include "api/entry_points.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "api/checks.h"
#include "engine/best.h"

namespace qarn {
namespace {

SearchConfig with_overrides(const SearchConfig& config, std::optional<double> alpha,
                            std::optional<double> l1_ratio) {
  SearchConfig copy = config;
  if (alpha) copy.alpha = *alpha;
  if (l1_ratio) copy.l1_ratio = *l1_ratio;
  return copy;
}

// The lowest-loss record of a front. The driver never returns an empty front
// without an error; should it, the caller still gets an error, not a crash.
Expected<SearchResult> first_of(Expected<std::vector<SearchResult>> front,
                                std::uint64_t max_complexity) {
  if (auto* error = std::get_if<SearchError>(&front)) return std::move(*error);
  auto& results = std::get<std::vector<SearchResult>>(front);
  if (results.empty()) return SearchError::no_formula_found(max_complexity);
  return std::move(results.front());
}

}  // namespace

Expected<SearchResult> find_function(const SearchConfig& config, std::span<const double> xs,
                                     std::span<const double> ys, std::optional<double> alpha,
                                     std::optional<double> l1_ratio) {
  const SearchConfig copy = with_overrides(config, alpha, l1_ratio);
  if (auto error = check_settings(copy)) return *std::move(error);
  if (auto error = check_inputs(xs)) return *std::move(error);
  Rows rows;
  rows.reserve(xs.size());
  for (double x : xs) rows.push_back({x});
  return first_of(run_search(rows, ys, copy), copy.max_complexity);
}

Expected<SearchResult> find_multivariate(const SearchConfig& config, const Rows& inputs,
                                         std::span<const double> ys, std::optional<double> alpha,
                                         std::optional<double> l1_ratio) {
  const SearchConfig copy = with_overrides(config, alpha, l1_ratio);
  if (auto error = check_settings(copy)) return *std::move(error);
  if (auto error = check_inputs(inputs)) return *std::move(error);
  return first_of(run_search(inputs, ys, copy), copy.max_complexity);
}

Expected<SearchResult> fit(const SearchConfig& config, const Rows& inputs,
                           std::span<const double> ys, std::optional<double> alpha,
                           std::optional<double> l1_ratio) {
  return find_multivariate(config, inputs, ys, alpha, l1_ratio);
}

Expected<std::vector<SearchResult>> find_candidates(const SearchConfig& config, const Rows& inputs,
                                                    std::span<const double> ys,
                                                    std::optional<double> alpha,
                                                    std::optional<double> l1_ratio) {
  SearchConfig copy = with_overrides(config, alpha, l1_ratio);
  copy.no_early_stop = true;
  if (auto error = check_settings(copy)) return *std::move(error);
  if (auto error = check_inputs(inputs)) return *std::move(error);
  return run_search(inputs, ys, copy);
}

Expected<SearchResult> recognize_constant(const SearchConfig& config, double value,
                                          std::optional<double> alpha,
                                          std::optional<double> l1_ratio) {
  const SearchConfig copy = with_overrides(config, alpha, l1_ratio);
  if (auto error = check_settings(copy)) return *std::move(error);
  const Rows rows{{0.0}};
  const double target[] = {value};
  return first_of(run_search(rows, target, copy), copy.max_complexity);
}

Expected<std::vector<SearchResult>> search_front(const SearchConfig& config, const Rows& inputs,
                                                 std::span<const double> ys,
                                                 SearchControl* control) {
  if (auto error = check_settings(config)) return *std::move(error);
  if (auto error = check_inputs(inputs)) return *std::move(error);
  return run_search(inputs, ys, config, nullptr, control);
}

Expected<std::vector<SearchResult>> refit_results(const SearchConfig& config,
                                                  std::span<const SearchResult> results,
                                                  const Rows& inputs, std::span<const double> ys) {
  if (auto error = check_settings(config)) return *std::move(error);
  if (inputs.empty() || inputs.size() != ys.size()) {
    return SearchError::dimension_mismatch(kDimensionMismatchText);
  }
  if (auto error = check_inputs(inputs)) return *std::move(error);
  for (std::size_t i = 0; i < ys.size(); ++i) {
    if (!std::isfinite(ys[i])) {
      return SearchError::invalid_argument("Target values must be finite numbers: entry " +
                                           std::to_string(i) + " is not");
    }
  }
  std::size_t width = inputs[0].size();
  for (const std::vector<double>& row : inputs) width = std::min(width, row.size());
  std::vector<std::vector<Complex>> rows;
  rows.reserve(inputs.size());
  for (const std::vector<double>& row : inputs) {
    std::vector<Complex>& out = rows.emplace_back(width);
    for (std::size_t j = 0; j < width; ++j) out[j] = Complex{row[j], 0.0};
  }
  std::vector<SearchResult> out;
  out.reserve(results.size());
  for (const SearchResult& result : results) {
    if (result.formula.var_count > width) {
      return SearchError::invalid_argument(
          "Every row must hold the variables the formulas read: '" + result.formula.text +
          "' reads " + std::to_string(result.formula.var_count) + ", a row holds " +
          std::to_string(width));
    }
    FitResult refit = refit_formula(result.formula, rows, ys, *result.registry, config);
    // The refit leaves the complexity of a formula as the search reports it.
    refit.formula.complexity = result.formula.complexity;
    out.push_back(SearchResult{std::move(refit.formula), result.registry, refit.loss});
  }
  return out;
}

}  // namespace qarn
