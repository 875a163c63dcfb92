#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
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

// Fits the parameters of `formula` (see Fitter; the full fit with `full`) on
// row-major data; a formula with parameters gets its complexity reset to its
// token count.
FitResult fit_parameters(const Formula& formula, std::span<const std::vector<Complex>> rows,
                         std::span<const double> targets, const OperatorRegistry& registry,
                         double alpha, double l1_ratio, std::size_t max_iterations,
                         bool full = false);

// Values of the operands of a candidate's root on every row of the data set,
// for a candidate op(A) or op(A, B) whose tokens are A's, then B's, then the
// root: each operand at its stored parameter values, then, for each of its
// parameter entries in order, with that entry raised by the fit's difference
// step. These are the values of the candidate's loss pass and of its fit's
// first Jacobian, so both take them instead of evaluating the operands.
struct OperandColumns {
  struct Operand {
    const Complex* values = nullptr;   // (1 + parameters) x rows values
    const std::uint8_t* ok = nullptr;  // 1 where the operand has a value
    std::size_t parameters = 0;
  };
  Operand operands[2];
  std::size_t count = 0;  // the root's arity
};

// Parameter entries of `tokens` when its Parameter tokens hold slots 0, 1, ...
// in token order with stored values (theta, +0.0), where a fit of a formula
// built on it starts; empty otherwise.
std::optional<std::size_t> fit_start_entries(std::span<const Token> tokens);

// The operand columns of `tokens` (see OperandColumns) for its `entries`
// parameter entries (fit_start_entries): 1 + entries blocks of data.rows()
// values and flags.
void operand_columns(std::span<const Token> tokens, std::size_t entries, const DataColumns& data,
                     const OperatorRegistry& registry, Complex* values, std::uint8_t* ok);

// Engine options of Optimizer::score (both off: the module's scoring).
struct ScoreOptions {
  bool full_fit = false;  // the fit runs on the whole normal matrix (FitOptions::full)
  bool affine = false;    // Score::affine is computed
};

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
                 std::size_t max_iterations, bool full = false);

  // What scoring a candidate gives: its loss as it stands or, when fitting
  // lowered it strictly, the fitted loss (the tokens then hold the fitted
  // values).
  struct Score {
    double loss = 0.0;
    bool fitted = false;
    // With ScoreOptions::affine and a finite loss: the loss of the best
    // a + b x f over the candidate's values f (affine_loss); else NaN.
    double affine = std::numeric_limits<double>::quiet_NaN();
  };

  // `loss`, then (when `fit_iterations` > 0) `fit` on a copy, keeping the
  // fit only when strictly better. Subtrees without parameters are evaluated
  // once for both and for every pass of the fit; `known` gives the values of
  // some of them outright, and `operands` (when given) the values of the
  // loss pass and of the first Jacobian. Bit-identical to calling loss and
  // fit.
  Score score(std::span<Token> tokens, const DataColumns& data, std::span<const double> targets,
              const OperatorRegistry& registry, double alpha, double l1_ratio,
              std::size_t fit_iterations, std::span<const KnownColumn> known,
              const OperandColumns* operands = nullptr, ScoreOptions extra = {});

 private:
  // Sets up start_view_, start_program_ and raised_ from `operands`; false
  // when they do not describe `tokens` (then the ordinary path runs).
  // score without Score::affine.
  Score score_only(std::span<Token> tokens, const DataColumns& data,
                   std::span<const double> targets, const OperatorRegistry& registry, double alpha,
                   double l1_ratio, std::size_t fit_iterations, std::span<const KnownColumn> known,
                   const OperandColumns* operands, bool full_fit);
  // Score::affine of a finite `loss` from the values the fit holds.
  double affine_of(double loss, std::span<const double> targets) const;

  bool prepare_start(std::span<const Token> tokens, const DataColumns& data,
                     const OperandColumns& operands);

  ErrorPass pass_;
  Fitter fitter_;
  ReducedFormula reduced_;                  // the candidate being scored, reduced
  std::vector<Complex> params_;             // (theta_k, 0.0) handed to the evaluator by `objective`
  std::vector<Token> fitted_;               // the copy that score() fits
  DataColumns start_view_;                  // the data with the operand columns appended
  std::vector<Token> start_program_;        // the root over the operands' columns
  std::vector<std::vector<Token>> raised_;  // the same with entry j raised, per entry
};

}  // namespace qarn
