#include "engine/checks.h"

#include <cmath>
#include <string>

namespace qarn {
namespace {

// A non-finite double as Python prints it.
std::string non_finite_text(double x) {
  if (std::isnan(x)) return "nan";
  return x > 0 ? "inf" : "-inf";
}

std::optional<SearchError> check_finite(const char* name, double value) {
  if (std::isfinite(value)) return std::nullopt;
  return SearchError::invalid_argument(std::string(name) + " must be a finite number, got " +
                                       non_finite_text(value));
}

SearchError non_finite_input(std::size_t row, std::size_t column, double value) {
  return SearchError::invalid_argument("Input values must be finite numbers: row " +
                                       std::to_string(row) + ", column " + std::to_string(column) +
                                       " is " + non_finite_text(value));
}

}  // namespace

std::optional<SearchError> check_settings(const SearchConfig& config) {
  if (config.max_complexity > kMaxComplexityLimit) {
    return SearchError::invalid_argument("max_complexity must be at most " +
                                         std::to_string(kMaxComplexityLimit) +
                                         " (the largest formula size the engine represents), got " +
                                         std::to_string(config.max_complexity));
  }
  if (auto error = check_finite("complexity_penalty", config.complexity_penalty)) return error;
  if (auto error = check_finite("alpha", config.alpha)) return error;
  return check_finite("l1_ratio", config.l1_ratio);
}

std::optional<SearchError> check_inputs(const Rows& inputs) {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    for (std::size_t j = 0; j < inputs[i].size(); ++j) {
      if (!std::isfinite(inputs[i][j])) return non_finite_input(i, j, inputs[i][j]);
    }
  }
  return std::nullopt;
}

std::optional<SearchError> check_start(const SearchConfig& config, const Rows& inputs,
                                       std::span<const double> targets) {
  if (auto error = check_settings(config)) return error;
  if (auto error = check_inputs(inputs)) return error;
  if (inputs.size() != targets.size() || inputs.empty()) {
    return SearchError::dimension_mismatch(kDimensionMismatchText);
  }
  if (config.max_complexity == 0) return SearchError::no_formula_found(0);
  return std::nullopt;
}

}  // namespace qarn
