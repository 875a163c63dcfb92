#include "engine/fit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace qarn {
namespace {

constexpr double kInitialDamping = 0.01;   // lambda at the start of a fit
constexpr double kDampingLimit = 1e4;      // the fit runs while lambda <= this
constexpr double kDampingFactor = 10.0;    // lambda / 10 on accept, * 10 on reject
constexpr double kStep = kDifferenceStep;  // forward-difference step h
constexpr double kGuard = 1e-6;            // added after lambda to the denominator
constexpr double kGainTolerance = 1e-9;    // an accepted gain below this ends the fit
constexpr int kMaxRejections = 2;          // consecutive rejections that survive

constexpr std::size_t kBlock = BatchEvaluator::kBlock;

// The full fit's rules (see Fitter in fit.h).
constexpr double kFullMinDamping = 1e-12;     // lambda is not divided below this
constexpr double kFullDampingLimit = 1e10;    // the full fit runs while lambda <= this
constexpr double kRelativeGainLimit = 1e-10;  // an accepted relative gain at or below this ends it
constexpr int kFullMaxRejections = 6;         // consecutive rejections that survive

// J_ij from the raised pass's flag and real part at row i and f_i.
inline double jacobian_entry(std::uint8_t ok, double shifted_re, double f) {
  const double shifted = ok ? shifted_re : 0.0;
  return (shifted - f) / kStep;
}

// d += J_ij^2 and g += J_ij r_i, r_i = f_i - y_i, over the block's rows in
// row order; the raised values are v[i], or v[0] for every row when kUniform.
template <bool kUniform>
void add_diagonal_terms(const BatchEvaluator::Operand& v, const double* f, const double* y,
                        std::size_t count, double& d, double& g) {
  double dd = d;
  double gg = g;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = kUniform ? 0 : i;
    const double jij = jacobian_entry(v.ok[at], v.values[at].re, f[i]);
    dd += jij * jij;
    gg += jij * (f[i] - y[i]);
  }
  d = dd;
  g = gg;
}

}  // namespace

void Fitter::reserve_block() {
  if (residual_.size() < kBlock) residual_.resize(kBlock);
}

void Fitter::residuals(const double* f, const double* y, std::size_t count) {
  double* const r = residual_.data();
  for (std::size_t i = 0; i < count; ++i) r[i] = f[i] - y[i];
}

Fitter::Start Fitter::start_record(std::size_t program_size, std::size_t rows, std::size_t used) {
  base_.resize(used);
  tape_.resize(program_size, rows);
  return {base_.data(), &tape_};
}

void Fitter::fill_base(std::span<const Token> program, const DataColumns& data, std::size_t used,
                       const OperatorRegistry& registry, BatchEvaluator& evaluator) {
  for (std::size_t begin = 0; begin < used; begin += kBlock) {
    const std::size_t count = std::min(kBlock, used - begin);
    const BatchEvaluator::Operand v =
        evaluator.run_recorded(program, data, begin, count, params_, registry,
                               tape_.values_at(begin), tape_.ok_at(begin), nullptr, begin > 0);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = v.uniform ? 0 : i;
      base_[begin + i] = v.ok[at] ? v.values[at].re : 0.0;
    }
  }
}

BatchEvaluator::Operand Fitter::raised_pass(std::span<const Token> program, const DataColumns& data,
                                            std::size_t begin, std::size_t count, std::size_t j,
                                            const OperatorRegistry& registry,
                                            BatchEvaluator& evaluator, const FirstJacobian* first,
                                            bool continues) {
  if (first != nullptr) {
    return evaluator.run_recorded(first->programs[j], *first->data, begin, count, {}, registry,
                                  nullptr, nullptr, nullptr, continues);
  }
  params_[j] = Complex{theta_[j] + kStep, 0.0};
  // Only the subtrees that read entry j change; the others are taken from
  // the record of the pass at theta.
  const BatchEvaluator::Reuse reuse{skips_.data() + j * program.size(), tape_.values_at(begin),
                                    tape_.ok_at(begin)};
  const BatchEvaluator::Operand v =
      evaluator.run_recorded(program, data, begin, count, params_, registry, nullptr, nullptr,
                             skips_.empty() ? nullptr : &reuse, continues);
  params_[j] = Complex{theta_[j], 0.0};
  return v;
}

