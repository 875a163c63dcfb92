#include <doctest/doctest.h>

#include <optional>
#include <utility>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

#include "engine/optimizer.h"
#include "engine/subtree.h"
#include "ops/batch_evaluate.h"
#include "ops/evaluate.h"
#include "test_util.h"

namespace {

using namespace qarn;
using namespace qarn::test;
using ComplexRows = std::vector<std::vector<Complex>>;

ComplexRows real_rows(const std::vector<double>& xs) {
  ComplexRows rows;
  for (const double x : xs) rows.push_back({{x, 0.0}});
  return rows;
}

Formula times_c_x(Complex c) {
  Formula f = binary(idx::kTimes, "Times", param(0.0), var(0));
  f.tokens[0].value = c;
  return f;
}

// A literal row-by-row transcription of the fit, with `evaluate` per row and
// the whole Jacobian held at once: the yardstick for the blocked Optimizer.
namespace reference {

using Stop = FitStop;

double penalty(const std::vector<double>& v, double alpha, double l1_ratio) {
  double l1 = 0.0;
  double l2 = 0.0;
  for (const double x : v) {
    l1 += std::fabs(x);
    l2 += x * x;
  }
  return alpha * (l1_ratio * l1 + (1.0 - l1_ratio) * 0.5 * l2);
}

std::vector<Complex> params_of(const std::vector<double>& theta) {
  std::vector<Complex> p;
  for (const double t : theta) p.push_back({t, 0.0});
  return p;
}

double loss(const Formula& f, const ComplexRows& rows, const std::vector<double>& y, double alpha,
            double l1_ratio) {
  std::vector<double> p;
  for (const auto& row : rows) {
    const auto v = evaluate(f.tokens, row, {}, reg());
    if (!v || !(std::fabs(v->re) < 1e15) || !(std::fabs(v->im) < 1e15)) return kInf;
    p.push_back(v->re);
  }
  double sse = 0.0;
  for (std::size_t i = 0; i < std::min(p.size(), y.size()); ++i)
    sse += (p[i] - y[i]) * (p[i] - y[i]);
  std::vector<double> values;
  for (const Token& t : f.tokens) {
    if (t.kind == TokenKind::RealConstant || t.kind == TokenKind::Parameter)
      values.push_back(t.value.re);
  }
  return sse / static_cast<double>(y.size()) + penalty(values, alpha, l1_ratio);
}

double objective(const Formula& f, const std::vector<double>& theta, const ComplexRows& rows,
                 const std::vector<double>& y, double alpha, double l1_ratio) {
  const auto params = params_of(theta);
  double sse = 0.0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto v = evaluate(f.tokens, rows[i], params, reg());
    if (!v) return kInf;
    sse += (v->re - y[i]) * (v->re - y[i]);
  }
  std::vector<double> values = theta;
  for (const Token& t : f.tokens) {
    if (t.kind == TokenKind::RealConstant) values.push_back(t.value.re);
  }
  return sse / static_cast<double>(rows.size()) + penalty(values, alpha, l1_ratio);
}

double value_or_zero(const Formula& f, const std::vector<Complex>& row,
                     const std::vector<double>& theta) {
  const auto v = evaluate(f.tokens, row, params_of(theta), reg());
  return v ? v->re : 0.0;
}

FitResult fit(const Formula& f, const ComplexRows& rows, const std::vector<double>& y, double alpha,
              double l1_ratio, std::size_t max_iterations, Stop& stop) {
  FitResult out{f, 0.0};
  std::vector<std::size_t> pos;
  std::vector<double> theta;
  for (std::size_t p = 0; p < f.tokens.size(); ++p) {
    if (f.tokens[p].kind == TokenKind::Parameter) {
      pos.push_back(p);
      theta.push_back(f.tokens[p].value.re);
    }
  }
  stop = Stop::iteration_limit;
  if (pos.empty()) {
    stop = Stop::no_parameters;
    out.stop = stop;
    // Without Parameter tokens the direct loss is the objective of an empty theta.
    out.loss = objective(f, {}, rows, y, alpha, l1_ratio);
    return out;
  }
  const std::size_t n = rows.size();
  const std::size_t m = theta.size();
  double current = objective(f, theta, rows, y, alpha, l1_ratio);
  double lambda = 0.01;
  int rejections = 0;
  std::size_t iterations = 0;
  while (true) {
    if (iterations >= max_iterations) break;
    if (!(lambda <= 1e4)) {
      stop = Stop::damping_limit;
      break;
    }
    ++iterations;
    std::vector<double> fi(n), r(n);
    std::vector<std::vector<double>> jac(n, std::vector<double>(m));
    for (std::size_t i = 0; i < n; ++i) {
      fi[i] = value_or_zero(f, rows[i], theta);
      r[i] = fi[i] - y[i];
    }
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < m; ++j) {
        std::vector<double> shifted = theta;
        shifted[j] = theta[j] + 1e-6;
        jac[i][j] = (value_or_zero(f, rows[i], shifted) - fi[i]) / 1e-6;
      }
    }
    std::vector<double> t(m);
    for (std::size_t j = 0; j < m; ++j) {
      double d = 0.0;
      double g = 0.0;
      for (std::size_t i = 0; i < n; ++i) d += jac[i][j] * jac[i][j];
      for (std::size_t i = 0; i < n; ++i) g += jac[i][j] * r[i];
      t[j] = theta[j] - g / ((d + lambda) + 1e-6);
    }
    const double trial = objective(f, t, rows, y, alpha, l1_ratio);
    if (trial < current) {
      const double gain = current - trial;
      theta = t;
      current = trial;
      lambda = lambda / 10.0;
      rejections = 0;
      if (gain < 1e-9) {
        stop = Stop::small_gain;
        break;
      }
    } else {
      if (rejections >= 2) {
        stop = Stop::rejections;
        break;
      }
      ++rejections;
      lambda = lambda * 10.0;
    }
  }
  for (std::size_t k = 0; k < m; ++k) out.formula.tokens[pos[k]].value = {theta[k], 0.0};
  out.formula.complexity = out.formula.tokens.size();
  out.loss = current;
  out.stop = stop;
  out.iterations = iterations;
  return out;
}

}  // namespace reference

