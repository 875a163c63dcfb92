#include "api/entry_points.h"

#include <utility>

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
  Rows rows;
  rows.reserve(xs.size());
  for (double x : xs) rows.push_back({x});
  return first_of(run_search(rows, ys, copy), copy.max_complexity);
}

Expected<SearchResult> find_multivariate(const SearchConfig& config, const Rows& inputs,
                                         std::span<const double> ys, std::optional<double> alpha,
                                         std::optional<double> l1_ratio) {
  const SearchConfig copy = with_overrides(config, alpha, l1_ratio);
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
  return run_search(inputs, ys, copy);
}

Expected<SearchResult> recognize_constant(const SearchConfig& config, double value,
                                          std::optional<double> alpha,
                                          std::optional<double> l1_ratio) {
  const SearchConfig copy = with_overrides(config, alpha, l1_ratio);
  const Rows rows{{0.0}};
  const double target[] = {value};
  return first_of(run_search(rows, target, copy), copy.max_complexity);
}

Expected<std::vector<SearchResult>> search_front(const SearchConfig& config, const Rows& inputs,
                                                 std::span<const double> ys,
                                                 SearchControl* control) {
  return run_search(inputs, ys, config, nullptr, control);
}

}  // namespace qarn
