// The built-in vocabulary: registry order and metadata, each operator's
// value and undefined points, and the LaTeX / Python templates.

#include <doctest/doctest.h>

#include <array>
#include <cmath>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ops/builtin.h"
#include "ops/registry.h"
#include "test_util.h"

using namespace qarn;
using namespace qarn::test::idx;
using qarn::test::kInf;
using qarn::test::kNaN;
using qarn::test::reg;
using qarn::test::same_bits;

namespace {

constexpr double kPiValue = 3.141592653589793;

std::optional<Complex> eval1(std::uint64_t i, Complex z) {
  const std::array<Complex, 1> args{z};
  return reg().operators[i]->eval(args);
}

std::optional<Complex> eval2(std::uint64_t i, Complex a, Complex b) {
  const std::array<Complex, 2> args{a, b};
  return reg().operators[i]->eval(args);
}

std::string latex(std::uint64_t i, std::vector<std::string> args) {
  return reg().operators[i]->latex(args);
}

std::string python(std::uint64_t i, std::vector<std::string> args) {
  return reg().operators[i]->python(args);
}

std::string describe(std::uint64_t i) {
  std::ostringstream out;
  reg().operators[i]->describe(out);
  return out.str();
}

const std::array<Complex, 4> kZeros{Complex{0.0, 0.0}, Complex{-0.0, -0.0}, Complex{0.0, -0.0},
                                    Complex{-0.0, 0.0}};

}  // namespace

TEST_CASE("registry order and metadata") {
  const std::vector<std::string> names{"0",      "1",      "I",      "Pi",     "E",        "QARN",
                                       "Neg",    "Inv",    "Plus",   "Times",  "Subtract", "Divide",
                                       "Exp",    "Log",    "Sqrt",   "Sin",    "Cos",      "Tan",
                                       "ArcSin", "ArcCos", "ArcTan", "Square", "Cube"};
  const OperatorRegistry& r = reg();
  REQUIRE(r.size() == 23);
  REQUIRE(r.entries.size() == 23);

  SUBCASE("names: entries copy the operators' names, QARN in upper case") {
    for (std::size_t i = 0; i < names.size(); ++i) {
      CAPTURE(i);
      CHECK(r.entries[i].name == names[i]);
      CHECK(r.operators[i]->name() == names[i]);
    }
  }
  SUBCASE("arities") {
    for (std::size_t i = 0; i < names.size(); ++i) {
      CAPTURE(i);
      const int expected = i < 5 ? 0 : (i == 5 || (i >= 8 && i <= 11)) ? 2 : 1;
      CHECK(int(r.entries[i].arity) == expected);
      CHECK(int(r.operators[i]->arity()) == expected);
    }
  }
  SUBCASE("only Plus and Times are commutative") {
    for (std::size_t i = 0; i < names.size(); ++i) {
      CAPTURE(i);
      const bool expected = i == kPlus || i == kTimes;
      CHECK(r.entries[i].commutative == expected);
      CHECK(r.operators[i]->is_commutative() == expected);
    }
  }
  SUBCASE("operators_with_arity") {
    CHECK(r.operators_with_arity(0) == std::vector<std::size_t>{0, 1, 2, 3, 4});
    CHECK(r.operators_with_arity(1) ==
          std::vector<std::size_t>{6, 7, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22});
    CHECK(r.operators_with_arity(2) == std::vector<std::size_t>{5, 8, 9, 10, 11});
    CHECK(r.operators_with_arity(3).empty());
  }
}

