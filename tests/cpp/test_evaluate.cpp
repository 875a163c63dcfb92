// The formula evaluator: stack discipline, leaves, the exclusive 1e15
// screening of operator results, the real-valued evaluation, and agreement of
// the batch evaluator with the one-point evaluator bit for bit.

#include <doctest/doctest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "ops/batch_evaluate.h"
#include "ops/builtin.h"
#include "ops/data_columns.h"
#include "ops/evaluate.h"
#include "ops/registry.h"
#include "test_util.h"

using namespace qarn;
using namespace qarn::test::idx;
using qarn::test::binary;
using qarn::test::kInf;
using qarn::test::kNaN;
using qarn::test::param;
using qarn::test::reg;
using qarn::test::same_bits;
using qarn::test::unary;
using qarn::test::var;

namespace {

std::optional<Complex> eval(const std::vector<Token>& tokens, std::vector<Complex> inputs,
                            std::vector<Complex> params = {}) {
  return evaluate(tokens, inputs, params, reg());
}

Token plus() { return Token::apply(2, kPlus); }
Token real(double c) { return Token::real_constant(c); }
Token parameter(std::uint8_t slot, Complex v) { return Token::parameter(slot, v); }

}  // namespace

TEST_CASE("evaluate: stack discipline") {
  SUBCASE("an empty token list has no value") {
    CHECK_FALSE(eval({}, {}).has_value());
    CHECK_FALSE(eval({}, {{1.0, 0.0}}).has_value());
  }
  SUBCASE("two values left over fail") {
    CHECK_FALSE(eval({real(1.0), real(2.0)}, {}).has_value());
    CHECK_FALSE(eval({Token::variable(0), Token::variable(0)}, {{1.0, 0.0}}).has_value());
  }
  SUBCASE("an operator with too few values below it fails") {
    CHECK_FALSE(eval({real(1.0), plus()}, {}).has_value());
    CHECK_FALSE(eval({Token::apply(1, kSin)}, {}).has_value());
  }
  SUBCASE("the deepest value is argument 0") {
    const auto d = eval({Token::variable(0), Token::variable(1), Token::apply(2, kSubtract)},
                        {{5.0, 0.0}, {2.0, 0.0}});
    REQUIRE(d.has_value());
    CHECK(same_bits(*d, {3.0, 0.0}));
    const auto q = eval({real(2.0), real(8.0), Token::apply(2, kDivide)}, {});
    REQUIRE(q.has_value());
    CHECK(same_bits(*q, {0.25, 0.0}));
  }
  SUBCASE("a failing operator abandons the evaluation even if later ones would recover") {
    // Times(0, Inv(0)): Inv fails, the product is never formed.
    CHECK_FALSE(eval({real(0.0), real(0.0), Token::apply(1, kInv), Token::apply(2, kTimes)}, {})
                    .has_value());
    // Inv(Inv(1e-320)): the inner result is infinite and fails, although the
    // outer Inv would have turned it into zero.
    CHECK_FALSE(eval({real(1e-320), Token::apply(1, kInv), Token::apply(1, kInv)}, {}).has_value());
  }
  SUBCASE("long formulas beyond any fixed-size scratch") {
    // 40 variables summed: the stack gets 40 deep.
    std::vector<Token> deep(40, Token::variable(0));
    for (int i = 0; i < 39; ++i) deep.push_back(plus());
    const auto s = eval(deep, {{0.25, 0.0}});
    REQUIRE(s.has_value());
    CHECK(same_bits(*s, {10.0, 0.0}));
    // 100 negations of one value.
    std::vector<Token> chain{real(1.5)};
    for (int i = 0; i < 100; ++i) chain.push_back(Token::apply(1, kNeg));
    const auto c = eval(chain, {});
    REQUIRE(c.has_value());
    CHECK(same_bits(*c, {1.5, 0.0}));
  }
}

