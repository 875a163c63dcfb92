#include <doctest/doctest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/affine.h"
#include "engine/optimizer.h"
#include "test_util.h"

namespace {

using namespace qarn;
using namespace qarn::test;
using Rows = std::vector<std::vector<Complex>>;

// Least squares of y on the columns of `design` by Gaussian elimination on the
// normal equations in long double: the reference minimum of a formula that is
// linear in its parameters.
std::vector<double> least_squares(const std::vector<std::vector<double>>& design,
                                  const std::vector<double>& y) {
  const std::size_t m = design.size();
  std::vector<std::vector<long double>> a(m, std::vector<long double>(m + 1, 0.0L));
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t k = 0; k < m; ++k) {
      for (std::size_t i = 0; i < y.size(); ++i)
        a[j][k] += (long double)design[j][i] * design[k][i];
    }
    for (std::size_t i = 0; i < y.size(); ++i) a[j][m] += (long double)design[j][i] * y[i];
  }
  for (std::size_t p = 0; p < m; ++p) {
    for (std::size_t r = p + 1; r < m; ++r) {
      const long double f = a[r][p] / a[p][p];
      for (std::size_t c = p; c <= m; ++c) a[r][c] -= f * a[p][c];
    }
  }
  std::vector<double> theta(m);
  for (std::size_t p = m; p-- > 0;) {
    long double sum = a[p][m];
    for (std::size_t c = p + 1; c < m; ++c) sum -= a[p][c] * theta[c];
    theta[p] = static_cast<double>(sum / a[p][p]);
  }
  return theta;
}

double mse(const std::vector<double>& f, const std::vector<double>& y) {
  double sse = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) sse += (f[i] - y[i]) * (f[i] - y[i]);
  return sse / static_cast<double>(y.size());
}

std::vector<double> parameter_values(const Formula& f) {
  std::vector<double> out;
  for (const Token& t : f.tokens) {
    if (t.kind == TokenKind::Parameter) out.push_back(t.value.re);
  }
  return out;
}

}  // namespace

TEST_CASE(
    "the full fit reaches the least-squares solution of formulas linear in their parameters") {
  // C + C x + C x^2 and C sin(x) + C x: starts far from the solution, data
  // with and without noise.
  const Formula quadratic =
      binary(idx::kPlus, "P",
             binary(idx::kPlus, "P", param(0.1), binary(idx::kTimes, "T", param(0.1), var(0))),
             binary(idx::kTimes, "T", param(0.1), unary(idx::kSquare, "S", var(0))));
  const Formula waves =
      binary(idx::kPlus, "P", binary(idx::kTimes, "T", param(0.1), unary(idx::kSin, "S", var(0))),
             binary(idx::kTimes, "T", param(0.1), var(0)));
  std::mt19937_64 rng{7};
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    CAPTURE(trial);
    const std::size_t n = 5 + static_cast<std::size_t>(trial) * 37;
    const double sigma = trial % 2 == 0 ? 0.0 : 0.3;
    const double c0 = 10 * u(rng), c1 = 10 * u(rng), c2 = 10 * u(rng);
    Rows rows;
    std::vector<double> xs, y1, y2;
    for (std::size_t i = 0; i < n; ++i) {
      const double x = u(rng);
      rows.push_back({{x, 0.0}});
      xs.push_back(x);
      y1.push_back(c0 + c1 * x + c2 * x * x + sigma * noise(rng));
      y2.push_back(c0 * std::sin(x) + c1 * x + sigma * noise(rng));
    }
    std::vector<double> ones(n, 1.0), squares(n), sines(n);
    for (std::size_t i = 0; i < n; ++i) {
      squares[i] = xs[i] * xs[i];
      sines[i] = std::sin(xs[i]);
    }
    const struct {
      const Formula& formula;
      const std::vector<double>& y;
      std::vector<std::vector<double>> design;
    } cases[] = {{quadratic, y1, {ones, xs, squares}}, {waves, y2, {sines, xs}}};
    for (const auto& c : cases) {
      const std::vector<double> theta = least_squares(c.design, c.y);
      std::vector<double> best(n, 0.0);
      for (std::size_t j = 0; j < theta.size(); ++j) {
        for (std::size_t i = 0; i < n; ++i) best[i] += theta[j] * c.design[j][i];
      }
      const FitResult r =
          fit_parameters(c.formula, rows, c.y, reg(), 0.0, 0.5, kFullRefitIterations, true);
      const double floor = mse(best, c.y);
      CHECK(r.loss <= floor * (1 + 1e-9) + 1e-24);
      const std::vector<double> got = parameter_values(r.formula);
      for (std::size_t j = 0; j < theta.size(); ++j) {
        CHECK(got[j] == doctest::Approx(theta[j]).epsilon(1e-7));
      }
      // The diagonal fit of the module stays where it is: usually short.
      const FitResult diagonal = fit_parameters(c.formula, rows, c.y, reg(), 0.0, 0.5, 30);
      CHECK(diagonal.loss >= r.loss * (1 - 1e-12));
    }
  }
}