TEST_CASE("describe and plain") {
  SUBCASE("operators describe themselves by class name") {
    CHECK(describe(kQarn) == "Qarn");
    CHECK(describe(kCos) == "Cos");
    CHECK(describe(kArcTan) == "ArcTan");
    CHECK(describe(kCube) == "Cube");
  }
  SUBCASE("constants dump their class name and fields in order") {
    const std::string d = describe(kPi);
    CHECK(d.rfind("ConstOp", 0) == 0);
    const auto name_at = d.find("Pi");
    const auto latex_at = d.find("\\pi");
    const auto python_at = d.find("np.pi");
    const auto re_at = d.find("3.14");
    REQUIRE(name_at != std::string::npos);
    REQUIRE(latex_at != std::string::npos);
    REQUIRE(python_at != std::string::npos);
    REQUIRE(re_at != std::string::npos);
    CHECK(name_at < latex_at);
    CHECK(latex_at < python_at);
    CHECK(python_at < re_at);
    CHECK(d.find("re") != std::string::npos);
    CHECK(d.find("im") != std::string::npos);
  }
  SUBCASE("plain is the bracket form") {
    const std::vector<std::string> none;
    const std::vector<std::string> one{"v_{0}"};
    const std::vector<std::string> two{"v_{0}", "C"};
    CHECK(reg().operators[kPi]->plain(none) == "Pi");
    CHECK(reg().operators[kPlus]->plain(two) == "Plus[v_{0}, C]");
    CHECK(reg().operators[kQarn]->plain(two) == "QARN[v_{0}, C]");
    CHECK(reg().operators[kSin]->plain(one) == "Sin[v_{0}]");
    CHECK(reg().operators[kSin]->plain(none) == "Sin");
  }
}

TEST_CASE("named constants") {
  const std::array<Complex, 5> values{Complex{0.0, 0.0}, Complex{1.0, 0.0}, Complex{0.0, 1.0},
                                      Complex{kPiValue, 0.0}, Complex{2.718281828459045, 0.0}};
  const std::array<const char*, 5> latex_forms{"0", "1", "i", "\\pi", "e"};
  const std::array<const char*, 5> python_forms{"0", "1", "1j", "np.pi", "np.e"};
  const std::vector<std::string> junk{"x", "y"};
  const std::array<Complex, 2> junk_values{Complex{5.0, 5.0}, Complex{kNaN, kNaN}};
  for (std::size_t i = 0; i < 5; ++i) {
    CAPTURE(i);
    const Operator& op = *reg().operators[i];
    REQUIRE(op.eval({}).has_value());
    CHECK(same_bits(*op.eval({}), values[i]));
    // Arguments are ignored in every form.
    CHECK(same_bits(*op.eval(junk_values), values[i]));
    CHECK(op.latex({}) == latex_forms[i]);
    CHECK(op.latex(junk) == latex_forms[i]);
    CHECK(op.python({}) == python_forms[i]);
    CHECK(op.python(junk) == python_forms[i]);
    CHECK_FALSE(op.is_commutative());
  }
}

TEST_CASE("undefined points") {
  SUBCASE("Log, Inv and Divide of an exact zero of either sign") {
    for (const Complex z : kZeros) {
      CAPTURE(z);
      CHECK_FALSE(eval1(kLog, z).has_value());
      CHECK_FALSE(eval1(kInv, z).has_value());
      CHECK_FALSE(eval2(kDivide, {1.0, 0.0}, z).has_value());
      CHECK_FALSE(eval2(kDivide, {0.0, 0.0}, z).has_value());
      CHECK(eval2(kDivide, z, {2.0, 0.0}).has_value());
    }
    // The smallest subnormal is not zero.
    CHECK(eval1(kLog, {5e-324, 0.0}).has_value());
    CHECK(eval1(kInv, {0.0, 5e-324}).has_value());
  }
  SUBCASE("QARN has no value when b is zero, whatever a is") {
    const std::array<Complex, 5> as{Complex{0.0, 0.0}, Complex{1.0, 2.0}, Complex{kInf, 0.0},
                                    Complex{kNaN, kNaN}, Complex{-kInf, kInf}};
    for (const Complex a : as) {
      for (const Complex b : kZeros) CHECK_FALSE(eval2(kQarn, a, b).has_value());
    }
  }
  SUBCASE("ArcTan at +i and -i") {
    CHECK_FALSE(eval1(kArcTan, {0.0, 1.0}).has_value());
    CHECK_FALSE(eval1(kArcTan, {0.0, -1.0}).has_value());
    CHECK_FALSE(eval1(kArcTan, {-0.0, 1.0}).has_value());
    CHECK(eval1(kArcTan, {1e-300, 1.0}).has_value());
  }
  SUBCASE("ArcSin and ArcCos where w cancels to zero") {
    // z = 1e8 i: i*z = -1e8 and sqrt(1 - z*z) = sqrt(1 + 1e16) rounds to 1e8.
    CHECK_FALSE(eval1(kArcSin, {0.0, 1e8}).has_value());
    CHECK_FALSE(eval1(kArcCos, {0.0, 1e8}).has_value());
    CHECK(eval1(kArcSin, {0.0, -1e8}).has_value());
    CHECK(eval1(kArcSin, {0.0, 1e3}).has_value());
  }
  SUBCASE("Tan of a real argument always has a value") {
    // cos(x) of a double is never exactly zero, so neither is cos(x)*cosh(0).
    double x = kPiValue / 2;
    for (int i = 0; i < 8; ++i, x = std::nextafter(x, 10.0)) {
      CHECK(eval1(kTan, {x, 0.0}).has_value());
      CHECK(eval1(kTan, {-x, 0.0}).has_value());
      CHECK(eval1(kTan, {3 * x, 0.0}).has_value());
    }
    // Huge but defined: the range screening is the evaluator's job.
    const auto t = eval1(kTan, {kPiValue / 2, 0.0});
    REQUIRE(t.has_value());
    CHECK(std::fabs(t->re) > 1e15);
  }
  SUBCASE("operators never screen non-finite results themselves") {
    CHECK(eval1(kExp, {1000.0, 0.0}).has_value());
    CHECK(eval2(kTimes, {kNaN, 0.0}, {1.0, 0.0}).has_value());
    CHECK(eval1(kInv, {1e-320, 0.0}).has_value());
  }
}