TEST_CASE("evaluate: leaves") {
  SUBCASE("a missing variable fails") {
    CHECK_FALSE(eval({Token::variable(1)}, {{1.0, 0.0}}).has_value());
    CHECK_FALSE(eval({Token::variable(0)}, {}).has_value());
    const auto v = eval({Token::variable(1)}, {{1.0, 0.0}, {2.0, -3.0}});
    REQUIRE(v.has_value());
    CHECK(same_bits(*v, {2.0, -3.0}));
  }
  SUBCASE("parameters read the vector where it reaches, else their stored value") {
    const std::vector<Complex> params{{10.0, 0.0}, {20.0, 0.0}};
    const auto beyond = eval({parameter(3, {7.0, 1.0})}, {}, params);
    REQUIRE(beyond.has_value());
    CHECK(same_bits(*beyond, {7.0, 1.0}));
    const auto inside = eval({parameter(1, {7.0, 1.0})}, {}, params);
    REQUIRE(inside.has_value());
    CHECK(same_bits(*inside, {20.0, 0.0}));
    const auto absent = eval({parameter(0, {-0.0, 2.0})}, {});
    REQUIRE(absent.has_value());
    CHECK(same_bits(*absent, {-0.0, 2.0}));
    // Mixed in one formula: slot 0 overridden, slot 3 stored.
    const auto mixed =
        eval({parameter(0, {1.0, 0.0}), parameter(3, {0.5, 0.0}), plus()}, {}, params);
    REQUIRE(mixed.has_value());
    CHECK(same_bits(*mixed, {10.5, 0.0}));
  }
  SUBCASE("named constants push their cached value without asking the registry") {
    const auto v = eval({Token::named_constant(kPi, {7.0, -1.0})}, {});
    REQUIRE(v.has_value());
    CHECK(same_bits(*v, {7.0, -1.0}));
  }
  SUBCASE("real constants have a zero imaginary part") {
    const auto v = eval({real(-0.0)}, {});
    REQUIRE(v.has_value());
    CHECK(same_bits(*v, {-0.0, 0.0}));
  }
  SUBCASE("leaves are not screened") {
    const auto huge = eval({Token::variable(0)}, {{1e300, kNaN}});
    REQUIRE(huge.has_value());
    CHECK(huge->re == 1e300);
    CHECK(std::isnan(huge->im));
    const auto inf = eval({parameter(0, {kInf, 0.0})}, {});
    REQUIRE(inf.has_value());
    CHECK(inf->re == kInf);
    const auto bound = eval({real(1e15)}, {});
    REQUIRE(bound.has_value());
    CHECK(bound->re == 1e15);
  }
}

TEST_CASE("evaluate: operator results are screened with an exclusive 1e15 bound") {
  // Plus(p, 0) passes p through an operator, so the result is screened.
  const auto through = [](Complex p) { return eval({parameter(0, p), real(0.0), plus()}, {}); };
  const double below = std::nextafter(1e15, 0.0);
  CHECK_FALSE(through({1e15, 0.0}).has_value());
  CHECK_FALSE(through({-1e15, 0.0}).has_value());
  CHECK_FALSE(through({0.0, 1e15}).has_value());
  CHECK_FALSE(through({0.0, -1e15}).has_value());
  CHECK(through({below, -below}).has_value());
  const auto ok = through({1e14, -1e14});
  REQUIRE(ok.has_value());
  CHECK(same_bits(*ok, {1e14, -1e14}));
  CHECK_FALSE(through({1.0, kNaN}).has_value());
  CHECK_FALSE(through({kNaN, 1.0}).has_value());
  CHECK_FALSE(through({kInf, 0.0}).has_value());
  CHECK_FALSE(through({0.0, -kInf}).has_value());
  // Tan just below pi/2 exists as an operator value but is out of range here.
  CHECK_FALSE(eval({real(3.141592653589793 / 2), Token::apply(1, kTan)}, {}).has_value());
}

