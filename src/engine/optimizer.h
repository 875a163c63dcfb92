#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/fit.h"
#include "engine/loss.h"
#include "engine/reduction.h"
#include "ops/batch_evaluate.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Loss of a formula as it stands: mean squared error of the real part of its
// value against the targets plus the elastic-net penalty on its RealConstant
// values and stored Parameter values. +inf when any row fails to evaluate or
// gives a non-finite or >= 1e15 value.
// Reference form, used by tests only: the search calls Optimizer::loss, and
// "Optimizer is bit-identical to the free functions and a row-by-row
// reference" holds the two together.
double formula_loss(const Formula& formula, std::span<const std::vector<Complex>> rows,
                    std::span<const double> targets, const OperatorRegistry& registry, double alpha,
                    double l1_ratio);

// Loss with the parameter values `theta` (one per Parameter token, in token
// order); the penalty counts theta and the RealConstant values.
// Reference form, used by tests only: the fit evaluates its trials through
// ErrorPass, and "Optimizer is bit-identical to the free functions and a
// row-by-row reference" holds the two together.
double parameter_objective(const Formula& formula, std::span<const double> theta,
                           std::span<const std::vector<Complex>> rows,
                           std::span<const double> targets, const OperatorRegistry& registry,
                           double alpha, double l1_ratio);

struct FitResult {
  Formula formula;  // the input with fitted (theta_k, 0.0) stored in its Parameter tokens
  double loss = 0.0;
  FitStop stop = FitStop::iteration_limit;  // the rule that ended the fit
  std::size_t iterations = 0;               // trials evaluated
};

// Fits the parameters of `formula` (see Fitter) on row-major data; a formula
// with parameters gets its complexity reset to its token count.
FitResult fit_parameters(const Formula& formula, std::span<const std::vector<Complex>> rows,
                         std::span<const double> targets, const OperatorRegistry& registry,
                         double alpha, double l1_ratio, std::size_t max_iterations);

// The loss, the fit and the scoring of one candidate on a column-major data
// set, with scratch memory held across calls (one Optimizer per worker).
// Results are bit-identical to the free functions above.
class Optimizer {
 public:
  double loss(std::span<const Token> tokens, const DataColumns& data,
              std::span<const double> targets, const OperatorRegistry& registry, double alpha,
              double l1_ratio);

  // Reference form of the fit's objective, used by tests only (through
  // parameter_objective).
  double objective(std::span<const Token> tokens, std::span<const double> theta,
                   const DataColumns& data, std::span<const double> targets,
                   const OperatorRegistry& registry, double alpha, double l1_ratio);

  // Fits the Parameter tokens of `tokens` in place; the summary's loss is
  // the one fit_parameters reports. Tokens without parameters get the direct
  // loss.
  FitSummary fit(std::span<Token> tokens, const DataColumns& data, std::span<const double> targets,
                 const OperatorRegistry& registry, double alpha, double l1_ratio,
                 std::size_t max_iterations);

  // What scoring a candidate gives: its loss as it stands or, when fitting
  // lowered it strictly, the fitted loss (the tokens then hold the fitted
  // values).
  struct Score {
    double loss = 0.0;
    bool fitted = false;
  };

  // `loss`, then (when `fit_iterations` > 0) `fit` on a copy, keeping the
  // fit only when strictly better. Subtrees without parameters are evaluated
  // once for both and for every pass of the fit; `known` gives the values of
  // some of them outright. Bit-identical to calling loss and fit.
  Score score(std::span<Token> tokens, const DataColumns& data, std::span<const double> targets,
              const OperatorRegistry& registry, double alpha, double l1_ratio,
              std::size_t fit_iterations, std::span<const KnownColumn> known);

 private:
  ErrorPass pass_;
  Fitter fitter_;
  ReducedFormula reduced_;       // the candidate being scored, reduced
  std::vector<Complex> params_;  // (theta_k, 0.0) handed to the evaluator by `objective`
  std::vector<Token> fitted_;    // the copy that score() fits
};

}  // namespace qarn