TEST_CASE("operator values") {
  SUBCASE("arithmetic, argument order and signed zeros") {
    CHECK(same_bits(*eval1(kNeg, {0.0, 0.0}), {-0.0, -0.0}));
    CHECK(same_bits(*eval1(kInv, {2.0, 0.0}), {0.5, 0.0}));
    CHECK(same_bits(*eval1(kInv, {0.0, 2.0}), {0.0, -0.5}));
    CHECK(same_bits(*eval2(kPlus, {1.0, 2.0}, {3.0, -2.0}), {4.0, 0.0}));
    CHECK(same_bits(*eval2(kSubtract, {1.0, 2.0}, {3.0, -2.0}), {-2.0, 4.0}));
    CHECK(same_bits(*eval2(kTimes, {0.0, 1.0}, {0.0, 1.0}), {-1.0, 0.0}));
    CHECK(same_bits(*eval2(kDivide, {1.0, 0.0}, {4.0, 0.0}), {0.25, 0.0}));
    CHECK(same_bits(*eval2(kDivide, {4.0, 0.0}, {1.0, 0.0}), {4.0, 0.0}));
    CHECK(same_bits(*eval2(kDivide, {1.0, 0.0}, {0.0, 1.0}), {0.0, -1.0}));
    CHECK(same_bits(*eval1(kSquare, {0.0, 1.0}), {-1.0, 0.0}));
    CHECK(same_bits(*eval1(kSquare, {-3.0, 0.0}), {9.0, -0.0}));
    // (i*i)*i = (-1, 0)*(0, 1) = (-1*0 - 0*1, -1*1 + 0*0) = (-0, -1).
    CHECK(same_bits(*eval1(kCube, {0.0, 1.0}), {-0.0, -1.0}));
    CHECK(same_bits(*eval1(kCube, {2.0, 0.0}), {8.0, 0.0}));
  }
  SUBCASE("QARN is exp(a) - ln(b)") {
    CHECK(same_bits(*eval2(kQarn, {0.0, 0.0}, {1.0, 0.0}), {1.0, 0.0}));
    const Complex q = *eval2(kQarn, {1.0, 0.0}, {2.718281828459045, 0.0});
    CHECK(q.re == doctest::Approx(std::exp(1.0) - 1.0));
    // Swapping the operands changes the value.
    const Complex swapped = *eval2(kQarn, {2.0, 0.0}, {1.0, 0.0});
    CHECK(same_bits(swapped, {std::exp(2.0), 0.0}));
  }
  SUBCASE("elementary functions") {
    CHECK(same_bits(*eval1(kLog, {-1.0, 0.0}), {0.0, kPiValue}));
    CHECK(same_bits(*eval1(kLog, {-1.0, -0.0}), {0.0, -kPiValue}));
    CHECK(same_bits(*eval1(kExp, {0.0, 0.0}), {1.0, 0.0}));
    CHECK(same_bits(*eval1(kSqrt, {-4.0, 0.0}), {0.0, 2.0}));
    CHECK(same_bits(*eval1(kSqrt, {-4.0, -0.0}), {0.0, -2.0}));
    CHECK(same_bits(eval1(kSin, {1.0, 0.0})->re, std::sin(1.0)));
    CHECK(same_bits(*eval1(kCos, {0.0, 0.0}), {1.0, -0.0}));
    const Complex t = *eval1(kTan, {1.0, 0.0});
    CHECK(t.re == doctest::Approx(std::tan(1.0)));
    CHECK(t.im == 0.0);
  }
  SUBCASE("inverse trigonometric functions") {
    CHECK(same_bits(*eval1(kArcTan, {0.0, 0.0}), {0.0, 0.0}));
    const Complex at = *eval1(kArcTan, {2.0, 0.0});
    CHECK(at.re == doctest::Approx(std::atan(2.0)));
    CHECK(at.im == doctest::Approx(0.0));
    const Complex as = *eval1(kArcSin, {0.5, 0.0});
    CHECK(as.re == doctest::Approx(0.5235987755982989));
    CHECK(as.im == doctest::Approx(0.0));
    const Complex ac = *eval1(kArcCos, {0.5, 0.0});
    CHECK(ac.re == doctest::Approx(1.0471975511965979));
    CHECK(ac.im == doctest::Approx(0.0));
    // Beyond the real domain the side of the cut follows the signed zeros of
    // the auxiliary values: arcsin(2 + 0i) lands below the real axis.
    const Complex as2 = *eval1(kArcSin, {2.0, 0.0});
    CHECK(as2.re == doctest::Approx(1.5707963267948966));
    CHECK(as2.im == doctest::Approx(-1.3169578969248166));
    // ArcSin(0) = (-0, -1) * ln(1) = (-0*0 - -1*0, -0*0 + -1*0) = (0, -0).
    CHECK(same_bits(*eval1(kArcSin, {0.0, 0.0}), {0.0, -0.0}));
    CHECK(same_bits(eval1(kArcCos, {0.0, 0.0})->re, 1.5707963267948966));
  }
}