// Random postfix formulas over two inputs, with parameters (stored values
// with imaginary parts, slots usually in token order), real and named
// constants, and operators that fail on parts of the plane.
struct FormulaMaker {
  std::mt19937_64 rng{20240611};
  std::uint8_t next_slot = 0;

  double uniform(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  }
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  }

  void grow(std::vector<Token>& out, int depth) {
    static constexpr std::uint64_t kUnary[] = {idx::kNeg,  idx::kInv, idx::kExp, idx::kLog,
                                               idx::kSqrt, idx::kSin, idx::kCos, idx::kSquare};
    static constexpr std::uint64_t kBinary[] = {idx::kPlus, idx::kTimes, idx::kSubtract,
                                                idx::kDivide, idx::kQarn};
    const std::size_t choice = depth == 0 ? 0 : pick(10);
    if (choice < 3) {
      const std::size_t leaf = pick(10);
      if (leaf < 4) {
        out.push_back(Token::variable(static_cast<std::uint8_t>(pick(2))));
      } else if (leaf < 8) {
        const std::uint8_t slot = pick(8) == 0 ? static_cast<std::uint8_t>(pick(4)) : next_slot;
        ++next_slot;
        out.push_back(
            Token::parameter(slot, {uniform(-2, 2), pick(3) == 0 ? uniform(-1, 1) : 0.0}));
      } else if (leaf == 8) {
        out.push_back(Token::real_constant(uniform(-3, 3)));
      } else {
        out.push_back(Token::named_constant(idx::kPi, {3.141592653589793, 0.0}));
      }
    } else if (choice < 6) {
      grow(out, depth - 1);
      out.push_back(Token::apply(1, kUnary[pick(std::size(kUnary))]));
    } else {
      grow(out, depth - 1);
      grow(out, depth - 1);
      out.push_back(Token::apply(2, kBinary[pick(std::size(kBinary))]));
    }
  }

  Formula make() {
    Formula f;
    next_slot = 0;
    grow(f.tokens, 3);
    for (const Token& t : f.tokens) f.param_count += t.kind == TokenKind::Parameter;
    f.text = "random";
    f.complexity = 1000;  // deliberately wrong: the fit must reset it
    return f;
  }
};

