// Rendering formulas as LaTeX and Python/NumPy text, and the four-decimal
// format of constants and parameters.

#include <doctest/doctest.h>

#include <limits>
#include <string>

#include "ops/decimal.h"
#include "ops/registry.h"
#include "ops/render.h"
#include "test_util.h"

using namespace qarn;
using namespace qarn::test::idx;
using qarn::test::binary;
using qarn::test::kInf;
using qarn::test::kNaN;
using qarn::test::param;
using qarn::test::reg;
using qarn::test::unary;
using qarn::test::var;

namespace {

Formula tokens_only(std::vector<Token> tokens) {
  Formula f;
  f.complexity = tokens.size();
  f.tokens = std::move(tokens);
  return f;
}

}  // namespace

TEST_CASE("four-decimal format") {
  SUBCASE("ordinary values") {
    CHECK(four_decimals(0.1) == "0.1000");
    CHECK(four_decimals(2.5) == "2.5000");
    CHECK(four_decimals(-1.23456) == "-1.2346");
    CHECK(four_decimals(0.0) == "0.0000");
    CHECK(four_decimals(123456.78905) == "123456.7891");
  }
  SUBCASE("exact halfway values round to even") {
    CHECK(four_decimals(0.03125) == "0.0312");
    CHECK(four_decimals(0.09375) == "0.0938");
    CHECK(four_decimals(0.046875) == "0.0469");
    CHECK(four_decimals(-0.03125) == "-0.0312");
  }
  SUBCASE("the exact binary value decides, not its shortest decimal form") {
    // 0.00015 is stored as 0.000149999..., 2.00005 as 2.0000499999...
    CHECK(four_decimals(0.00015) == "0.0001");
    CHECK(four_decimals(2.00005) == "2.0000");
    CHECK(four_decimals(-2.00015) == "-2.0002");
    CHECK(four_decimals(0.00005) == "0.0001");
    CHECK(four_decimals(9.99995) == "10.0000");
    CHECK(four_decimals(0.99995) == "1.0000");
  }
  SUBCASE("no exponent however large") {
    CHECK(four_decimals(1e20) == "100000000000000000000.0000");
    CHECK(four_decimals(1e15) == "1000000000000000.0000");
    const std::string big = four_decimals(std::numeric_limits<double>::max());
    CHECK(big.size() == 314);
    CHECK(big.rfind("179769313486231570814527423731704356798", 0) == 0);
    CHECK(big.substr(big.size() - 5) == ".0000");
    CHECK(four_decimals(5e-324) == "0.0000");
  }
  SUBCASE("other digit counts") {
    CHECK(fixed_decimal(0.1, 60) ==
          "0.100000000000000005551115123125782702118158340454101562500000");
    CHECK(fixed_decimal(-std::numeric_limits<double>::max(), 100).size() == 411);
    CHECK(fixed_decimal(2.5, 0) == "2");
    CHECK(fixed_decimal(3.5, 0) == "4");
  }
  SUBCASE("signs, NaN and infinities") {
    CHECK(four_decimals(-0.0) == "-0.0000");
    CHECK(four_decimals(-0.00001) == "-0.0000");
    CHECK(four_decimals(kNaN) == "NaN");
    CHECK(four_decimals(-kNaN) == "NaN");
    CHECK(four_decimals(kInf) == "inf");
    CHECK(four_decimals(-kInf) == "-inf");
  }
}

