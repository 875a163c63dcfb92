#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "ops/evaluate.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Loss of a formula as it stands: mean squared error of the real part of its
// value against the targets plus the elastic-net penalty on its RealConstant
// values and stored Parameter values. +inf when any row fails to evaluate or
// gives a non-finite or >= 1e15 value.
double formula_loss(const Formula& formula, std::span<const std::vector<Complex>> rows,
                    std::span<const double> targets, const OperatorRegistry& registry,
                    double alpha, double l1_ratio);

// Loss with the parameter values `theta` (one per Parameter token, in token
// order); the penalty counts theta and the RealConstant values.
double parameter_objective(const Formula& formula, std::span<const double> theta,
                           std::span<const std::vector<Complex>> rows,
                           std::span<const double> targets, const OperatorRegistry& registry,
                           double alpha, double l1_ratio);

struct FitResult {
  Formula formula;  // the input with fitted (theta_k, 0.0) stored in its Parameter tokens
  double loss = 0.0;
};

// Damped least squares on the diagonal of the normal matrix, forward-difference
// Jacobian; the penalty only decides whether a step is accepted.
FitResult fit_parameters(const Formula& formula, std::span<const std::vector<Complex>> rows,
                         std::span<const double> targets, const OperatorRegistry& registry,
                         double alpha, double l1_ratio, std::size_t max_iterations);

// The same three operations on a column-major data set, evaluating rows in
// blocks, with scratch memory held across calls (one Optimizer per worker).
// Results are bit-identical to the free functions above.
class Optimizer {
 public:
  double loss(std::span<const Token> tokens, const DataColumns& data,
              std::span<const double> targets, const OperatorRegistry& registry, double alpha,
              double l1_ratio);

  double objective(std::span<const Token> tokens, std::span<const double> theta,
                   const DataColumns& data, std::span<const double> targets,
                   const OperatorRegistry& registry, double alpha, double l1_ratio);

  // Fits the Parameter tokens of `tokens` in place and returns the loss that
  // fit_parameters reports. Tokens without parameters get the direct loss.
  double fit(std::span<Token> tokens, const DataColumns& data, std::span<const double> targets,
             const OperatorRegistry& registry, double alpha, double l1_ratio,
             std::size_t max_iterations);

 private:
  BatchEvaluator evaluator_;
  // scratch reused across calls
  std::vector<Complex> values_;
  std::vector<std::uint8_t> ok_;
  std::vector<Complex> params_;
  std::vector<double> theta_;
  std::vector<double> trial_;
  std::vector<double> residual_;
  std::vector<double> base_;
  std::vector<double> column_;
  std::vector<std::size_t> positions_;
};

}  // namespace qarn