// The token range [begin, end) of a parameter-free subtree of two or more
// tokens, the `pick`-th such subtree modulo their number; none when there is none.
std::optional<std::pair<std::size_t, std::size_t>> free_subtree(const std::vector<Token>& tokens,
                                                                std::size_t pick) {
  std::vector<std::pair<std::size_t, bool>> stack;  // (start, has parameter)
  std::vector<std::pair<std::size_t, std::size_t>> found;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (t.kind != TokenKind::Apply) {
      stack.push_back({i, t.kind == TokenKind::Parameter});
      continue;
    }
    std::size_t start = i;
    bool param = false;
    for (std::size_t a = 0; a < t.small; ++a) {
      start = stack.back().first;
      param = param || stack.back().second;
      stack.pop_back();
    }
    stack.push_back({start, param});
    if (!param && start < i) found.push_back({start, i + 1});
  }
  if (found.empty()) return std::nullopt;
  return found[pick % found.size()];
}

void check_same_tokens(const Formula& a, const std::vector<Token>& b) {
  REQUIRE(a.tokens.size() == b.size());
  for (std::size_t k = 0; k < b.size(); ++k) {
    CHECK(a.tokens[k].kind == b[k].kind);
    CHECK(same_bits(a.tokens[k].value, b[k].value));
  }
}

}  // namespace

TEST_CASE("subtree spans, marks and maximal unmarked subtrees") {
  // Plus(Sin(v_{0}), Times(C, v_{0})) and the constant Pi applied as an operator.
  const Formula f = binary(idx::kPlus, "Plus", unary(idx::kSin, "Sin", var(0)),
                           binary(idx::kTimes, "Times", param(0.5), var(0)));
  SubtreeSpans spans;
  REQUIRE(spans.build(f.tokens));
  constexpr std::size_t kNo = SubtreeSpans::kNoParent;
  const std::vector<std::size_t> start{0, 0, 2, 3, 2, 0};
  const std::vector<std::size_t> parent{1, 5, 4, 4, 5, kNo};
  for (std::size_t i = 0; i < f.tokens.size(); ++i) {
    CHECK(spans.start(i) == start[i]);
    CHECK(spans.parent(i) == parent[i]);
  }
  std::vector<std::uint8_t> marks;
  spans.mark(f.tokens, [](const Token& t) { return t.kind == TokenKind::Parameter; }, marks);
  CHECK(marks == std::vector<std::uint8_t>{0, 0, 1, 0, 1, 1});
  std::vector<std::size_t> maximal;
  for (std::size_t i = 0; i < marks.size(); ++i) {
    if (spans.maximal_unmarked(i, marks)) maximal.push_back(i);
  }
  CHECK(maximal == std::vector<std::size_t>{1, 3});
  // Nothing marked: the root is the one maximal subtree.
  spans.mark(f.tokens, [](const Token&) { return false; }, marks);
  CHECK(spans.maximal_unmarked(5, marks));
  CHECK_FALSE(spans.maximal_unmarked(1, marks));

  const std::vector<Token> pi{Token::apply(0, idx::kPi)};
  REQUIRE(spans.build(pi));
  CHECK(spans.start(0) == 0);
  CHECK(spans.parent(0) == kNo);
  // Not one tree: too few operands, two values left, nothing at all.
  CHECK_FALSE(spans.build(std::vector<Token>{Token::variable(0), Token::apply(2, idx::kPlus)}));
  CHECK_FALSE(spans.build(std::vector<Token>{Token::variable(0), Token::variable(0)}));
  CHECK_FALSE(spans.build(std::vector<Token>{}));
}