TEST_CASE("evaluate with a reused caller-owned stack") {
  const Formula f = binary(kDivide, "Divide", var(0), var(1));
  std::vector<Complex> stack(1, Complex{kNaN, kNaN});  // too small and dirty
  const std::array<std::array<Complex, 2>, 3> rows{{{Complex{1.0, 0.0}, Complex{2.0, 0.0}},
                                                    {Complex{1.0, 0.0}, Complex{0.0, -0.0}},
                                                    {Complex{3.0, 0.0}, Complex{4.0, 0.0}}}};
  const auto a = evaluate(f.tokens, rows[0], {}, reg(), stack);
  const auto b = evaluate(f.tokens, rows[1], {}, reg(), stack);
  const auto c = evaluate(f.tokens, rows[2], {}, reg(), stack);
  REQUIRE(a.has_value());
  CHECK(same_bits(*a, {0.5, 0.0}));
  // Divide by zero fails at this point only.
  CHECK_FALSE(b.has_value());
  REQUIRE(c.has_value());
  CHECK(same_bits(*c, {0.75, 0.0}));
}

TEST_CASE("evaluate_real") {
  SUBCASE("worked example: Sin(Times(C, v_{0})) with C fitted to 2") {
    Formula f = unary(kSin, "Sin", binary(kTimes, "Times", param(0.1), var(0)));
    f.tokens[0].value = {2.0, 0.0};
    const std::array<double, 1> x{0.5};
    CHECK(same_bits(evaluate_real(f, reg(), x), std::sin(1.0)));
  }
  SUBCASE("the imaginary part is dropped") {
    const Formula f = unary(kSqrt, "Sqrt", var(0));
    const std::array<double, 1> x{-4.0};
    CHECK(same_bits(evaluate_real(f, reg(), x), 0.0));
    const Formula g = unary(kLog, "Log", var(0));
    const std::array<double, 1> y{-1.0};
    CHECK(same_bits(evaluate_real(g, reg(), y), 0.0));
  }
  SUBCASE("failures give NaN") {
    const Formula f = binary(kPlus, "Plus", var(0), var(1));
    const std::array<double, 1> one{1.0};
    CHECK(std::isnan(evaluate_real(f, reg(), one)));
    CHECK(std::isnan(evaluate_real(f, reg(), std::span<const double>{})));
    const Formula inv = unary(kInv, "Inv", var(0));
    const std::array<double, 1> zero{0.0};
    const std::array<double, 1> neg_zero{-0.0};
    const std::array<double, 1> two{2.0};
    CHECK(std::isnan(evaluate_real(inv, reg(), zero)));
    CHECK(std::isnan(evaluate_real(inv, reg(), neg_zero)));
    CHECK(evaluate_real(inv, reg(), two) == 0.5);
    CHECK(std::isnan(evaluate_real(Formula{}, reg(), two)));
  }
  SUBCASE("stored parameter values are used") {
    const Formula f = binary(kPlus, "Plus", param(0.1), param(0.1));
    Formula g = f;
    g.tokens[1].value = {2.0, 5.0};
    const std::array<double, 0> none{};
    CHECK(evaluate_real(g, reg(), none) == 2.1);
  }
  SUBCASE("extra inputs are ignored") {
    const std::array<double, 3> xs{1.0, 2.0, 3.0};
    CHECK(evaluate_real(var(1), reg(), xs) == 2.0);
  }
}

// ---------------------------------------------------------------------------
// Batch evaluator against the one-point evaluator.

namespace {

// A registry-only operator: the evaluators must reach it through the virtual
// interface. Three arguments, undefined where the first is exactly 1.
class Blend final : public Operator {
 public:
  void describe(std::ostream& out) const override { out << "Blend"; }
  std::string name() const override { return "Blend"; }
  std::uint8_t arity() const override { return 3; }
  bool is_commutative() const override { return false; }
  std::optional<Complex> eval(std::span<const Complex> args) const override {
    if (args[0].re == 1.0) return std::nullopt;
    return add(mul(args[0], args[1]), sub(args[2], args[0]));
  }
  std::string latex(std::span<const std::string> args) const override { return args[0]; }
  std::string python(std::span<const std::string> args) const override { return args[0]; }
};

OperatorRegistry extended_registry() {
  OperatorRegistry r = builtin_registry();
  r.register_operator(std::make_unique<Blend>());
  return r;
}

// Values that hit the special cases of the arithmetic and of the screening.
const std::vector<double>& special_values() {
  static const std::vector<double> v{0.0,
                                     -0.0,
                                     1.0,
                                     -1.0,
                                     0.5,
                                     2.0,
                                     -4.0,
                                     1.5707963267948966,
                                     3.141592653589793,
                                     1e15,
                                     -1e15,
                                     std::nextafter(1e15, 0.0),
                                     -std::nextafter(1e15, 0.0),
                                     1e14,
                                     -1e14,
                                     3.2e7,
                                     1e8,
                                     1e-320,
                                     5e-324,
                                     700.0,
                                     710.0,
                                     -745.0,
                                     kInf,
                                     -kInf,
                                     kNaN,
                                     std::numeric_limits<double>::max()};
  return v;
}

class Generator {
 public:
  Generator(std::uint64_t seed, const OperatorRegistry& registry)
      : rng_(seed), registry_(registry) {
    unary_ = registry.operators_with_arity(1);
    binary_ = registry.operators_with_arity(2);
    ternary_ = registry.operators_with_arity(3);
  }

