#include "engine/optimizer.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "engine/affine.h"

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

std::optional<std::size_t> fit_start_entries(std::span<const Token> tokens) {
  std::size_t k = 0;
  for (const Token& t : tokens) {
    if (t.kind != TokenKind::Parameter) continue;
    if (t.small != k || t.value.im != 0.0 || std::signbit(t.value.im)) return std::nullopt;
    ++k;
  }
  return k;
}

void operand_columns(std::span<const Token> tokens, std::size_t entries, const DataColumns& data,
                     const OperatorRegistry& registry, Complex* values, std::uint8_t* ok) {
  const std::size_t rows = data.rows();
  std::vector<double> theta;
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::Parameter) theta.push_back(t.value.re);
  }
  std::vector<Complex> params;
  BatchEvaluator evaluator;
  // Block 0 at the stored values, block 1 + j with entry j raised and the
  // others at their stored values, as the first Jacobian of a fit starting
  // there evaluates it.
  for (std::size_t block = 0; block <= entries; ++block) {
    if (block > 0) {
      load_params(theta, params);
      params[block - 1] = Complex{theta[block - 1] + kDifferenceStep, 0.0};
    }
    for (std::size_t begin = 0; begin < rows; begin += BatchEvaluator::kBlock) {
      const std::size_t count = std::min(BatchEvaluator::kBlock, rows - begin);
      evaluator.run(tokens, data, begin, count, params, registry, values + block * rows + begin,
                    ok + block * rows + begin);
    }
  }
}

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
                          double alpha, double l1_ratio, std::size_t max_iterations, bool full) {
  return fitter_.fit(
      tokens, tokens, data, targets, registry,
      {.alpha = alpha, .l1_ratio = l1_ratio, .max_iterations = max_iterations, .full = full},
      std::nullopt, pass_);
}

bool Optimizer::prepare_start(std::span<const Token> tokens, const DataColumns& data,
                              const OperandColumns& operands) {
  if (tokens.empty() || operands.count == 0 || operands.count > 2) return false;
  const Token& root = tokens.back();
  if (root.kind != TokenKind::Apply || root.small != operands.count) return false;
  std::size_t m = 0;
  std::size_t columns = 0;
  for (std::size_t k = 0; k < operands.count; ++k) {
    if (operands.operands[k].values == nullptr) return false;
    m += operands.operands[k].parameters;
    columns += 1 + operands.operands[k].parameters;
  }
  std::size_t parameter_tokens = 0;
  for (const Token& t : tokens) parameter_tokens += t.kind == TokenKind::Parameter ? 1 : 0;
  // Variable tokens address at most 256 variables.
  if (m != parameter_tokens || data.vars() + columns > 256) return false;

  const std::size_t rows = data.rows();
  start_view_.view_of(data);
  std::size_t first_column[2] = {0, 0};
  for (std::size_t k = 0; k < operands.count; ++k) {
    const OperandColumns::Operand& op = operands.operands[k];
    first_column[k] = start_view_.vars();
    for (std::size_t b = 0; b <= op.parameters; ++b) {
      start_view_.add_column(op.values + b * rows, op.ok + b * rows);
    }
  }
  const auto program_with = [&](std::size_t raised_operand, std::size_t block,
                                std::vector<Token>& out) {
    out.clear();
    for (std::size_t k = 0; k < operands.count; ++k) {
      const std::size_t column = first_column[k] + (k == raised_operand ? block : 0);
      out.push_back(Token::variable(static_cast<std::uint8_t>(column)));
    }
    out.push_back(root);
  };
  program_with(operands.count, 0, start_program_);
  raised_.resize(m);
  std::size_t j = 0;
  for (std::size_t k = 0; k < operands.count; ++k) {
    for (std::size_t p = 0; p < operands.operands[k].parameters; ++p) {
      program_with(k, 1 + p, raised_[j++]);
    }
  }
  return true;
}

Optimizer::Score Optimizer::score(std::span<Token> tokens, const DataColumns& data,
                                  std::span<const double> targets, const OperatorRegistry& registry,
                                  double alpha, double l1_ratio, std::size_t fit_iterations,
                                  std::span<const KnownColumn> known,
                                  const OperandColumns* operands, ScoreOptions extra) {
  Score out = score_only(tokens, data, targets, registry, alpha, l1_ratio, fit_iterations, known,
                         operands, extra.full_fit);
  if (extra.affine && std::isfinite(out.loss)) out.affine = affine_of(out.loss, targets);
  return out;
}

double Optimizer::affine_of(double loss, std::span<const double> targets) const {
  const std::span<const double> f = fitter_.values();
  const double penalty_part = loss - mean_squared_error(f, targets);
  return affine_loss(f, targets) + std::max(penalty_part, 0.0);
}

Optimizer::Score Optimizer::score_only(std::span<Token> tokens, const DataColumns& data,
                                       std::span<const double> targets,
                                       const OperatorRegistry& registry, double alpha,
                                       double l1_ratio, std::size_t fit_iterations,
                                       std::span<const KnownColumn> known,
                                       const OperandColumns* operands, bool full_fit) {
  const bool reduced = reduced_.build(tokens, data, registry, known, pass_.evaluator());
  const std::span<const Token> program =
      reduced ? reduced_.tokens() : std::span<const Token>(tokens);
  const DataColumns& view = reduced ? reduced_.data() : data;
  Score out;
  // With the operands' values known, the loss pass is the root alone, and a
  // fit that starts from the stored values takes its first Jacobian from
  // them too. Its later passes evaluate the (reduced) program.
  if (operands != nullptr && fit_iterations > 0 && starts_where_stored(tokens) &&
      prepare_start(tokens, data, *operands)) {
    const Fitter::Start start =
        fitter_.start_record(program.size(), view.rows(), std::min(view.rows(), targets.size()));
    out.loss = pass_.run(
        start_program_, start_view_, targets, registry,
        {.penalty = stored_penalty(tokens, alpha, l1_ratio), .screen = true, .keep = start.keep});
    // A loss that is not finite leaves the fit to its ordinary start below.
    if (std::isfinite(out.loss)) {
      fitted_.assign(tokens.begin(), tokens.end());
      const FirstJacobian first{&start_view_, raised_};
      const FitSummary fitted = fitter_.fit(fitted_, program, view, targets, registry,
                                            {.alpha = alpha,
                                             .l1_ratio = l1_ratio,
                                             .max_iterations = fit_iterations,
                                             .full = full_fit},
                                            out.loss, pass_, &first);
      if (fitted.loss < out.loss) {
        std::copy(fitted_.begin(), fitted_.end(), tokens.begin());
        out.loss = fitted.loss;
        out.fitted = true;
      }
      return out;
    }
  }
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
      {.alpha = alpha, .l1_ratio = l1_ratio, .max_iterations = fit_iterations, .full = full_fit},
      initial, pass_);
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
                         double alpha, double l1_ratio, std::size_t max_iterations, bool full) {
  FitResult result{formula};
  const DataColumns data(rows);
  Optimizer optimizer;
  const FitSummary summary = optimizer.fit(result.formula.tokens, data, targets, registry, alpha,
                                           l1_ratio, max_iterations, full);
  result.loss = summary.loss;
  result.stop = summary.stop;
  result.iterations = summary.iterations;
  if (summary.stop != FitStop::no_parameters) {
    result.formula.complexity = result.formula.tokens.size();
  }
  return result;
}

}  // namespace qarn