TEST_CASE("formula_loss screens the value and averages over the targets") {
  const Formula x = var(0);

  SUBCASE("a magnitude of exactly 1e15 in either part is infinite loss") {
    const std::vector<double> y{0.0};
    CHECK(formula_loss(x, ComplexRows{{Complex{1e15, 0.0}}}, y, reg(), 0.0, 0.5) == kInf);
    CHECK(formula_loss(x, ComplexRows{{Complex{-1e15, 0.0}}}, y, reg(), 0.0, 0.5) == kInf);
    CHECK(formula_loss(x, ComplexRows{{Complex{0.0, 1e15}}}, y, reg(), 0.0, 0.5) == kInf);
    CHECK(formula_loss(x, ComplexRows{{Complex{0.0, kNaN}}}, y, reg(), 0.0, 0.5) == kInf);
    CHECK(formula_loss(x, ComplexRows{{Complex{1e14, -9e14}}}, y, reg(), 0.0, 0.5) == 1e28);
    // The objective and the parameter-free fit do not screen the value.
    CHECK(parameter_objective(x, {}, ComplexRows{{Complex{1e15, 0.0}}}, y, reg(), 0.0, 0.5) ==
          1e30);
    CHECK(fit_parameters(x, ComplexRows{{Complex{1e15, 0.0}}}, y, reg(), 0.0, 0.5, 10).loss ==
          1e30);
  }

  SUBCASE("one failing row makes the loss infinite") {
    const Formula inv = unary(idx::kInv, "Inv", x);
    CHECK(formula_loss(inv, real_rows({1.0, 0.0, 2.0}), std::vector<double>{1.0, 1.0, 0.5}, reg(),
                       0.0, 0.5) == kInf);
    CHECK(formula_loss(inv, real_rows({1.0, 4.0, 2.0}), std::vector<double>{1.0, 1.0, 0.5}, reg(),
                       0.0, 0.5) == 0.1875);
  }

  SUBCASE("sums over the rows that have a target and divides by the target count") {
    CHECK(formula_loss(x, real_rows({1.0, 3.0, 100.0}), std::vector<double>{0.0, 0.0}, reg(), 0.0,
                       0.5) == 5.0);
    // The row without a target still has to evaluate.
    CHECK(formula_loss(unary(idx::kLog, "Log", x), real_rows({1.0, 1.0, 0.0}),
                       std::vector<double>{0.0, 0.0}, reg(), 0.0, 0.5) == kInf);
  }
}

TEST_CASE("elastic-net penalty counts real constants and parameters only") {
  // Plus(Plus(Times(C, x), -2.0), Pi) with C stored as (1.5, 2i): the penalty
  // sees 1.5 and -2.0, never the imaginary part or Pi.
  Formula f = times_c_x({1.5, 2.0});
  f.tokens.push_back(Token::real_constant(-2.0));
  f.tokens.push_back(Token::apply(2, idx::kPlus));
  f.tokens.push_back(Token::named_constant(idx::kPi, {3.141592653589793, 0.0}));
  f.tokens.push_back(Token::apply(2, idx::kPlus));
  const ComplexRows rows = real_rows({0.5, -1.0});
  const std::vector<double> y{1.0, 3.0};

  double sse = 0.0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const double p = evaluate(f.tokens, rows[i], {}, reg())->re;
    sse += (p - y[i]) * (p - y[i]);
  }
  const double mse = sse / 2.0;

  SUBCASE("formula_loss") {
    CHECK(same_bits(formula_loss(f, rows, y, reg(), 0.0, 0.5), mse));
    CHECK(same_bits(formula_loss(f, rows, y, reg(), 2.0, 1.0), mse + 7.0));     // 2 x 3.5
    CHECK(same_bits(formula_loss(f, rows, y, reg(), 2.0, 0.0), mse + 6.25));    // 2 x 0.5 x 6.25
    CHECK(same_bits(formula_loss(f, rows, y, reg(), 1.0, 0.5), mse + 3.3125));  // 1.75 + 1.5625
  }

  SUBCASE("parameter_objective penalises theta, not the stored value") {
    const std::vector<double> theta{-3.0};
    const std::vector<Complex> params{{-3.0, 0.0}};
    double sse3 = 0.0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const double p = evaluate(f.tokens, rows[i], params, reg())->re;
      sse3 += (p - y[i]) * (p - y[i]);
    }
    CHECK(same_bits(parameter_objective(f, theta, rows, y, reg(), 0.0, 0.5), sse3 / 2.0));
    CHECK(same_bits(parameter_objective(f, theta, rows, y, reg(), 2.0, 1.0), sse3 / 2.0 + 10.0));
    CHECK(same_bits(parameter_objective(f, theta, rows, y, reg(), 2.0, 0.0), sse3 / 2.0 + 13.0));
  }

  SUBCASE("alpha 0 still propagates an infinite constant as NaN") {
    const Formula big{{Token::real_constant(kInf)}, "inf", 1, 0, 0};
    CHECK(std::isnan(
        parameter_objective(big, {}, real_rows({0.0}), std::vector<double>{0.0}, reg(), 0.0, 0.5)));
  }
}

