#include "engine/loss.h"

#include <algorithm>
#include <cmath>

#include "ops/kernels.h"

namespace qarn {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::size_t kBlock = BatchEvaluator::kBlock;

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

// Whether every row of `v` (n rows, or one value for all) has a value and,
// with `screen`, both parts of every value lie below the magnitude bound.
bool all_rows_pass(const BatchEvaluator::Operand& v, std::size_t n, bool screen) {
  if (v.uniform) n = 1;
  std::uint8_t all = 1;
  for (std::size_t i = 0; i < n; ++i) all &= v.ok[i];
  if (all == 0) return false;
  if (!screen) return true;
  bool in = true;
  for (std::size_t i = 0; i < n; ++i) in &= kernels::in_range(v.values[i]);
  return in;
}

// sse plus (re_i - y_i)^2 for i < n, in row order, storing re_i to keep[i]
// when kKeep; re_i is the real part of v[i], or of v[0] when kUniform.
template <bool kUniform, bool kKeep>
double add_squares(const Complex* v, const double* y, double* keep, std::size_t n, double sse) {
  for (std::size_t i = 0; i < n; ++i) {
    const double re = v[kUniform ? 0 : i].re;
    if constexpr (kKeep) keep[i] = re;
    const double d = re - y[i];
    sse += d * d;
  }
  return sse;
}

}  // namespace

double stored_penalty(std::span<const Token> tokens, double alpha, double l1_ratio) {
  Norms n;
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::RealConstant || t.kind == TokenKind::Parameter) n.add(t.value.re);
  }
  return elastic_net(n, alpha, l1_ratio);
}

double theta_penalty(std::span<const double> theta, std::span<const Token> tokens, double alpha,
                     double l1_ratio) {
  Norms n;
  for (const double v : theta) n.add(v);
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::RealConstant) n.add(t.value.re);
  }
  return elastic_net(n, alpha, l1_ratio);
}

void load_params(std::span<const double> theta, std::vector<Complex>& params) {
  params.resize(theta.size());
  for (std::size_t k = 0; k < theta.size(); ++k) params[k] = Complex{theta[k], 0.0};
}

double ErrorPass::run(std::span<const Token> program, const DataColumns& data,
                      std::span<const double> targets, const OperatorRegistry& registry,
                      const PassOptions& options) {
  const std::size_t rows = data.rows();
  const std::size_t used = std::min(rows, targets.size());
  const double n = static_cast<double>(targets.size());
  // Copied out of `options`: stores through `keep` could otherwise alias them.
  const bool screen = options.screen;
  double* const keep = options.keep;
  const double penalty = options.penalty;
  const double stop_at = options.stop_at;
  Tape* const record = options.record;
  const bool prune = std::isfinite(stop_at);
  double sse = 0.0;
  for (std::size_t begin = 0; begin < rows; begin += kBlock) {
    const std::size_t count = std::min(kBlock, rows - begin);
    const BatchEvaluator::Operand v =
        evaluator_.run_recorded(program, data, begin, count, options.params, registry,
                                record ? record->values_at(begin) : nullptr,
                                record ? record->ok_at(begin) : nullptr, nullptr, begin > 0);
    // Any failed row, with a target or not, makes the pass +inf, so the
    // flags are checked before the sum.
    if (!all_rows_pass(v, count, screen)) return kInfinity;
    const std::size_t with_target = begin < used ? std::min(count, used - begin) : 0;
    const double* const y = targets.data() + begin;
    double* const kept = keep != nullptr ? keep + begin : nullptr;
    if (v.uniform) {
      sse = kept ? add_squares<true, true>(v.values, y, kept, with_target, sse)
                 : add_squares<true, false>(v.values, y, kept, with_target, sse);
    } else {
      sse = kept ? add_squares<false, true>(v.values, y, kept, with_target, sse)
                 : add_squares<false, false>(v.values, y, kept, with_target, sse);
    }
    // The partial sum only grows (its terms are squares, rounding is
    // monotone), so once the partial result reaches stop_at the full result
    // reaches it too, or is NaN: either way it does not fall below stop_at.
    if (prune && sse / n + penalty >= stop_at) return kInfinity;
  }
  return sse / n + penalty;
}

}  // namespace qarn