void Fitter::jacobian_column(const BatchEvaluator::Operand& v, const double* f, std::size_t count,
                             double* column) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = v.uniform ? 0 : i;
    column[i] = jacobian_entry(v.ok[at], v.values[at].re, f[i]);
  }
}

void Fitter::jacobian_sums(std::span<const Token> program, const DataColumns& data,
                           std::span<const double> targets, std::size_t used,
                           const OperatorRegistry& registry, BatchEvaluator& evaluator,
                           const FirstJacobian* first) {
  const std::size_t m = theta_.size();
  // Parameter by parameter, and for each its raised pass block by block (the
  // later blocks take the values that depend on no row from the first):
  // every D_j and g_j receives its terms in ascending row order.
  for (std::size_t j = 0; j < m; ++j) {
    double d = 0.0;
    double g = 0.0;
    for (std::size_t begin = 0; begin < used; begin += kBlock) {
      const std::size_t count = std::min(kBlock, used - begin);
      const BatchEvaluator::Operand v =
          raised_pass(program, data, begin, count, j, registry, evaluator, first, begin > 0);
      const double* f = base_.data() + begin;
      const double* y = targets.data() + begin;
      if (v.uniform) {
        add_diagonal_terms<true>(v, f, y, count, d, g);
      } else {
        add_diagonal_terms<false>(v, f, y, count, d, g);
      }
    }
    diag_[j] = d;
    grad_[j] = g;
  }
}

double Fitter::trial_pass(std::span<const Token> tokens, std::span<const Token> program,
                          const DataColumns& data, std::span<const double> targets,
                          const OperatorRegistry& registry, const FitOptions& options,
                          ErrorPass& pass, double current) {
  // A step too small to change any entry's bits gives the pass at theta_
  // again, whose objective is `current`: the trial cannot win.
  if (std::memcmp(trial_.data(), theta_.data(), trial_.size() * sizeof(double)) == 0) {
    return std::numeric_limits<double>::infinity();
  }
  load_params(trial_, params_);
  // A trial that cannot win may stop early; one that is accepted has run
  // over every row, so trial_base_ then holds f_i at the new theta.
  return pass.run(program, data, targets, registry,
                  {.params = params_,
                   .penalty = theta_penalty(trial_, tokens, options.alpha, options.l1_ratio),
                   .keep = trial_base_.data(),
                   .stop_at = current,
                   .record = &trial_tape_});
}