TEST_CASE("fit_parameters special cases and stopping rules") {
  SUBCASE("no parameters: unchanged formula, direct loss, no penalty on failure") {
    // Plus(Divide(x, x), Subtract(c, c)): 1 where x != 0, fails at x = 0.
    const auto make = [](double c) {
      Formula f = binary(idx::kDivide, "Divide", var(0), var(0));
      f.tokens.push_back(Token::real_constant(c));
      f.tokens.push_back(Token::real_constant(c));
      f.tokens.push_back(Token::apply(2, idx::kSubtract));
      f.tokens.push_back(Token::apply(2, idx::kPlus));
      f.complexity = 99;
      return f;
    };
    const std::vector<double> y{2.0};
    const FitResult ok = fit_parameters(make(3.0), real_rows({1.0}), y, reg(), 1.0, 1.0, 10);
    CHECK(ok.formula == make(3.0));
    CHECK(ok.loss == 7.0);  // MSE 1 + 1 x (3 + 3)
    CHECK(ok.stop == FitStop::no_parameters);
    CHECK(ok.iterations == 0);
    // With c = 1e300, alpha -1 and l1_ratio 0 the penalty is -inf: a failed
    // row still gives +inf (adding the penalty would give NaN).
    const FitResult failed = fit_parameters(make(1e300), real_rows({0.0}), y, reg(), -1.0, 0.0, 10);
    CHECK(failed.formula == make(1e300));
    CHECK(failed.loss == kInf);
    CHECK(fit_parameters(make(1e300), real_rows({1.0}), y, reg(), -1.0, 0.0, 10).loss == -kInf);
  }

  SUBCASE("max_iterations 0 keeps theta, drops imaginary parts, resets complexity") {
    Formula f = times_c_x({1.5, 0.7});
    f.complexity = 0;
    const ComplexRows rows = real_rows({1.0, 2.0});
    const std::vector<double> y{2.0, 5.0};
    const FitResult r = fit_parameters(f, rows, y, reg(), 0.5, 0.5, 0);
    CHECK(same_bits(r.formula.tokens[0].value, Complex{1.5, 0.0}));
    CHECK(r.formula.complexity == 3);
    CHECK(r.formula.text == f.text);
    CHECK(r.stop == FitStop::iteration_limit);
    CHECK(r.iterations == 0);
    CHECK(same_bits(r.loss,
                    parameter_objective(f, std::vector<double>{1.5}, rows, y, reg(), 0.5, 0.5)));
    CHECK(f.tokens[0].value == Complex{1.5, 0.7});  // the input is untouched
  }

  // One row, f = C * x at x = 1, y = 100, l1_ratio 1: from C = 0 the step is
  // 100 / (1 + lambda + 1e-6) and it is accepted iff alpha / 100 < 2 - s with
  // s = 1 / (1 + lambda): alpha 170 rejects at lambda 0.01, 0.1 and 1 and
  // would accept at 10; alpha 145 first accepts at lambda 1.
  const ComplexRows one = real_rows({1.0});
  const std::vector<double> hundred{100.0};

  SUBCASE("the third consecutive rejection ends the fit") {
    const FitResult r = fit_parameters(times_c_x({0.0, 0.0}), one, hundred, reg(), 170.0, 1.0, 10);
    CHECK(same_bits(r.formula.tokens[0].value.re, 0.0));
    CHECK(r.loss == 10000.0);
    CHECK(r.stop == FitStop::rejections);
    CHECK(r.iterations == 3);
  }

  SUBCASE("a step that leaves theta's bits unchanged is a rejection") {
    // Plus(x, Times(0, C)): C changes no value, so every step is zero.
    Formula f = binary(idx::kTimes, "Times", param(0.0), var(0));
    f.tokens = {Token::variable(0), Token::real_constant(0.0), Token::parameter(0, {-0.0, 0.0}),
                Token::apply(2, idx::kTimes), Token::apply(2, idx::kPlus)};
    const ComplexRows rows = real_rows({0.5, 1.0, 1.5});
    const std::vector<double> y{1.0, 2.0, 2.0};
    const FitResult r = fit_parameters(f, rows, y, reg(), 0.0, 0.5, 10);
    CHECK(same_bits(r.formula.tokens[2].value.re, -0.0));
    CHECK(same_bits(r.loss, formula_loss(f, rows, y, reg(), 0.0, 0.5)));
    CHECK(r.stop == FitStop::rejections);
    CHECK(r.iterations == 3);
  }

  SUBCASE("two rejections survive and grow the damping tenfold each") {
    const FitResult r = fit_parameters(times_c_x({0.0, 0.0}), one, hundred, reg(), 145.0, 1.0, 3);
    const double lambda = 0.01 * 10.0 * 10.0;
    const double expected = 0.0 - (-100.0) / ((1.0 + lambda) + 1e-6);
    CHECK(same_bits(r.formula.tokens[0].value.re, expected));
    CHECK(
        same_bits(r.loss, parameter_objective(times_c_x({0.0, 0.0}), std::vector<double>{expected},
                                              one, hundred, reg(), 145.0, 1.0)));
  }

  SUBCASE("an accepted gain below 1e-9 ends the fit with that step") {
    const ComplexRows rows = real_rows({0.5, 1.0, 1.5});
    const std::vector<double> y{1.25, 2.5, 3.75};
    const Formula start = times_c_x({2.5 + 1e-6, 0.0});
    const FitResult one_step = fit_parameters(start, rows, y, reg(), 0.0, 0.5, 1);
    const FitResult many = fit_parameters(start, rows, y, reg(), 0.0, 0.5, 30);
    CHECK(one_step.formula.tokens[0].value.re != start.tokens[0].value.re);
    CHECK(same_bits(many.formula.tokens[0].value.re, one_step.formula.tokens[0].value.re));
    CHECK(same_bits(many.loss, one_step.loss));
    CHECK(one_step.stop == FitStop::small_gain);
    CHECK(many.stop == FitStop::small_gain);
    CHECK(many.iterations == 1);
    // A second step would still have moved theta.
    const FitResult again = fit_parameters(one_step.formula, rows, y, reg(), 0.0, 0.5, 1);
    CHECK(again.formula.tokens[0].value.re != one_step.formula.tokens[0].value.re);
  }

  SUBCASE("a linear model converges to its coefficient") {
    std::vector<double> xs, y;
    for (int i = -20; i <= 20; ++i) {
      xs.push_back(0.1 * i);
      y.push_back(2.5 * (0.1 * i));
    }
    const FitResult r =
        fit_parameters(times_c_x({1.0, 0.3}), real_rows(xs), y, reg(), 0.0, 0.5, 10);
    CHECK(r.formula.tokens[0].value.re == doctest::Approx(2.5).epsilon(1e-9));
    CHECK(r.formula.tokens[0].value.im == 0.0);
    CHECK(r.loss < 1e-12);
  }

  SUBCASE("an infinite start is left by the first finite trial") {
    // Log(C * x) fails everywhere at C = 0; the residuals count as 0.0.
    const Formula f = unary(idx::kLog, "Log", times_c_x({0.0, 0.0}));
    const ComplexRows rows = real_rows({1.0, 2.0});
    const std::vector<double> y{1.0, 2.0};
    CHECK(parameter_objective(f, std::vector<double>{0.0}, rows, y, reg(), 0.0, 0.5) == kInf);
    const FitResult r = fit_parameters(f, rows, y, reg(), 0.0, 0.5, 10);
    CHECK(std::isfinite(r.loss));
  }
}

