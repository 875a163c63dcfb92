#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/loss.h"
#include "engine/subtree.h"
#include "ops/batch_evaluate.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Why a fit ended. The rules are tested in this order: the two limits before
// each iteration, then the outcome of its trial.
enum class FitStop : std::uint8_t {
  no_parameters,    // no Parameter token: the loss of the tokens as they stand
  iteration_limit,  // iterations == max_iterations
  damping_limit,    // lambda > 1e4 (lambda starts at 0.01 and at most two x10
                    // steps follow each other, so the rule never fires in the
                    // diagonal fit); in the full fit, lambda > 1e10
  rejections,       // a third trial in a row that did not lower the objective
                    // (full fit: a seventh)
  small_gain,       // an accepted trial that lowered the objective by < 1e-9
                    // (full fit: by <= 1e-10 x the objective before it, or to 0)
};

// Forward-difference step of the fit's Jacobian: entry j is raised to
// theta_j + kDifferenceStep.
inline constexpr double kDifferenceStep = 1e-6;

// The fit's first Jacobian from values known beforehand: for each parameter
// entry j, a program over `data` that gives, row by row, the value and the
// success flag of the fitted formula with entry j raised by the step and
// every other entry at its initial value.
struct FirstJacobian {
  const DataColumns* data = nullptr;
  std::span<const std::vector<Token>> programs;  // one per parameter entry
};

// What a fit minimises and for how long.
struct FitOptions {
  double alpha = 0.0;               // penalty strength
  double l1_ratio = 0.5;            // penalty = alpha x (l1_ratio x L1 + (1 - l1_ratio) x 0.5 x L2)
  std::size_t max_iterations = 10;  // trials at most; 0 evaluates the start only
  // Steps from the whole normal matrix (Fitter::fit) instead of its diagonal.
  bool full = false;
};

// Trials of a full fit when a candidate is scored, and in a refit.
inline constexpr std::size_t kFullScoreIterations = 30;
inline constexpr std::size_t kFullRefitIterations = 100;

// What a fit did.
struct FitSummary {
  double loss = 0.0;                        // objective at the final parameters
  FitStop stop = FitStop::iteration_limit;  // the rule that ended it
  std::size_t iterations = 0;               // trials evaluated, accepted or not
};

// Damped least squares on the diagonal of the normal matrix with a
// forward-difference Jacobian: theta_j -= g_j / ((D_j + lambda) + 1e-6),
// with D_j = sum_i J_ij^2 and g_j = sum_i J_ij r_i over the rows with a
// target. The penalty only decides whether a trial is accepted. Scratch is
// held across calls (one Fitter per worker).
//
// With FitOptions::full, Levenberg-Marquardt on the whole normal matrix
// A = J^T J: theta -= M^-1 g with M = A plus lambda x (A_jj + 1e-6) on the
// diagonal, solved by Cholesky (a trial whose M is not positive definite is
// rejected without a pass). lambda starts at 0.01, is divided by 10 (down to
// 1e-12) on accept and multiplied by 10 on reject; the fit ends on an
// accepted gain <= 1e-10 x the objective before it (or an objective of 0),
// on the seventh rejection in a row, when lambda exceeds 1e10, or at the
// iteration cap.
class Fitter {
 public:
  // Fits the Parameter tokens of `tokens` in place: positions, initial values
  // and the penalty's constants come from `tokens`, while every evaluation
  // pass runs `program` over `data`, which must compute the same values (the
  // tokens themselves, or their reduced form). `initial`, when given, is the
  // objective at the initial values, and the caller has recorded that pass
  // into start_record(). `first`, when given with `initial`, serves the first
  // Jacobian instead of that record.
  FitSummary fit(std::span<Token> tokens, std::span<const Token> program, const DataColumns& data,
                 std::span<const double> targets, const OperatorRegistry& registry,
                 const FitOptions& options, std::optional<double> initial, ErrorPass& pass,
                 const FirstJacobian* first = nullptr);

  // Where a caller records the pass at the initial values before handing
  // its loss to `fit`: the real part of every row with a target (`keep`) and
  // every token's values (`record`), sized for `program_size` tokens over
  // `rows` rows of which `used` have a target.
  struct Start {
    double* keep = nullptr;
    Tape* record = nullptr;
  };
  Start start_record(std::size_t program_size, std::size_t rows, std::size_t used);

  // The real parts f_i, one per row with a target, at the parameters of the
  // last objective that `fit` reached (or of the recorded start pass), when
  // that objective is finite.
  std::span<const double> values() const { return base_; }

