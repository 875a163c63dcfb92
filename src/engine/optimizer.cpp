#include "engine/optimizer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace qarn {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

constexpr double kInitialDamping = 0.01;  // lambda at the start of a fit
constexpr double kDampingLimit = 1e4;     // the fit runs while lambda <= this
constexpr double kDampingFactor = 10.0;   // lambda / 10 on accept, * 10 on reject
constexpr double kStep = 1e-6;            // forward-difference step h
constexpr double kGuard = 1e-6;           // added after lambda to the denominator
constexpr double kGainTolerance = 1e-9;   // an accepted gain below this ends the fit
constexpr int kMaxRejections = 2;         // consecutive rejections that survive
constexpr double kBound = 1e15;           // magnitude bound of formula_loss

constexpr std::size_t kBlock = BatchEvaluator::kBlock;

// False for a non-finite part or a part of magnitude >= 1e15 (NaN fails too).
inline bool within_bound(Complex v) { return std::fabs(v.re) < kBound && std::fabs(v.im) < kBound; }

// Running L1 = sum |v| and L2 = sum v^2, each added in the order of the values.
struct Norms {
  double l1 = 0.0;
  double l2 = 0.0;

  void add(double v) {
    l1 += std::fabs(v);
    l2 += v * v;
  }
};

// alpha x (l1_ratio x L1 + (1 - l1_ratio) x 0.5 x L2), left to right. Never
// skipped for alpha = 0: 0 x inf is NaN, and that must show in the loss.
inline double elastic_net(const Norms& n, double alpha, double l1_ratio) {
  return alpha * (l1_ratio * n.l1 + (1.0 - l1_ratio) * 0.5 * n.l2);
}

// Penalty on the formula as it stands: RealConstant values and the real parts
// of the stored Parameter values, in token order.
double stored_penalty(std::span<const Token> tokens, double alpha, double l1_ratio) {
  Norms n;
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::RealConstant || t.kind == TokenKind::Parameter) n.add(t.value.re);
  }
  return elastic_net(n, alpha, l1_ratio);
}

// Penalty of a trial: every entry of theta, then the RealConstant values.
double theta_penalty(std::span<const double> theta, std::span<const Token> tokens, double alpha,
                     double l1_ratio) {
  Norms n;
  for (const double v : theta) n.add(v);
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::RealConstant) n.add(t.value.re);
  }
  return elastic_net(n, alpha, l1_ratio);
}

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

// The evaluator's parameter vector: entry k is (theta_k, 0.0); a Parameter
// token with slot s reads entry s.
void load_params(std::span<const double> theta, std::vector<Complex>& params) {
  params.resize(theta.size());
  for (std::size_t k = 0; k < theta.size(); ++k) params[k] = Complex{theta[k], 0.0};
}

}  // namespace

void Optimizer::reserve_block() {
  if (values_.size() < kBlock) {
    values_.resize(kBlock);
    ok_.resize(kBlock);
    residual_.resize(kBlock);
  }
}

double Optimizer::error_pass(std::span<const Token> tokens, const DataColumns& data,
                             std::span<const double> targets, const OperatorRegistry& registry,
                             std::span<const Complex> params, bool screen, double* keep,
                             double penalty, double stop_at, Tape* record) {
  const std::size_t rows = data.rows();
  const std::size_t used = std::min(rows, targets.size());
  const double n = static_cast<double>(targets.size());
  const bool prune = std::isfinite(stop_at);
  double sse = 0.0;
  for (std::size_t begin = 0; begin < rows; begin += kBlock) {
    const std::size_t count = std::min(kBlock, rows - begin);
    evaluator_.run_recorded(tokens, data, begin, count, params, registry, values_.data(),
                            ok_.data(), record ? record->values_at(begin) : nullptr,
                            record ? record->ok_at(begin) : nullptr, nullptr);
    const std::size_t with_target = begin < used ? std::min(count, used - begin) : 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (!ok_[i] || (screen && !within_bound(values_[i]))) return kInfinity;
      if (i < with_target) {
        const double re = values_[i].re;
        if (keep != nullptr) keep[begin + i] = re;
        const double d = re - targets[begin + i];
        sse += d * d;
      }
    }
    // The partial sum only grows (its terms are squares, rounding is
    // monotone), so once the partial result reaches stop_at the full result
    // reaches it too, or is NaN: either way it does not fall below stop_at.
    if (prune && sse / n + penalty >= stop_at) return kInfinity;
  }
  return sse / n + penalty;
}

void Optimizer::fill_base(std::span<const Token> tokens, const DataColumns& data,
                          std::size_t used, const OperatorRegistry& registry) {
  for (std::size_t begin = 0; begin < used; begin += kBlock) {
    const std::size_t count = std::min(kBlock, used - begin);
    evaluator_.run_recorded(tokens, data, begin, count, params_, registry, values_.data(),
                            ok_.data(), tape_.values_at(begin), tape_.ok_at(begin), nullptr);
    for (std::size_t i = 0; i < count; ++i) base_[begin + i] = ok_[i] ? values_[i].re : 0.0;
  }
}