FitSummary Fitter::fit(std::span<Token> tokens, std::span<const Token> program,
                       const DataColumns& data, std::span<const double> targets,
                       const OperatorRegistry& registry, const FitOptions& options,
                       std::optional<double> initial, ErrorPass& pass, const FirstJacobian* first) {
  reserve_block();
  positions_.clear();
  theta_.clear();
  for (std::size_t p = 0; p < tokens.size(); ++p) {
    if (tokens[p].kind == TokenKind::Parameter) {
      positions_.push_back(p);
      theta_.push_back(tokens[p].value.re);
    }
  }
  FitSummary summary;
  // No parameters: the direct loss. Unlike a screened loss, the final value
  // is not screened; a failed row still gives +inf, without a penalty.
  if (positions_.empty()) {
    summary.loss = pass.run(program, data, targets, registry,
                            {.penalty = stored_penalty(tokens, options.alpha, options.l1_ratio)});
    summary.stop = FitStop::no_parameters;
    return summary;
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

  double current = 0.0;
  if (initial) {
    current = *initial;
  } else {
    first = nullptr;
    tape_.resize(program.size(), data.rows());
    current = pass.run(program, data, targets, registry,
                       {.params = params_,
                        .penalty = theta_penalty(theta_, tokens, options.alpha, options.l1_ratio),
                        .keep = base_.data(),
                        .record = &tape_});
  }
  // A finite pass ran to the end without a failed row, so base_ holds every
  // f_i. Otherwise rebuild it with 0.0 for the failed rows.
  if (!std::isfinite(current)) {
    fill_base(program, data, used, registry, pass.evaluator());
    first = nullptr;
  }

  if (options.full) {
    full_iterations(tokens, program, data, targets, used, registry, options, pass, first, current,
                    summary);
    for (std::size_t k = 0; k < m; ++k) tokens[positions_[k]].value = Complex{theta_[k], 0.0};
    summary.loss = current;
    return summary;
  }

  double lambda = kInitialDamping;
  int rejections = 0;
  std::size_t iterations = 0;
  // Residuals and Jacobian depend on theta only; after a rejection theta is
  // unchanged and recomputing them would give the same bits, so they are kept.
  bool stale = true;
  summary.stop = FitStop::iteration_limit;
  while (true) {
    if (iterations >= options.max_iterations) break;
    if (!(lambda <= kDampingLimit)) {
      summary.stop = FitStop::damping_limit;
      break;
    }
    ++iterations;
    if (stale) {
      jacobian_sums(program, data, targets, used, registry, pass.evaluator(), first);
      first = nullptr;
      stale = false;
    }
    for (std::size_t j = 0; j < m; ++j) {
      trial_[j] = theta_[j] - grad_[j] / ((diag_[j] + lambda) + kGuard);
    }
    const double trial =
        trial_pass(tokens, program, data, targets, registry, options, pass, current);
    if (trial < current) {
      const double gain = current - trial;
      std::swap(theta_, trial_);
      std::swap(base_, trial_base_);
      std::swap(tape_, trial_tape_);
      current = trial;
      lambda = lambda / kDampingFactor;
      rejections = 0;
      stale = true;
      if (gain < kGainTolerance) {
        summary.stop = FitStop::small_gain;
        break;
      }
    } else {
      if (rejections >= kMaxRejections) {
        summary.stop = FitStop::rejections;
        break;
      }
      ++rejections;
      lambda = lambda * kDampingFactor;
    }
    load_params(theta_, params_);
  }

  for (std::size_t k = 0; k < m; ++k) tokens[positions_[k]].value = Complex{theta_[k], 0.0};
  summary.loss = current;
  summary.iterations = iterations;
  return summary;
}

void Fitter::normal_sums(std::span<const Token> program, const DataColumns& data,
                         std::span<const double> targets, std::size_t used,
                         const OperatorRegistry& registry, BatchEvaluator& evaluator,
                         const FirstJacobian* first) {
  const std::size_t m = theta_.size();
  normal_.assign(m * m, 0.0);
  std::fill(grad_.begin(), grad_.end(), 0.0);
  columns_.resize(m * kBlock);
  // As in jacobian_sums: every entry receives its terms in ascending row order.
  for (std::size_t begin = 0; begin < used; begin += kBlock) {
    const std::size_t count = std::min(kBlock, used - begin);
    const double* f = base_.data() + begin;
    residuals(f, targets.data() + begin, count);
    for (std::size_t j = 0; j < m; ++j) {
      double* column = columns_.data() + j * kBlock;
      jacobian_column(
          raised_pass(program, data, begin, count, j, registry, evaluator, first, false), f, count,
          column);
      double g = grad_[j];
      for (std::size_t i = 0; i < count; ++i) g += column[i] * residual_[i];
      grad_[j] = g;
      for (std::size_t k = 0; k <= j; ++k) {
        const double* other = columns_.data() + k * kBlock;
        double a = normal_[j * m + k];
        for (std::size_t i = 0; i < count; ++i) a += column[i] * other[i];
        normal_[j * m + k] = a;
      }
    }
  }
}

bool Fitter::damped_step(double lambda) {
  const std::size_t m = theta_.size();
  factor_.assign(m * m, 0.0);
  // Cholesky M = L L^T of the lower triangle, L in factor_.
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t k = 0; k <= j; ++k) {
      double sum = normal_[j * m + k];
      if (k == j) sum = sum + lambda * (normal_[j * m + j] + kGuard);
      for (std::size_t p = 0; p < k; ++p) sum -= factor_[j * m + p] * factor_[k * m + p];
      if (k == j) {
        if (!(sum > 0.0) || !std::isfinite(sum)) return false;
        factor_[j * m + j] = std::sqrt(sum);
      } else {
        factor_[j * m + k] = sum / factor_[k * m + k];
      }
    }
  }
  // L z = g, then L^T d = z; trial = theta - d.
  for (std::size_t j = 0; j < m; ++j) {
    double sum = grad_[j];
    for (std::size_t p = 0; p < j; ++p) sum -= factor_[j * m + p] * trial_[p];
    trial_[j] = sum / factor_[j * m + j];
  }
  for (std::size_t j = m; j-- > 0;) {
    double sum = trial_[j];
    for (std::size_t p = j + 1; p < m; ++p) sum -= factor_[p * m + j] * trial_[p];
    trial_[j] = sum / factor_[j * m + j];
  }
  bool finite = true;
  for (std::size_t j = 0; j < m; ++j) {
    trial_[j] = theta_[j] - trial_[j];
    finite = finite && std::isfinite(trial_[j]);
  }
  return finite;
}