TEST_CASE("Optimizer is bit-identical to the free functions and a row-by-row reference") {
  FormulaMaker maker;
  Optimizer optimizer;  // one instance across all data sets and formulas
  std::mt19937_64 rng{7};
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  int stops[5] = {0, 0, 0, 0, 0};

  // One row, a few, a whole block, one past it, and three blocks with a
  // partial last one.
  constexpr std::size_t kB = BatchEvaluator::kBlock;
  for (const std::size_t n : {std::size_t{1}, std::size_t{3}, kB, kB + 1, 2 * kB + 22}) {
    ComplexRows rows(n);
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) {
      rows[i] = {{u(rng), 0.0}, {u(rng), i % 7 == 3 ? 0.25 : 0.0}};
      if (n > 3 && i % 37 == 5) rows[i].pop_back();  // ragged: v_{1} fails here
      y[i] = std::sin(rows[i][0].re) * 1.5 + 0.3;
    }
    const DataColumns data(rows);
    for (int k = 0; k < 120; ++k) {
      const Formula f = maker.make();
      const double alpha = k % 3 == 0 ? 0.0 : (k % 3 == 1 ? 0.01 : 0.5);
      const double l1 = k % 4 == 0 ? 0.0 : (k % 4 == 1 ? 1.0 : 0.5);
      const std::size_t iters = k % 5 == 0 ? 0 : (k % 5 == 1 ? 1 : (k % 5 == 2 ? 30 : 10));
      CAPTURE(n);
      CAPTURE(k);

      const double loss = formula_loss(f, rows, y, reg(), alpha, l1);
      CHECK(same_bits(loss, reference::loss(f, rows, y, alpha, l1)));
      CHECK(same_bits(loss, optimizer.loss(f.tokens, data, y, reg(), alpha, l1)));

      std::vector<double> theta;
      for (std::size_t j = 0; j < f.param_count; ++j) theta.push_back(u(rng));
      const double obj = parameter_objective(f, theta, rows, y, reg(), alpha, l1);
      CHECK(same_bits(obj, reference::objective(f, theta, rows, y, alpha, l1)));
      CHECK(same_bits(obj, optimizer.objective(f.tokens, theta, data, y, reg(), alpha, l1)));

      reference::Stop stop;
      const FitResult expected = reference::fit(f, rows, y, alpha, l1, iters, stop);
      const FitResult got = fit_parameters(f, rows, y, reg(), alpha, l1, iters);
      CHECK(same_bits(got.loss, expected.loss));
      CHECK(got.formula.complexity == expected.formula.complexity);
      CHECK(got.stop == expected.stop);
      CHECK(got.iterations == expected.iterations);
      check_same_tokens(got.formula, expected.formula.tokens);

      std::vector<Token> tokens = f.tokens;
      const FitSummary summary = optimizer.fit(tokens, data, y, reg(), alpha, l1, iters);
      CHECK(same_bits(summary.loss, expected.loss));
      CHECK(summary.stop == expected.stop);
      CHECK(summary.iterations == expected.iterations);
      check_same_tokens(expected.formula, tokens);
      if (f.param_count != 0) ++stops[static_cast<int>(stop)];

      // Scoring with parameter-free subtrees evaluated once (some of them
      // handed over as known columns) gives the same bits as loss then fit.
      std::vector<KnownColumn> known;
      std::vector<Complex> known_values(n);
      std::vector<std::uint8_t> known_ok(n);
      if (const auto subtree = free_subtree(f.tokens, k)) {
        BatchEvaluator evaluator;
        const std::span<const Token> part(f.tokens.data() + subtree->first,
                                          subtree->second - subtree->first);
        for (std::size_t begin = 0; begin < n; begin += BatchEvaluator::kBlock) {
          const std::size_t count = std::min(BatchEvaluator::kBlock, n - begin);
          evaluator.run(part, data, begin, count, {}, reg(), known_values.data() + begin,
                        known_ok.data() + begin);
        }
        known.push_back({subtree->first, subtree->second, known_values.data(), known_ok.data()});
      }
      std::vector<Token> scored = f.tokens;
      const Optimizer::FittedLoss score =
          optimizer.score(scored, data, y, reg(), alpha, l1, iters, known);
      const bool improves = iters != 0 && expected.loss < loss;
      CHECK(score.fitted == improves);
      CHECK(same_bits(score.loss, improves ? expected.loss : loss));
      if (improves) {
        check_same_tokens(expected.formula, scored);
      } else {
        check_same_tokens(f, scored);
      }
    }
  }
  // The random set has to reach every way a fit can end (except the damping
  // limit, which two rejections in a row cannot reach).
  CHECK(stops[static_cast<int>(reference::Stop::iteration_limit)] > 0);
  CHECK(stops[static_cast<int>(reference::Stop::rejections)] > 0);
  CHECK(stops[static_cast<int>(reference::Stop::small_gain)] > 0);
}