  double number() {
    switch (pick(4)) {
      case 0:
      case 1:
        return special_values()[pick(special_values().size())];
      case 2:
        return std::uniform_real_distribution<double>(-3.0, 3.0)(rng_);
      default:
        return std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(rng_),
                          static_cast<int>(pick(120)) - 60);
    }
  }

  Complex complex_number() {
    switch (pick(3)) {
      case 0:
        return {number(), 0.0};
      case 1:
        return {number(), -0.0};
      default:
        return {number(), number()};
    }
  }

  // A well-formed postfix formula of about `budget` tokens.
  std::vector<Token> formula(int budget, std::uint8_t max_var) {
    std::vector<Token> out;
    slots_ = 0;
    grow(out, budget, max_var);
    return out;
  }

  std::uint8_t param_slots() const { return slots_; }

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

 private:
  void leaf(std::vector<Token>& out, std::uint8_t max_var) {
    switch (pick(6)) {
      case 0: {
        const std::size_t c = pick(5);
        const auto& op = static_cast<const ConstOp&>(*registry_.operators[c]);
        out.push_back(Token::named_constant(c, op.value()));
        break;
      }
      case 1:
        out.push_back(Token::real_constant(number()));
        break;
      case 2:
      case 3:
        out.push_back(Token::parameter(slots_++, complex_number()));
        break;
      case 4:
        // A constant applied as a zero-argument operator.
        out.push_back(Token::apply(0, pick(5)));
        break;
      default:
        out.push_back(Token::variable(static_cast<std::uint8_t>(pick(max_var + 1u))));
        break;
    }
  }

  void grow(std::vector<Token>& out, int budget, std::uint8_t max_var) {
    if (budget <= 1) return leaf(out, max_var);
    const std::size_t kind = pick(ternary_.empty() ? 9 : 10);
    if (kind < 4) {
      grow(out, budget - 1, max_var);
      out.push_back(Token::apply(1, unary_[pick(unary_.size())]));
    } else if (kind < 9 || budget < 4) {
      const int left = 1 + static_cast<int>(pick(static_cast<std::size_t>(budget - 1)));
      grow(out, left, max_var);
      grow(out, budget - 1 - left, max_var);
      out.push_back(Token::apply(2, binary_[pick(binary_.size())]));
    } else {
      const int a = 1 + static_cast<int>(pick(static_cast<std::size_t>(budget - 3)));
      const int b = 1 + static_cast<int>(pick(static_cast<std::size_t>(budget - 2 - a)));
      grow(out, a, max_var);
      grow(out, b, max_var);
      grow(out, budget - 1 - a - b, max_var);
      out.push_back(Token::apply(3, ternary_[pick(ternary_.size())]));
    }
  }

  std::mt19937_64 rng_;
  const OperatorRegistry& registry_;
  std::vector<std::size_t> unary_, binary_, ternary_;
  std::uint8_t slots_ = 0;
};