TEST_CASE("LaTeX and Python templates") {
  struct Form {
    std::uint64_t index;
    const char* latex;
    const char* python;
  };
  const std::array<Form, 18> forms{{
      {kQarn, "e^{a} - \\ln(b)", "(np.exp(a) - np.log(b))"},
      {kNeg, "(-(a))", "(-(a))"},
      {kInv, "\\frac{1}{a}", "(1/(a))"},
      {kPlus, "a + b", "(a)+(b)"},
      {kTimes, "a \\cdot b", "(a)*(b)"},
      {kSubtract, "a - b", "(a)-(b)"},
      {kDivide, "\\frac{a}{b}", "((a)/(b))"},
      {kExp, "e^{a}", "np.exp(a)"},
      {kLog, "\\ln(a)", "np.log(a)"},
      {kSqrt, "\\sqrt{a}", "np.sqrt(a)"},
      {kSin, "\\sin(a)", "np.sin(a)"},
      {kCos, "\\cos(a)", "np.cos(a)"},
      {kTan, "\\tan(a)", "np.tan(a)"},
      {kArcSin, "\\arcsin(a)", "np.arcsin(a)"},
      {kArcCos, "\\arccos(a)", "np.arccos(a)"},
      {kArcTan, "\\arctan(a)", "np.arctan(a)"},
      {kSquare, "{a}^2", "(a)**2"},
      {kCube, "{a}^3", "(a)**3"},
  }};
  for (const Form& f : forms) {
    CAPTURE(f.index);
    const std::vector<std::string> args = reg().entries[f.index].arity == 2
                                              ? std::vector<std::string>{"a", "b"}
                                              : std::vector<std::string>{"a"};
    CHECK(latex(f.index, args) == f.latex);
    CHECK(python(f.index, args) == f.python);
  }
}
