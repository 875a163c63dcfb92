#include "engine/optimizer.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace qarn {
namespace {

// True when the parameter vector of the stored values, (re, +0.0) by token
// order and read by slot, gives every Parameter token exactly its stored value,
// and the penalty of that vector adds the same values in the same order as the
// penalty of the stored formula (no RealConstant tokens).
bool starts_where_stored(std::span<const Token> tokens) {
  std::size_t k = 0;
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::RealConstant) return false;
    if (t.kind != TokenKind::Parameter) continue;
    if (t.small != k || t.value.im != 0.0 || std::signbit(t.value.im)) return false;
    ++k;
  }
  return true;
}

}  // namespace

double Optimizer::loss(std::span<const Token> tokens, const DataColumns& data,
                       std::span<const double> targets, const OperatorRegistry& registry,
                       double alpha, double l1_ratio) {
  return pass_.run(tokens, data, targets, registry,
                   {.penalty = stored_penalty(tokens, alpha, l1_ratio), .screen = true});
}

double Optimizer::objective(std::span<const Token> tokens, std::span<const double> theta,
                            const DataColumns& data, std::span<const double> targets,
                            const OperatorRegistry& registry, double alpha, double l1_ratio) {
  load_params(theta, params_);
  return pass_.run(tokens, data, targets, registry,
                   {.params = params_, .penalty = theta_penalty(theta, tokens, alpha, l1_ratio)});
}

FitSummary Optimizer::fit(std::span<Token> tokens, const DataColumns& data,
                          std::span<const double> targets, const OperatorRegistry& registry,
                          double alpha, double l1_ratio, std::size_t max_iterations) {
  return fitter_.fit(tokens, tokens, data, targets, registry,
                     {.alpha = alpha, .l1_ratio = l1_ratio, .max_iterations = max_iterations},
                     std::nullopt, pass_);
}

Optimizer::Score Optimizer::score(std::span<Token> tokens, const DataColumns& data,
                                  std::span<const double> targets, const OperatorRegistry& registry,
                                  double alpha, double l1_ratio, std::size_t fit_iterations,
                                  std::span<const KnownColumn> known) {
  const bool reduced = reduced_.build(tokens, data, registry, known, pass_.evaluator());
  const std::span<const Token> program =
      reduced ? reduced_.tokens() : std::span<const Token>(tokens);
  const DataColumns& view = reduced ? reduced_.data() : data;
  Score out;
  // The pass at the stored values goes where the fit would record its own
  // first pass, so that the fit can start from it.
  const Fitter::Start start =
      fitter_.start_record(program.size(), view.rows(), std::min(view.rows(), targets.size()));
  out.loss = pass_.run(program, view, targets, registry,
                       {.penalty = stored_penalty(tokens, alpha, l1_ratio),
                        .screen = true,
                        .keep = start.keep,
                        .record = start.record});
  if (fit_iterations == 0) return out;
  fitted_.assign(tokens.begin(), tokens.end());
  // The fit starts by evaluating the formula with its stored values, which is
  // the pass just made whenever that pass reached every row and the parameter
  // vector reproduces the stored values in the same penalty order.
  std::optional<double> initial;
  if (std::isfinite(out.loss) && starts_where_stored(tokens)) initial = out.loss;
  const FitSummary fitted = fitter_.fit(
      fitted_, program, view, targets, registry,
      {.alpha = alpha, .l1_ratio = l1_ratio, .max_iterations = fit_iterations}, initial, pass_);
  if (fitted.loss < out.loss) {
    std::copy(fitted_.begin(), fitted_.end(), tokens.begin());
    out.loss = fitted.loss;
    out.fitted = true;
  }
  return out;
}

double formula_loss(const Formula& formula, std::span<const std::vector<Complex>> rows,
                    std::span<const double> targets, const OperatorRegistry& registry, double alpha,
                    double l1_ratio) {
  const DataColumns data(rows);
  Optimizer optimizer;
  return optimizer.loss(formula.tokens, data, targets, registry, alpha, l1_ratio);
}

double parameter_objective(const Formula& formula, std::span<const double> theta,
                           std::span<const std::vector<Complex>> rows,
                           std::span<const double> targets, const OperatorRegistry& registry,
                           double alpha, double l1_ratio) {
  const DataColumns data(rows);
  Optimizer optimizer;
  return optimizer.objective(formula.tokens, theta, data, targets, registry, alpha, l1_ratio);
}

FitResult fit_parameters(const Formula& formula, std::span<const std::vector<Complex>> rows,
                         std::span<const double> targets, const OperatorRegistry& registry,
                         double alpha, double l1_ratio, std::size_t max_iterations) {
  FitResult result{formula};
  const DataColumns data(rows);
  Optimizer optimizer;
  const FitSummary summary = optimizer.fit(result.formula.tokens, data, targets, registry, alpha,
                                           l1_ratio, max_iterations);
  result.loss = summary.loss;
  result.stop = summary.stop;
  result.iterations = summary.iterations;
  if (summary.stop != FitStop::no_parameters) {
    result.formula.complexity = result.formula.tokens.size();
  }
  return result;
}

}  // namespace qarn