 private:
  // For every parameter entry j, the subtrees of `program` that do not read
  // it and that the record holds (skips_[j * size + start] = last token);
  // false when malformed.
  bool build_skips(std::span<const Token> program, std::size_t m);
  // base_[i] = real part at row i with theta_, 0.0 where the row fails.
  void fill_base(std::span<const Token> program, const DataColumns& data, std::size_t used,
                 const OperatorRegistry& registry, BatchEvaluator& evaluator);
  // diag_ and grad_ at theta_ from base_ by forward differences; the raised
  // passes come from `first` when given, else from `program` and the record
  // of the pass at theta_.
  void jacobian_sums(std::span<const Token> program, const DataColumns& data,
                     std::span<const double> targets, std::size_t used,
                     const OperatorRegistry& registry, BatchEvaluator& evaluator,
                     const FirstJacobian* first);
  void reserve_block();
  // residual_[i] = f[i] - y[i] for the block's rows.
  void residuals(const double* f, const double* y, std::size_t count);
  // The block's values with parameter entry j raised by the step: from
  // `first` when given, else from `program` and the record of the pass at
  // theta_. `continues`: the call before it was the same raised pass over
  // the block before (see BatchEvaluator::run_recorded).
  BatchEvaluator::Operand raised_pass(std::span<const Token> program, const DataColumns& data,
                                      std::size_t begin, std::size_t count, std::size_t j,
                                      const OperatorRegistry& registry, BatchEvaluator& evaluator,
                                      const FirstJacobian* first, bool continues);
  // column[i] = (shifted_i - f[i]) / step, shifted_i the raised value v[i]
  // (0.0 where the row fails).
  void jacobian_column(const BatchEvaluator::Operand& v, const double* f, std::size_t count,
                       double* column);
  // The objective at trial_, recording the pass into trial_tape_ and
  // trial_base_; +inf where it cannot fall below `current`.
  double trial_pass(std::span<const Token> tokens, std::span<const Token> program,
                    const DataColumns& data, std::span<const double> targets,
                    const OperatorRegistry& registry, const FitOptions& options, ErrorPass& pass,
                    double current);
  // The full fit's loop from theta_ at objective `current` (see the class
  // comment); updates theta_, base_, tape_ and `current`, and returns the
  // stop reason and the trial count in `summary`.
  void full_iterations(std::span<const Token> tokens, std::span<const Token> program,
                       const DataColumns& data, std::span<const double> targets, std::size_t used,
                       const OperatorRegistry& registry, const FitOptions& options, ErrorPass& pass,
                       const FirstJacobian* first, double& current, FitSummary& summary);
  // normal_ (lower triangle and diagonal) and grad_ at theta_ from base_, as
  // jacobian_sums computes the diagonal.
  void normal_sums(std::span<const Token> program, const DataColumns& data,
                   std::span<const double> targets, std::size_t used,
                   const OperatorRegistry& registry, BatchEvaluator& evaluator,
                   const FirstJacobian* first);
  // trial_ = theta_ - M^-1 grad_ for the damping `lambda`; false when M is
  // not positive definite.
  bool damped_step(double lambda);

  // Scratch reused across calls; sized on first use, never shrunk.
  std::vector<Complex> params_;         // (theta_k, 0.0) handed to the evaluator
  std::vector<double> theta_;           // current parameter vector
  std::vector<double> trial_;           // trial parameter vector
  std::vector<double> residual_;        // one block of r_i = f_i - y_i
  std::vector<double> base_;            // f_i at theta_, one per row with a target
  std::vector<double> trial_base_;      // f_i at trial_, filled by the trial pass
  std::vector<double> diag_;            // D_j = sum_i J_ij^2
  std::vector<double> grad_;            // g_j = sum_i J_ij * r_i
  std::vector<double> normal_;          // A_jk = sum_i J_ij * J_ik (full fit), row-major m x m
  std::vector<double> factor_;          // Cholesky factor of the damped matrix (full fit)
  std::vector<double> columns_;         // one block of Jacobian columns (full fit), m x kBlock
  std::vector<std::size_t> positions_;  // token position of each Parameter token
  Tape tape_;                           // the pass at theta_
  Tape trial_tape_;                     // the pass at trial_
  SubtreeSpans spans_;                  // subtrees of the program
  std::vector<std::size_t> skips_;      // see build_skips
  std::vector<std::uint8_t> on_path_;   // tokens that read the current entry
  std::vector<std::uint8_t> by_row_;    // tokens whose subtree reads a variable
};

}  // namespace qarn