void Optimizer::jacobian_sums(std::span<const Token> tokens, const DataColumns& data,
                              std::span<const double> targets, std::size_t used,
                              const OperatorRegistry& registry) {
  const std::size_t m = theta_.size();
  std::fill(diag_.begin(), diag_.end(), 0.0);
  std::fill(grad_.begin(), grad_.end(), 0.0);
  // Block by block, and inside a block parameter by parameter: every D_j and
  // g_j still receives its terms in ascending row order, while the block's
  // input columns stay in cache for all m perturbed passes.
  for (std::size_t begin = 0; begin < used; begin += kBlock) {
    const std::size_t count = std::min(kBlock, used - begin);
    const double* f = base_.data() + begin;
    for (std::size_t i = 0; i < count; ++i) residual_[i] = f[i] - targets[begin + i];
    for (std::size_t j = 0; j < m; ++j) {
      params_[j] = Complex{theta_[j] + kStep, 0.0};
      // Only the subtrees that read entry j change; the others are taken
      // from the record of the pass at theta.
      const BatchEvaluator::Reuse reuse{skips_.data() + j * tokens.size(), tape_.values_at(begin),
                                        tape_.ok_at(begin)};
      evaluator_.run_recorded(tokens, data, begin, count, params_, registry, values_.data(),
                              ok_.data(), nullptr, nullptr, skips_.empty() ? nullptr : &reuse);
      params_[j] = Complex{theta_[j], 0.0};
      double d = diag_[j];
      double g = grad_[j];
      for (std::size_t i = 0; i < count; ++i) {
        const double shifted = ok_[i] ? values_[i].re : 0.0;
        const double jij = (shifted - f[i]) / kStep;
        d += jij * jij;
        g += jij * residual_[i];
      }
      diag_[j] = d;
      grad_[j] = g;
    }
  }
}

double Optimizer::loss(std::span<const Token> tokens, const DataColumns& data,
                       std::span<const double> targets, const OperatorRegistry& registry,
                       double alpha, double l1_ratio) {
  reserve_block();
  return error_pass(tokens, data, targets, registry, {}, true, nullptr,
                    stored_penalty(tokens, alpha, l1_ratio), kInfinity, nullptr);
}

double Optimizer::objective(std::span<const Token> tokens, std::span<const double> theta,
                            const DataColumns& data, std::span<const double> targets,
                            const OperatorRegistry& registry, double alpha, double l1_ratio) {
  reserve_block();
  load_params(theta, params_);
  return error_pass(tokens, data, targets, registry, params_, false, nullptr,
                    theta_penalty(theta, tokens, alpha, l1_ratio), kInfinity, nullptr);
}

double Optimizer::fit(std::span<Token> tokens, const DataColumns& data,
                      std::span<const double> targets, const OperatorRegistry& registry,
                      double alpha, double l1_ratio, std::size_t max_iterations) {
  return fit_program(tokens, tokens, data, targets, registry, alpha, l1_ratio, max_iterations,
                     std::numeric_limits<double>::quiet_NaN());
}

Optimizer::Score Optimizer::score(std::span<Token> tokens, const DataColumns& data,
                                  std::span<const double> targets,
                                  const OperatorRegistry& registry, double alpha, double l1_ratio,
                                  std::size_t fit_iterations, std::span<const KnownColumn> known) {
  reserve_block();
  const bool reduced = reduced_.build(tokens, data, registry, known, evaluator_);
  const std::span<const Token> program = reduced ? reduced_.tokens() : std::span<const Token>(tokens);
  const DataColumns& view = reduced ? reduced_.data() : data;
  Score out;
  base_.resize(std::min(view.rows(), targets.size()));
  tape_.resize(program.size(), view.rows());
  out.loss = error_pass(program, view, targets, registry, {}, true, base_.data(),
                        stored_penalty(tokens, alpha, l1_ratio), kInfinity, &tape_);
  if (fit_iterations == 0) return out;
  fitted_.assign(tokens.begin(), tokens.end());
  // The fit starts by evaluating the formula with its stored values, which is
  // the pass just made whenever that pass reached every row and the parameter
  // vector reproduces the stored values in the same penalty order.
  const double initial = std::isfinite(out.loss) && starts_where_stored(tokens)
                             ? out.loss
                             : std::numeric_limits<double>::quiet_NaN();
  const double fitted_loss = fit_program(fitted_, program, view, targets, registry, alpha,
                                         l1_ratio, fit_iterations, initial);
  if (fitted_loss < out.loss) {
    std::copy(fitted_.begin(), fitted_.end(), tokens.begin());
    out.loss = fitted_loss;
    out.fitted = true;
  }
  return out;
}