TEST_CASE("rendering worked examples") {
  SUBCASE("Sin(Times(C, v_{0})) with C = 2") {
    Formula f = unary(kSin, "Sin", binary(kTimes, "Times", param(0.1), var(0)));
    f.tokens[0].value = {2.0, 0.0};
    CHECK(render_latex(f, reg()) == "\\sin(2.0000 \\cdot v_{0})");
    CHECK(render_python(f, reg()) == "np.sin((2.0000)*(v_{0}))");
    // The display text is not touched by rendering or fitting.
    CHECK(f.text == "Sin(Times(C, v_{0}))");
  }
  SUBCASE("Plus(C, Neg(v_{0})) with C = 0.5") {
    const Formula f = binary(kPlus, "Plus", param(0.5), unary(kNeg, "Neg", var(0)));
    CHECK(render_python(f, reg()) == "(0.5000)+((-(v_{0})))");
    CHECK(render_latex(f, reg()) == "0.5000 + (-(v_{0}))");
  }
  SUBCASE("LaTeX adds no parentheses around sums") {
    const Formula f = binary(kTimes, "Times", binary(kPlus, "Plus", var(0), param(0.1)), var(1));
    CHECK(render_latex(f, reg()) == "v_{0} + 0.1000 \\cdot v_{1}");
    CHECK(render_python(f, reg()) == "((v_{0})+(0.1000))*(v_{1})");
  }
  SUBCASE("QARN and nesting") {
    const Formula f = binary(kQarn, "QARN", unary(kSquare, "Square", var(0)),
                             binary(kDivide, "Divide", param(1.0), var(1)));
    CHECK(render_latex(f, reg()) == "e^{{v_{0}}^2} - \\ln(\\frac{1.0000}{v_{1}})");
    CHECK(render_python(f, reg()) == "(np.exp((v_{0})**2) - np.log(((1.0000)/(v_{1}))))");
  }
}

TEST_CASE("rendering leaves") {
  SUBCASE("named constants use the operator texts") {
    const Formula f = tokens_only({Token::named_constant(kPi, {3.141592653589793, 0.0}),
                                   Token::named_constant(kI, {0.0, 1.0}), Token::apply(2, kTimes)});
    CHECK(render_latex(f, reg()) == "\\pi \\cdot i");
    CHECK(render_python(f, reg()) == "(np.pi)*(1j)");
    const Formula e = tokens_only({Token::named_constant(kE, {2.718281828459045, 0.0})});
    CHECK(render_latex(e, reg()) == "e");
    CHECK(render_python(e, reg()) == "np.e");
  }
  SUBCASE("real constants and parameters print four decimals of the real part") {
    CHECK(render_latex(tokens_only({Token::real_constant(-1.23456)}), reg()) == "-1.2346");
    CHECK(render_python(tokens_only({Token::parameter(0, {1.5, 2.0})}), reg()) == "1.5000");
    const Formula neg_zero = tokens_only({Token::parameter(0, {-0.0, 0.0})});
    CHECK(render_latex(neg_zero, reg()) == "-0.0000");
    CHECK(render_python(neg_zero, reg()) == "-0.0000");
    CHECK(render_latex(tokens_only({Token::parameter(0, {kNaN, 0.0})}), reg()) == "NaN");
  }
  SUBCASE("variable indices print in decimal") {
    CHECK(render_latex(var(7), reg()) == "v_{7}");
    CHECK(render_python(var(200), reg()) == "v_{200}");
    CHECK(render_latex(var(65), reg()) == "v_{65}");  // not the character 'A'
  }
}

TEST_CASE("rendering malformed token lists") {
  SUBCASE("an empty list renders the empty text") {
    CHECK(render_latex(Formula{}, reg()).empty());
    CHECK(render_python(Formula{}, reg()).empty());
  }
  SUBCASE("with two texts left the top one is returned") {
    const Formula f = tokens_only({Token::variable(0), Token::variable(1)});
    CHECK(render_latex(f, reg()) == "v_{1}");
    CHECK(render_python(f, reg()) == "v_{1}");
    const Formula g = tokens_only({Token::variable(0), Token::variable(1), Token::apply(1, kSin)});
    CHECK(render_latex(g, reg()) == "\\sin(v_{1})");
  }
  SUBCASE("an operator never takes more texts than the stack holds") {
    const Formula f = tokens_only({Token::variable(0), Token::apply(2, kPlus)});
    CHECK_NOTHROW(render_latex(f, reg()));
    CHECK_NOTHROW(render_python(f, reg()));
    const Formula g = tokens_only({Token::apply(1, kSin), Token::apply(2, kPlus)});
    CHECK_NOTHROW(render_latex(g, reg()));
  }
}