// Runs one formula over all rows in blocks and compares every row with the
// one-point evaluator. Returns the number of rows that had a value.
std::size_t compare_batch(BatchEvaluator& batch, const std::vector<Token>& tokens,
                          const std::vector<std::vector<Complex>>& rows, const DataColumns& data,
                          const std::vector<Complex>& params, const OperatorRegistry& registry,
                          std::size_t block) {
  std::size_t with_value = 0;
  std::array<Complex, BatchEvaluator::kBlock> out;
  std::array<std::uint8_t, BatchEvaluator::kBlock> ok;
  for (std::size_t begin = 0; begin < rows.size(); begin += block) {
    const std::size_t count = std::min(block, rows.size() - begin);
    out.fill(Complex{});
    ok.fill(0xAA);
    batch.run(tokens, data, begin, count, params, registry, out.data(), ok.data());
    for (std::size_t i = 0; i < count; ++i) {
      const std::optional<Complex> single = evaluate(tokens, rows[begin + i], params, registry);
      CAPTURE(begin + i);
      REQUIRE(int(ok[i]) == (single.has_value() ? 1 : 0));
      if (single) {
        ++with_value;
        REQUIRE(std::memcmp(&out[i], &*single, sizeof(Complex)) == 0);
      }
    }
  }
  return with_value;
}

}  // namespace

TEST_CASE("BatchEvaluator matches evaluate bit for bit") {
  const OperatorRegistry registry = extended_registry();
  BatchEvaluator batch;  // reused across formulas and data sets on purpose
  std::size_t rows_with_value = 0;
  std::size_t rows_total = 0;

  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    Generator gen(seed, registry);
    CAPTURE(seed);

    // Rows of random lengths (ragged in most data sets), values biased
    // towards the special cases.
    const std::size_t n_rows = 1 + gen.pick(200);
    const bool ragged = gen.pick(3) != 0;
    const std::size_t width = gen.pick(4);
    std::vector<std::vector<Complex>> rows(n_rows);
    for (auto& row : rows) {
      row.resize(ragged ? gen.pick(width + 2) : width);
      for (Complex& v : row) v = gen.complex_number();
    }
    const DataColumns data(rows);
    REQUIRE(data.rows() == n_rows);

    for (int f = 0; f < 40; ++f) {
      const int budget = 1 + static_cast<int>(gen.pick(f % 4 == 0 ? 60 : 14));
      const std::vector<Token> tokens = gen.formula(budget, static_cast<std::uint8_t>(width + 1));
      std::vector<Complex> params;
      switch (gen.pick(3)) {
        case 0:
          break;  // stored values
        case 1:
          params.resize(gen.param_slots());
          break;
        default:
          params.resize(gen.pick(gen.param_slots() + 1u));
          break;  // partly covered
      }
      for (Complex& p : params) p = gen.complex_number();
      const std::size_t block =
          gen.pick(2) == 0 ? BatchEvaluator::kBlock : 1 + gen.pick(BatchEvaluator::kBlock);
      rows_with_value += compare_batch(batch, tokens, rows, data, params, registry, block);
      rows_total += n_rows;
    }
  }
  // The comparison is only meaningful if both outcomes occur often.
  CHECK(rows_with_value > rows_total / 20);
  CHECK(rows_with_value < rows_total - rows_total / 20);
}

