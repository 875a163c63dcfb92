#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/reduction.h"
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
  // The fit proper: positions, initial values, penalty and results come from
  // `tokens`; every evaluation pass runs `program` over `data`, which compute
  // the same values (the tokens themselves, or their reduced form). Unless
  // `initial` is NaN it is the objective at the initial values, with base_
  // and tape_ already holding that pass.
  double fit_program(std::span<Token> tokens, std::span<const Token> program,
                     const DataColumns& data, std::span<const double> targets,
                     const OperatorRegistry& registry, double alpha, double l1_ratio,
                     std::size_t max_iterations, double initial);

  // Every token's values over all rows of one pass, block by block: the
  // Jacobian passes take the subtrees that do not read the perturbed entry
  // from the record of the pass at theta instead of evaluating them again.
  struct Tape {
    std::size_t tokens = 0;
    std::vector<Complex> values;
    std::vector<std::uint8_t> ok;

    void resize(std::size_t token_count, std::size_t rows) {
      tokens = token_count;
      const std::size_t blocks = (rows + BatchEvaluator::kBlock - 1) / BatchEvaluator::kBlock;
      values.resize(blocks * tokens * BatchEvaluator::kBlock);
      ok.resize(values.size());
    }
    // Record of the block that starts at row `begin`.
    Complex* values_at(std::size_t begin) { return values.data() + begin * tokens; }
    std::uint8_t* ok_at(std::size_t begin) { return ok.data() + begin * tokens; }
  };

  // MSE of one evaluation pass over all rows plus `penalty`, or +inf when a
  // row has no value (or, with `screen`, a value beyond the magnitude bound).
  // `keep`, when given, receives the real part of every row that has a
  // target. With a finite `stop_at` the pass returns +inf as soon as the
  // result can no longer fall below `stop_at`. +inf whenever it stops early.
  // `record`, when given, receives every token's values (see Tape).
  double error_pass(std::span<const Token> tokens, const DataColumns& data,
                    std::span<const double> targets, const OperatorRegistry& registry,
                    std::span<const Complex> params, bool screen, double* keep, double penalty,
                    double stop_at, Tape* record);
  // For every parameter entry j, the subtrees of `program` that do not read
  // it (skips_[j * size + start] = last token); false when malformed.
  bool build_skips(std::span<const Token> program, std::size_t m);
  // base_[i] = real part at row i with theta_, 0.0 where the row fails.
  void fill_base(std::span<const Token> tokens, const DataColumns& data, std::size_t used,
                 const OperatorRegistry& registry);
  // diag_ and grad_ at theta_ from base_ by forward differences.
  void jacobian_sums(std::span<const Token> tokens, const DataColumns& data,
                     std::span<const double> targets, std::size_t used,
                     const OperatorRegistry& registry);
  void reserve_block();

  BatchEvaluator evaluator_;
  // Scratch reused across calls; sized on first use, never shrunk.
  std::vector<Complex> values_;            // one block of formula values
  std::vector<std::uint8_t> ok_;           // one block of success flags
  std::vector<Complex> params_;            // (theta_k, 0.0) handed to the evaluator
  std::vector<double> theta_;              // current parameter vector
  std::vector<double> trial_;              // trial parameter vector
  std::vector<double> residual_;           // one block of r_i = f_i - y_i
  std::vector<double> base_;               // f_i at theta_, one per row with a target
  std::vector<double> trial_base_;         // f_i at trial_, filled by the trial pass
  std::vector<double> diag_;               // D_j = sum_i J_ij^2
  std::vector<double> grad_;               // g_j = sum_i J_ij * r_i
  std::vector<std::size_t> positions_;     // token position of each Parameter token
  ReducedFormula reduced_;                 // the candidate being scored, reduced
  Tape tape_;                              // the pass at theta_
  Tape trial_tape_;                        // the pass at trial_
  std::vector<std::size_t> skips_;         // see build_skips
  std::vector<std::size_t> start_;         // first token of each token's subtree
  std::vector<std::size_t> parent_;        // consuming Apply of each token (size = root)
  std::vector<std::size_t> open_;          // analysis stack
  std::vector<std::uint8_t> on_path_;      // tokens that read the current entry
  std::vector<Token> fitted_;              // the copy that score() fits
};

}  // namespace qarn