TEST_CASE("the full fit matches Gauss-Newton with the exact Jacobian on a nonlinear formula") {
  // C exp(C x) from a start near the solution: both converge to the same
  // minimum.
  std::mt19937_64 rng{11};
  std::uniform_real_distribution<double> u(0.0, 2.0);
  std::normal_distribution<double> noise(0.0, 0.02);
  for (int trial = 0; trial < 10; ++trial) {
    CAPTURE(trial);
    const double scale = 0.5 + 0.3 * trial, rate = -1.0 + 0.2 * trial;
    Rows rows;
    std::vector<double> xs, y;
    for (int i = 0; i < 50; ++i) {
      const double x = u(rng);
      rows.push_back({{x, 0.0}});
      xs.push_back(x);
      y.push_back(scale * std::exp(rate * x) + noise(rng));
    }
    double a = scale * 1.2, b = rate + 0.1;
    for (int step = 0; step < 200; ++step) {
      double jj[3] = {0, 0, 0}, jr[2] = {0, 0};
      for (std::size_t i = 0; i < xs.size(); ++i) {
        const double e = std::exp(b * xs[i]);
        const double r = a * e - y[i];
        const double j0 = e, j1 = a * xs[i] * e;
        jj[0] += j0 * j0;
        jj[1] += j0 * j1;
        jj[2] += j1 * j1;
        jr[0] += j0 * r;
        jr[1] += j1 * r;
      }
      const double det = jj[0] * jj[2] - jj[1] * jj[1];
      a -= (jj[2] * jr[0] - jj[1] * jr[1]) / det;
      b -= (jj[0] * jr[1] - jj[1] * jr[0]) / det;
    }
    std::vector<double> best;
    for (const double x : xs) best.push_back(a * std::exp(b * x));
    Formula start =
        binary(idx::kTimes, "T", param(scale * 1.2),
               unary(idx::kExp, "E", binary(idx::kTimes, "T", param(rate + 0.1), var(0))));
    const FitResult r = fit_parameters(start, rows, y, reg(), 0.0, 0.5, kFullRefitIterations, true);
    CHECK(r.loss <= mse(best, y) * (1 + 1e-8));
    const std::vector<double> got = parameter_values(r.formula);
    CHECK(got[0] == doctest::Approx(a).epsilon(1e-5));
    CHECK(got[1] == doctest::Approx(b).epsilon(1e-5));
    CHECK(r.stop != FitStop::iteration_limit);
  }
}

TEST_CASE("affine_loss is the error of the best scale and offset") {
  std::mt19937_64 rng{5};
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  std::vector<double> f, y;
  for (int i = 0; i < 64; ++i) {
    f.push_back(u(rng));
    y.push_back(u(rng));
  }
  const std::vector<double> ones(f.size(), 1.0);
  const std::vector<double> theta = least_squares({ones, f}, y);
  std::vector<double> fitted;
  for (const double v : f) fitted.push_back(theta[0] + theta[1] * v);
  CHECK(affine_loss(f, y) == doctest::Approx(mse(fitted, y)).epsilon(1e-12));
  CHECK(affine_loss(f, y) <= mean_squared_error(f, y));
  // A scaled and shifted copy of the targets is exact up to the rounding of the
  // copy (about 40 x 2^-52 against a scale of 1e-3).
  std::vector<double> shape;
  for (const double v : y) shape.push_back(1e-3 * v - 40.0);
  CHECK(affine_loss(shape, y) < 1e-20);
  // A constant f leaves the variance of the targets; rows beyond f are not counted
  // but the sum is divided by the number of targets, as the loss pass does.
  const std::vector<double> constant(y.size(), 2.0);
  double mean = 0.0, var = 0.0;
  for (const double v : y) mean += v / static_cast<double>(y.size());
  for (const double v : y) var += (v - mean) * (v - mean) / static_cast<double>(y.size());
  CHECK(affine_loss(constant, y) == doctest::Approx(var).epsilon(1e-12));
  CHECK(std::isnan(affine_loss({}, y)));
}