TEST_CASE("BatchEvaluator: fixed cases") {
  const OperatorRegistry& r = reg();
  BatchEvaluator batch;
  std::array<Complex, BatchEvaluator::kBlock> out{};
  std::array<std::uint8_t, BatchEvaluator::kBlock> ok{};

  SUBCASE("Divide by zero fails only its own row") {
    const std::vector<std::vector<Complex>> rows{{{1.0, 0.0}, {2.0, 0.0}},
                                                 {{1.0, 0.0}, {0.0, 0.0}},
                                                 {{1.0, 0.0}, {-0.0, -0.0}},
                                                 {{3.0, 0.0}, {4.0, 0.0}}};
    const DataColumns data(rows);
    const Formula f = binary(kDivide, "Divide", var(0), var(1));
    batch.run(f.tokens, data, 0, rows.size(), {}, r, out.data(), ok.data());
    CHECK(ok[0] == 1);
    CHECK(ok[1] == 0);
    CHECK(ok[2] == 0);
    CHECK(ok[3] == 1);
    CHECK(same_bits(out[0], {0.5, 0.0}));
    CHECK(same_bits(out[3], {0.75, 0.0}));
  }
  SUBCASE("ragged rows fail where the variable is missing") {
    const std::vector<std::vector<Complex>> rows{{{1.0, 0.0}}, {{1.0, 0.0}, {2.0, 0.0}}, {}};
    const DataColumns data(rows);
    CHECK_FALSE(data.has(0, 1));
    CHECK(data.has(1, 1));
    CHECK(data.vars() == 2);
    const Formula f = unary(kNeg, "Neg", var(1));
    batch.run(f.tokens, data, 0, rows.size(), {}, r, out.data(), ok.data());
    CHECK(ok[0] == 0);
    CHECK(ok[1] == 1);
    CHECK(ok[2] == 0);
    CHECK(same_bits(out[1], {-2.0, -0.0}));
    // A variable beyond every row fails all rows.
    const Formula g = var(2);
    batch.run(g.tokens, data, 0, rows.size(), {}, r, out.data(), ok.data());
    CHECK(ok[0] == 0);
    CHECK(ok[1] == 0);
    CHECK(ok[2] == 0);
  }
  SUBCASE("malformed stacks fail every row") {
    const std::vector<std::vector<Complex>> rows{{{1.0, 0.0}}, {{2.0, 0.0}}};
    const DataColumns data(rows);
    const std::vector<Token> two_left{Token::variable(0), Token::variable(0)};
    batch.run(two_left, data, 0, 2, {}, r, out.data(), ok.data());
    CHECK(ok[0] == 0);
    CHECK(ok[1] == 0);
    batch.run(std::vector<Token>{}, data, 0, 2, {}, r, out.data(), ok.data());
    CHECK(ok[0] == 0);
    CHECK(ok[1] == 0);
  }
  SUBCASE("a block in the middle of the data") {
    std::vector<std::vector<Complex>> rows;
    for (int i = 0; i < 150; ++i) rows.push_back({{double(i), 0.0}});
    const DataColumns data(rows);
    const Formula f = unary(kSquare, "Square", var(0));
    batch.run(f.tokens, data, 100, 50, {}, r, out.data(), ok.data());
    for (int i = 0; i < 50; ++i) {
      CHECK(ok[i] == 1);
      CHECK(same_bits(out[i].re, double((100 + i) * (100 + i))));
    }
  }
}

TEST_CASE("BatchEvaluator: operators on row-independent operands match evaluate on every row") {
  // An operator whose operands are parameters and constants alone sees the
  // same values on every row; each row must still get exactly its one-point
  // value and flag, also where that operator feeds one that reads the rows.
  const OperatorRegistry& r = reg();
  std::vector<std::vector<Complex>> rows;
  for (int i = 0; i < 70; ++i) rows.push_back({{0.25 * i - 8.0, i % 3 == 0 ? -0.0 : 0.0}});
  const DataColumns data(rows);
  BatchEvaluator batch;
  const std::vector<double>& edges = special_values();
  std::size_t with_value = 0;
  std::size_t total = 0;
  std::size_t k = 0;
  for (const double re : edges) {
    for (const double im : {0.0, -0.0, 0.5}) {
      const Token p = Token::parameter(0, {re, im});
      for (const std::size_t u : r.operators_with_arity(1)) {
        std::vector<std::vector<Token>> formulas{{p, Token::apply(1, u)}};
        for (const std::size_t b : r.operators_with_arity(2)) {
          const Token q = Token::parameter(1, {edges[k++ % edges.size()], 0.0});
          formulas.push_back({p, Token::apply(1, u), Token::variable(0), Token::apply(2, b)});
          formulas.push_back({Token::variable(0), p, Token::apply(1, u), Token::apply(2, b)});
          formulas.push_back({p, Token::apply(1, u), q, Token::apply(2, b)});
        }
        for (const std::vector<Token>& tokens : formulas) {
          CAPTURE(re);
          CAPTURE(im);
          CAPTURE(u);
          with_value += compare_batch(batch, tokens, rows, data, {}, r, BatchEvaluator::kBlock);
          total += rows.size();
        }
      }
    }
  }
  CHECK(with_value > total / 10);
  CHECK(with_value < total - total / 10);
}
