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
  if (values_.size() < kBlock) {
    values_.resize(kBlock);
    ok_.resize(kBlock);
  }
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
    evaluator_.run_recorded(program, data, begin, count, options.params, registry, values_.data(),
                            ok_.data(), record ? record->values_at(begin) : nullptr,
                            record ? record->ok_at(begin) : nullptr, nullptr);
    const std::size_t with_target = begin < used ? std::min(count, used - begin) : 0;
    // Rows with a target first, then the rest, which are only checked.
    const auto fails = [&](std::size_t i) {
      return !ok_[i] || (screen && !kernels::in_range(values_[i]));
    };
    std::size_t i = 0;
    for (; i < with_target; ++i) {
      if (fails(i)) return kInfinity;
      const double re = values_[i].re;
      if (keep != nullptr) keep[begin + i] = re;
      const double d = re - targets[begin + i];
      sse += d * d;
    }
    for (; i < count; ++i) {
      if (fails(i)) return kInfinity;
    }
    // The partial sum only grows (its terms are squares, rounding is
    // monotone), so once the partial result reaches stop_at the full result
    // reaches it too, or is NaN: either way it does not fall below stop_at.
    if (prune && sse / n + penalty >= stop_at) return kInfinity;
  }
  return sse / n + penalty;
}

}  // namespace qarn
