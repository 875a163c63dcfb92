// Complex arithmetic: every case is checked bit for bit, because the search
// compares values exactly and a different treatment of signed zeros,
// infinities or scaling changes which formulas survive.

#include <doctest/doctest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

#include "ops/complex.h"
#include "ops/kernels.h"
#include "test_util.h"

using namespace qarn;
using qarn::test::kInf;
using qarn::test::kNaN;
using qarn::test::same_bits;
using qarn::test::same_value;

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kTiny = 4.9406564584124654e-324;

// The logarithm with every C library call made.
Complex libm_ln(Complex z) { return {std::log(std::hypot(z.re, z.im)), std::atan2(z.im, z.re)}; }

// Parts that reach every shortcut's edges: signed zeros, subnormals, the
// magnitude bound, overflow, infinities and NaN.
constexpr double kEdges[] = {0.0,
                             -0.0,
                             kTiny,
                             -kTiny,
                             1e-300,
                             -2.2250738585072014e-308,
                             1.0,
                             -1.0,
                             0.5,
                             -2.75,
                             3.0e-17,
                             1e15,
                             -1e15,
                             0x1p1022,
                             -0x1p1022,
                             1e300,
                             -1.7976931348623157e308,
                             kInf,
                             -kInf,
                             kNaN};
}  // namespace

TEST_CASE("modulus, argument and ln on both axes are the C library's values") {
  for (const double re : kEdges) {
    for (const double im : kEdges) {
      const Complex z{re, im};
      CAPTURE(z);
      CHECK(same_value(modulus(z), std::hypot(re, im)));
      CHECK(same_value(argument(z), std::atan2(im, re)));
      CHECK(same_value(ln(z), libm_ln(z)));
    }
  }
  // A modulus of exactly 1 off the axes: log(1) = +0.
  CHECK(modulus({0.6, 0.8}) == 1.0);
  CHECK(same_bits(ln({0.6, 0.8}), libm_ln({0.6, 0.8})));
}

TEST_CASE("neg flips both sign bits") {
  CHECK(same_bits(neg({0.0, 0.0}), {-0.0, -0.0}));
  CHECK(same_bits(neg({-0.0, 1.0}), {0.0, -1.0}));
  CHECK(std::signbit(neg({kNaN, kNaN}).re));
  CHECK(same_bits(neg({kInf, -kInf}), {-kInf, kInf}));
}

TEST_CASE("mul is the schoolbook product with no shortcuts") {
  SUBCASE("a zero part of a literal is multiplied, not skipped") {
    // 0.0 * inf is NaN in the real part; 1.0 * inf carries through.
    CHECK(same_value(mul({0.0, 1.0}, {kInf, 0.0}), {kNaN, kInf}));
    CHECK(same_value(mul({kInf, 0.0}, {kInf, 0.0}), {kInf, kNaN}));
  }
  SUBCASE("multiplying by one can change the signs of zeros") {
    // (1*-0 - 0*-0, 1*-0 + 0*-0) = (-0 - -0, -0 + -0) = (+0, -0).
    CHECK(same_bits(mul({1.0, 0.0}, {-0.0, -0.0}), {0.0, -0.0}));
    CHECK(same_bits(mul({1.0, 0.0}, {-0.0, 0.0}), {-0.0, 0.0}));
    CHECK(same_bits(mul({1.0, 0.0}, {2.5, -3.0}), {2.5, -3.0}));
  }
  SUBCASE("i times i is -1 with a positive zero") {
    CHECK(same_bits(mul({0.0, 1.0}, {0.0, 1.0}), {-1.0, 0.0}));
  }
  SUBCASE("no protection against overflow") {
    const Complex p = mul({1e200, 1e200}, {1e200, -1e200});
    // re = 1e400 - (-1e400) = inf, im = -1e400 + 1e400 = -inf + inf = NaN.
    CHECK(same_value(p, {kInf, kNaN}));
  }
}

TEST_CASE("div is unscaled schoolbook division") {
  SUBCASE("one over i") { CHECK(same_bits(div({1.0, 0.0}, {0.0, 1.0}), {0.0, -1.0})); }
  SUBCASE("real division") {
    CHECK(same_bits(div({1.0, 0.0}, {2.0, 0.0}), {0.5, 0.0}));
    CHECK(same_bits(div({3.0, 4.0}, {1.0, 0.0}), {3.0, 4.0}));
    CHECK(same_bits(div({0.0, 0.0}, {1.0, 0.0}), {0.0, 0.0}));
    CHECK(same_bits(div({1.0, 0.0}, {0.0, 2.0}), {0.0, -0.5}));
  }
  SUBCASE("an overflowing denominator gives zeros instead of being rescaled") {
    // A scaled division would give (5e-201, -5e-201).
    CHECK(same_bits(div({1.0, 0.0}, {1e200, 1e200}), {0.0, -0.0}));
  }
  SUBCASE("an underflowing denominator divides by zero") {
    // d = 1e-400 = 0: (1e-200 / 0, (0 - 0) / 0).
    CHECK(same_value(div({1.0, 0.0}, {1e-200, 0.0}), {kInf, kNaN}));
  }
}