namespace {

// Renumbers the Parameter slots of `f` 0, 1, ... in token order and clears
// their stored imaginary parts: the form of every formula the search keeps.
Formula at_fit_start(Formula f) {
  std::uint8_t k = 0;
  for (Token& t : f.tokens) {
    if (t.kind == TokenKind::Parameter) t = Token::parameter(k++, {t.value.re, 0.0});
  }
  f.param_count = k;
  return f;
}

}  // namespace

TEST_CASE("scoring from the operands' columns equals scoring from the tokens") {
  // Children op(A) and op(A, B) of random operands, scored once with the
  // operands' values at their stored parameters and raised by the step, and
  // once from the tokens alone: the loss, the decision to keep the fit and
  // every fitted bit must agree. The data hold the values where operands
  // fail or overflow (0 for Inv, Log and Divide, huge values for Exp and
  // Square), signed zeros, and a NaN row.
  FormulaMaker maker;
  std::mt19937_64 rng{99};
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  const double specials[] = {0.0, -0.0, 1e200, -1e-310, kNaN, 3.0, -1.0};
  Optimizer with_columns;
  Optimizer from_tokens;
  int fast = 0;
  int fitted = 0;
  for (const std::size_t n : {5u, 64u, 100u}) {
    ComplexRows rows(n);
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double x0 = i < std::size(specials) ? specials[i] : u(rng);
      rows[i] = {{x0, 0.0}, {u(rng), 0.0}};
      y[i] = 2.5 * std::sin(u(rng)) + 0.3;
    }
    // Without the NaN row some fits succeed on every row.
    if (n == 100) rows[4][0] = Complex{0.5, 0.0};
    const DataColumns data(rows);
    for (int k = 0; k < 150; ++k) {
      const Formula a = k % 4 == 3 ? maker.make() : at_fit_start(maker.make());
      const Formula b = at_fit_start(k % 5 == 0 ? param(k % 2 == 0 ? -0.0 : 0.1) : maker.make());
      const std::uint64_t ops[] = {idx::kPlus, idx::kTimes, idx::kDivide, idx::kQarn,
                                   idx::kLog,  idx::kSqrt,  idx::kArcTan, idx::kInv};
      const std::uint64_t op = ops[k % std::size(ops)];
      const bool is_binary = k % std::size(ops) < 4;
      const Formula child = is_binary ? binary(op, "B", a, b) : unary(op, "U", a);
      CAPTURE(n);
      CAPTURE(k);

      std::vector<Complex> values[2];
      std::vector<std::uint8_t> ok[2];
      OperandColumns operands;
      const Formula* parts[2] = {&a, &b};
      for (std::size_t p = 0; p < (is_binary ? 2u : 1u); ++p) {
        OperandColumns::Operand& operand = operands.operands[operands.count++];
        const auto entries = fit_start_entries(parts[p]->tokens);
        if (!entries) continue;
        values[p].resize((1 + *entries) * n);
        ok[p].resize(values[p].size());
        operand_columns(parts[p]->tokens, *entries, data, reg(), values[p].data(), ok[p].data());
        operand = {values[p].data(), ok[p].data(), *entries};
      }
      // The module's fit, then the full fit with the affine loss.
      for (const bool full : {false, true}) {
        CAPTURE(full);
        const std::size_t iters = child.param_count == 0 ? 0 : (full ? kFullScoreIterations : 10);
        const ScoreOptions extra{.full_fit = full, .affine = full};
        std::vector<Token> got = child.tokens;
        std::vector<Token> expected = child.tokens;
        const auto r1 =
            with_columns.score(got, data, y, reg(), 0.01, 0.5, iters, {}, &operands, extra);
        const auto r2 =
            from_tokens.score(expected, data, y, reg(), 0.01, 0.5, iters, {}, nullptr, extra);
        CHECK(same_bits(r1.loss, r2.loss));
        CHECK(same_bits(r1.affine, r2.affine));
        CHECK(r1.fitted == r2.fitted);
        check_same_tokens(Formula{expected, "", 0, 0, 0}, got);
        if (full) continue;
        fast += iters != 0 && operands.operands[0].values != nullptr &&
                (!is_binary || operands.operands[1].values != nullptr);
        fitted += r1.fitted;
      }
    }
  }
  // The columns served most children, and many fits were kept.
  CHECK(fast > 200);
  CHECK(fitted > 50);
}