void Fitter::full_iterations(std::span<const Token> tokens, std::span<const Token> program,
                             const DataColumns& data, std::span<const double> targets,
                             std::size_t used, const OperatorRegistry& registry,
                             const FitOptions& options, ErrorPass& pass, const FirstJacobian* first,
                             double& current, FitSummary& summary) {
  double lambda = kInitialDamping;
  int rejections = 0;
  std::size_t iterations = 0;
  bool stale = true;
  summary.stop = FitStop::iteration_limit;
  while (iterations < options.max_iterations) {
    if (!(lambda <= kFullDampingLimit)) {
      summary.stop = FitStop::damping_limit;
      break;
    }
    ++iterations;
    if (stale) {
      normal_sums(program, data, targets, used, registry, pass.evaluator(), first);
      first = nullptr;
      stale = false;
    }
    double trial = std::numeric_limits<double>::infinity();
    if (damped_step(lambda)) {
      trial = trial_pass(tokens, program, data, targets, registry, options, pass, current);
    }
    if (trial < current) {
      const double before = current;
      std::swap(theta_, trial_);
      std::swap(base_, trial_base_);
      std::swap(tape_, trial_tape_);
      current = trial;
      lambda = std::max(lambda / kDampingFactor, kFullMinDamping);
      rejections = 0;
      stale = true;
      if (!(before - trial > kRelativeGainLimit * before) || !(current > 0.0)) {
        summary.stop = FitStop::small_gain;
        load_params(theta_, params_);
        break;
      }
    } else {
      if (rejections >= kFullMaxRejections) {
        summary.stop = FitStop::rejections;
        load_params(theta_, params_);
        break;
      }
      ++rejections;
      lambda = lambda * kDampingFactor;
    }
    load_params(theta_, params_);
  }
  summary.iterations = iterations;
}

bool Fitter::build_skips(std::span<const Token> program, std::size_t m) {
  if (!spans_.build(program)) return false;
  const std::size_t n = program.size();
  skips_.assign(m * n, BatchEvaluator::Reuse::kNone);
  // Only subtrees that vary by row and hold an operator are taken from the
  // record: a lone variable is read from its column as cheaply, and a
  // subtree that is the same on every row is evaluated once per block (and
  // keeps the operators above it to one evaluation where they can).
  spans_.mark(program, [](const Token& t) { return t.kind == TokenKind::Variable; }, by_row_);
  for (std::size_t j = 0; j < m; ++j) {
    // Tokens whose subtree reads parameter entry j.
    spans_.mark(
        program, [j](const Token& t) { return t.kind == TokenKind::Parameter && t.small == j; },
        on_path_);
    std::size_t* skip = skips_.data() + j * n;
    for (std::size_t i = 0; i < n; ++i) {
      if (spans_.maximal_unmarked(i, on_path_) && by_row_[i] && spans_.start(i) != i) {
        skip[spans_.start(i)] = i;
      }
    }
  }
  return true;
}

}  // namespace qarn