TEST_CASE("modulus and argument") {
  CHECK(modulus({3.0, 4.0}) == 5.0);
  CHECK(std::isfinite(modulus({1e300, 1e300})));
  CHECK(modulus({kInf, kNaN}) == kInf);
  CHECK(modulus({-0.0, -0.0}) == 0.0);
  CHECK(argument({-1.0, 0.0}) == kPi);
  CHECK(argument({-1.0, -0.0}) == -kPi);
  CHECK(same_bits(argument({1.0, -0.0}), -0.0));
}

TEST_CASE("ln follows the sign of a zero imaginary part across the cut") {
  CHECK(same_bits(ln({-1.0, 0.0}), {0.0, kPi}));
  CHECK(same_bits(ln({-1.0, -0.0}), {0.0, -kPi}));
  CHECK(same_bits(ln({1.0, 0.0}), {0.0, 0.0}));
  CHECK(same_bits(ln({1.0, -0.0}), {0.0, -0.0}));
  CHECK(same_bits(ln({0.0, 1.0}), {0.0, kPi / 2}));
  CHECK(same_bits(ln({kInf, 0.0}), {kInf, 0.0}));
  CHECK(std::isfinite(ln({1e300, 1e300}).re));
}

TEST_CASE("exp corner cases") {
  SUBCASE("x = +inf") {
    CHECK(same_bits(exp({kInf, 0.0}), {kInf, 0.0}));
    CHECK(same_bits(exp({kInf, -0.0}), {kInf, -0.0}));
    CHECK(same_value(exp({kInf, kInf}), {kInf, kNaN}));
    CHECK(same_value(exp({kInf, -kInf}), {kInf, kNaN}));
    CHECK(same_value(exp({kInf, kNaN}), {kInf, kNaN}));
    // A finite non-zero y falls through to the general formula.
    CHECK(same_bits(exp({kInf, 1.0}), {kInf, kInf}));
    CHECK(same_bits(exp({kInf, 2.0}), {-kInf, kInf}));
    CHECK(same_bits(exp({kInf, -2.0}), {-kInf, -kInf}));
  }
  SUBCASE("x = -inf") {
    CHECK(same_bits(exp({-kInf, kNaN}), {0.0, 0.0}));
    CHECK(same_bits(exp({-kInf, kInf}), {0.0, 0.0}));
    CHECK(same_bits(exp({-kInf, -kInf}), {0.0, 0.0}));
    // Otherwise the zeros carry the signs of cos(y) and sin(y).
    CHECK(same_bits(exp({-kInf, 0.0}), {0.0, 0.0}));
    CHECK(same_bits(exp({-kInf, -0.0}), {0.0, -0.0}));
    CHECK(same_bits(exp({-kInf, 2.0}), {-0.0, 0.0}));
    CHECK(same_bits(exp({-kInf, -2.0}), {-0.0, -0.0}));
  }
  SUBCASE("x = NaN with a zero y returns z unchanged") {
    CHECK(same_bits(exp({kNaN, 0.0}), {kNaN, 0.0}));
    CHECK(same_bits(exp({kNaN, -0.0}), {kNaN, -0.0}));
    const double payload = std::nan("0x123");
    CHECK(same_bits(exp({payload, 0.0}).re, payload));
    CHECK(same_value(exp({kNaN, 1.0}), {kNaN, kNaN}));
  }
  SUBCASE("finite arguments") {
    CHECK(same_bits(exp({0.0, 0.0}), {1.0, 0.0}));
    CHECK(same_bits(exp({0.0, -0.0}), {1.0, -0.0}));
    CHECK(same_bits(exp({1.0, 0.0}), {std::exp(1.0), 0.0}));
    CHECK(same_bits(exp({-1000.0, 0.0}), {0.0, 0.0}));
    // exp(710) overflows and sin(0) * inf is NaN: no library-style recovery.
    CHECK(same_value(exp({710.0, 0.0}), {kInf, kNaN}));
    const Complex e = exp({0.5, kPi / 3});
    CHECK(e.re == doctest::Approx(std::exp(0.5) * 0.5));
    CHECK(e.im == doctest::Approx(std::exp(0.5) * std::sqrt(3.0) / 2));
  }
}