double Optimizer::fit_program(std::span<Token> tokens, std::span<const Token> program,
                              const DataColumns& data, std::span<const double> targets,
                              const OperatorRegistry& registry, double alpha, double l1_ratio,
                              std::size_t max_iterations, double initial) {
  reserve_block();
  positions_.clear();
  theta_.clear();
  for (std::size_t p = 0; p < tokens.size(); ++p) {
    if (tokens[p].kind == TokenKind::Parameter) {
      positions_.push_back(p);
      theta_.push_back(tokens[p].value.re);
    }
  }
  // No parameters: the direct loss. Unlike `loss`, the final value is not
  // screened; a failed row still gives +inf, without a penalty.
  if (positions_.empty()) {
    return error_pass(program, data, targets, registry, {}, false, nullptr,
                      stored_penalty(tokens, alpha, l1_ratio), kInfinity, nullptr);
  }

  const std::size_t m = theta_.size();
  const std::size_t used = std::min(data.rows(), targets.size());
  trial_.resize(m);
  diag_.resize(m);
  grad_.resize(m);
  base_.resize(used);
  trial_base_.resize(used);
  load_params(theta_, params_);
  trial_tape_.resize(program.size(), data.rows());
  if (!build_skips(program, m)) skips_.clear();

  double current = initial;
  if (std::isnan(initial)) {
    tape_.resize(program.size(), data.rows());
    current = error_pass(program, data, targets, registry, params_, false, base_.data(),
                         theta_penalty(theta_, tokens, alpha, l1_ratio), kInfinity, &tape_);
  }
  // A finite pass ran to the end without a failed row, so base_ holds every
  // f_i. Otherwise rebuild it with 0.0 for the failed rows.
  if (!std::isfinite(current)) fill_base(program, data, used, registry);

  double lambda = kInitialDamping;
  int rejections = 0;
  std::size_t iterations = 0;
  // Residuals and Jacobian depend on theta only; after a rejection theta is
  // unchanged and recomputing them would give the same bits, so they are kept.
  bool stale = true;
  while (iterations < max_iterations && lambda <= kDampingLimit) {
    ++iterations;
    if (stale) {
      jacobian_sums(program, data, targets, used, registry);
      stale = false;
    }
    for (std::size_t j = 0; j < m; ++j) {
      trial_[j] = theta_[j] - grad_[j] / ((diag_[j] + lambda) + kGuard);
    }
    load_params(trial_, params_);
    // A trial that cannot win may stop early; one that is accepted has run
    // over every row, so trial_base_ then holds f_i at the new theta.
    const double trial =
        error_pass(program, data, targets, registry, params_, false, trial_base_.data(),
                   theta_penalty(trial_, tokens, alpha, l1_ratio), current, &trial_tape_);
    if (trial < current) {
      const double gain = current - trial;
      std::swap(theta_, trial_);
      std::swap(base_, trial_base_);
      std::swap(tape_, trial_tape_);
      current = trial;
      lambda = lambda / kDampingFactor;
      rejections = 0;
      stale = true;
      if (gain < kGainTolerance) break;
    } else {
      if (rejections >= kMaxRejections) break;
      ++rejections;
      lambda = lambda * kDampingFactor;
    }
    load_params(theta_, params_);
  }

  for (std::size_t k = 0; k < m; ++k) tokens[positions_[k]].value = Complex{theta_[k], 0.0};
  return current;
}

bool Optimizer::build_skips(std::span<const Token> program, std::size_t m) {
  const std::size_t n = program.size();
  start_.assign(n, 0);
  parent_.assign(n, n);
  open_.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const Token& t = program[i];
    start_[i] = i;
    if (t.kind == TokenKind::Apply) {
      if (open_.size() < t.small) return false;
      for (std::size_t a = 0; a < t.small; ++a) {
        const std::size_t child = open_[open_.size() - 1 - a];
        parent_[child] = i;
        start_[i] = start_[child];
      }
      open_.resize(open_.size() - t.small);
    }
    open_.push_back(i);
  }
  if (open_.size() != 1) return false;
  skips_.assign(m * n, BatchEvaluator::Reuse::kNone);
  on_path_.resize(n);
  for (std::size_t j = 0; j < m; ++j) {
    // Tokens whose subtree reads parameter entry j (children come first).
    for (std::size_t i = 0; i < n; ++i) {
      on_path_[i] = program[i].kind == TokenKind::Parameter && program[i].small == j;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (on_path_[i] && parent_[i] < n) on_path_[parent_[i]] = 1;
    }
    std::size_t* skip = skips_.data() + j * n;
    for (std::size_t i = 0; i < n; ++i) {
      const bool maximal = !on_path_[i] && (parent_[i] == n || on_path_[parent_[i]]);
      if (maximal) skip[start_[i]] = i;
    }
  }
  return true;
}

double formula_loss(const Formula& formula, std::span<const std::vector<Complex>> rows,
                    std::span<const double> targets, const OperatorRegistry& registry,
                    double alpha, double l1_ratio) {
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
  FitResult result{formula, 0.0};
  const DataColumns data(rows);
  Optimizer optimizer;
  result.loss = optimizer.fit(result.formula.tokens, data, targets, registry, alpha, l1_ratio,
                              max_iterations);
  const bool has_parameters =
      std::any_of(formula.tokens.begin(), formula.tokens.end(),
                  [](const Token& t) { return t.kind == TokenKind::Parameter; });
  if (has_parameters) result.formula.complexity = result.formula.tokens.size();
  return result;
}

}  // namespace qarn