TEST_CASE("sqrt picks the principal root by sign bits") {
  SUBCASE("zero imaginary part") {
    CHECK(same_bits(sqrt({-4.0, 0.0}), {0.0, 2.0}));
    CHECK(same_bits(sqrt({-4.0, -0.0}), {0.0, -2.0}));
    CHECK(same_bits(sqrt({4.0, -0.0}), {2.0, -0.0}));
    CHECK(same_bits(sqrt({4.0, 0.0}), {2.0, 0.0}));
    CHECK(same_bits(sqrt({0.0, 0.0}), {0.0, 0.0}));
    CHECK(same_bits(sqrt({0.0, -0.0}), {0.0, -0.0}));
    // -0.0 has its sign bit set, so it takes the negative-x branch.
    CHECK(same_bits(sqrt({-0.0, 0.0}), {0.0, 0.0}));
    CHECK(same_bits(sqrt({-0.0, -0.0}), {0.0, -0.0}));
    CHECK(same_bits(sqrt({kInf, 0.0}), {kInf, 0.0}));
    CHECK(same_bits(sqrt({-kInf, -0.0}), {0.0, -kInf}));
    CHECK(same_value(sqrt({kNaN, 0.0}), {kNaN, 0.0}));
    CHECK(same_value(sqrt({-kNaN, 0.0}), {0.0, kNaN}));
  }
  SUBCASE("zero real part uses no trigonometry") {
    CHECK(same_bits(sqrt({0.0, 2.0}), {1.0, 1.0}));
    CHECK(same_bits(sqrt({0.0, -2.0}), {1.0, -1.0}));
    CHECK(same_bits(sqrt({-0.0, 2.0}), {1.0, 1.0}));
    CHECK(same_bits(sqrt({0.0, 8.0}), {2.0, 2.0}));
  }
  SUBCASE("general case") {
    const Complex a = sqrt({3.0, 4.0});
    CHECK(a.re == doctest::Approx(2.0));
    CHECK(a.im == doctest::Approx(1.0));
    const Complex b = sqrt({-3.0, -4.0});
    CHECK(b.re == doctest::Approx(1.0));
    CHECK(b.im == doctest::Approx(-2.0));
    CHECK(same_bits(sqrt({1.0, kInf}), {kInf, kInf}));
  }
}

TEST_CASE("sin and cos combine real and hyperbolic parts") {
  SUBCASE("signed zeros") {
    CHECK(same_bits(sin({0.0, 0.0}), {0.0, 0.0}));
    CHECK(same_bits(sin({0.0, -0.0}), {0.0, -0.0}));
    CHECK(same_bits(sin({-0.0, 0.0}), {-0.0, 0.0}));
    // The imaginary part of cos is (-sin x) * sinh y: -0 * 0 = -0.
    CHECK(same_bits(cos({0.0, 0.0}), {1.0, -0.0}));
    CHECK(same_bits(cos({0.0, -0.0}), {1.0, 0.0}));
  }
  SUBCASE("values off the real axis") {
    const Complex s = sin({1.0, 1.0});
    CHECK(s.re == doctest::Approx(1.2984575814159773));
    CHECK(s.im == doctest::Approx(0.6349639147847361));
    const Complex c = cos({1.0, 1.0});
    CHECK(c.re == doctest::Approx(0.8337300251311491));
    CHECK(c.im == doctest::Approx(-0.9888977057628651));
    CHECK(same_bits(sin({1.0, 0.0}).re, std::sin(1.0)));
    CHECK(same_bits(cos({2.0, 0.0}).re, std::cos(2.0)));
  }
  SUBCASE("infinite imaginary part") {
    CHECK(same_value(sin({0.0, kInf}), {kNaN, kInf}));
    CHECK(same_value(cos({0.0, kInf}), {kInf, kNaN}));
  }
}

TEST_CASE("is_zero accepts zeros of either sign only") {
  CHECK(is_zero({0.0, 0.0}));
  CHECK(is_zero({-0.0, -0.0}));
  CHECK(is_zero({-0.0, 0.0}));
  CHECK_FALSE(is_zero({0.0, 5e-324}));
  CHECK_FALSE(is_zero({kNaN, 0.0}));
}

TEST_CASE("arctan with its shortcuts equals the full formula") {
  // The full formula: 0.5i x (ln(1 - iz) - ln(iz + 1)), every C library call
  // made. The shortcuts for a real z rely on atan2 being odd in its first
  // argument, checked here on random bit patterns as well as on the edges.
  const auto full = [](Complex z, Complex& out) {
    const Complex iz = mul(Complex{0.0, 1.0}, z);
    const Complex u = sub(Complex{1.0, 0.0}, iz);
    const Complex v = add(iz, Complex{1.0, 0.0});
    if (is_zero(u) || is_zero(v)) return false;
    out = mul(Complex{0.0, 0.5}, sub(libm_ln(u), libm_ln(v)));
    return true;
  };
  const auto check = [&](Complex z) {
    Complex expected{};
    Complex got{};
    const bool expected_ok = full(z, expected);
    const bool got_ok = kernels::arctan(z, got);
    CAPTURE(z);
    REQUIRE(expected_ok == got_ok);
    if (expected_ok) CHECK(same_value(got, expected));
  };
  for (const double re : kEdges) {
    for (const double im : {0.0, -0.0, kTiny, -1e-300, 1e-20, 1.0, -1.0, 0.25, kNaN, kInf}) {
      check({re, im});
    }
  }
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    const double x = std::bit_cast<double>(rng());
    check({x, i % 2 == 0 ? 0.0 : -0.0});
    check({x, 1e-20});
  }
}
