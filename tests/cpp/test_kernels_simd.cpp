// The two-row (SSE2) forms of the arithmetic kernels against the scalar
// kernels they stand for, bit for bit: values, signed zeros, whether the
// kernel has a value and whether the value passes the range check. A NaN
// part only has to be NaN: with two NaN operands the compiler may put either
// first in a commutative product or sum, in the scalar code too, so the sign
// and payload of a NaN are not fixed; a NaN never passes the range check, so
// no result depends on them.

#include <doctest/doctest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "ops/batch_evaluate.h"
#include "ops/data_columns.h"
#include "ops/evaluate.h"
#include "ops/kernels.h"
#include "ops/kernels_simd.h"
#include "test_util.h"

using namespace qarn;
using qarn::test::kInf;
using qarn::test::kNaN;
using qarn::test::same_bits;
using qarn::test::same_value;

namespace {

// Parts at every edge the kernels and the range check meet: signed zeros,
// subnormals, the magnitude bound and its neighbours, overflow in products,
// infinities and NaN of both signs with payloads.
const std::vector<double> kParts = {0.0,
                                    -0.0,
                                    4.9406564584124654e-324,
                                    -2.2250738585072009e-308,
                                    1e-300,
                                    1.0,
                                    -1.0,
                                    0.5,
                                    -2.75,
                                    1e15,
                                    -1e15,
                                    std::nextafter(1e15, 0.0),
                                    -std::nextafter(1e15, 2e15),
                                    3.2e7,
                                    1e200,
                                    -1.7976931348623157e308,
                                    kInf,
                                    -kInf,
                                    kNaN,
                                    -kNaN,
                                    std::bit_cast<double>(std::uint64_t{0x7ff4000000000123})};

// Values from the edge parts, then random ones: ordinary magnitudes and raw
// bit patterns (every class of double, NaN payloads included).
std::vector<Complex> operands(std::uint64_t seed, std::size_t random_count) {
  std::vector<Complex> zs;
  for (const double re : kParts) {
    for (const double im : kParts) zs.push_back({re, im});
  }
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ordinary(-4.0, 4.0);
  for (std::size_t i = 0; i < random_count; ++i) {
    if (i % 2 == 0) {
      zs.push_back({ordinary(rng), ordinary(rng)});
    } else {
      zs.push_back({std::bit_cast<double>(rng()), std::bit_cast<double>(rng())});
    }
  }
  return zs;
}

#if QARN_KERNELS_SSE2

// Scalar kernel `k` as the batch loop uses it: value (zero where the kernel
// has none) and whether the row keeps a value.
template <auto k, typename... Z>
std::pair<Complex, bool> scalar(Z... z) {
  Complex out{};
  const bool good = k(z..., out) && kernels::in_range(out);
  return {out, good};
}

// The two-row form of `k` on lanes (x0, x1) [and (y0, y1)]: compares each
// lane with the scalar kernel.
template <auto k>
void check_unary(const std::vector<Complex>& zs) {
  namespace pair = kernels::pair;
  for (std::size_t i = 0; i + 1 < zs.size(); ++i) {
    const std::array<Complex, 2> x{zs[i], zs[zs.size() - 1 - i]};
    const pair::Result r = pair::Of<k>::fn(pair::load(x.data()));
    const unsigned good = r.has_value & pair::in_range(r.value);
    std::array<Complex, 2> got;
    pair::store(got.data(), r.value);
    for (int lane = 0; lane < 2; ++lane) {
      const auto [want, want_good] = scalar<k>(x[lane]);
      CAPTURE(x[lane]);
      REQUIRE(same_value(got[lane], want));
      REQUIRE(((good >> lane) & 1u) == unsigned{want_good});
    }
  }
}

template <auto k>
void check_binary(const std::vector<Complex>& zs) {
  namespace pair = kernels::pair;
  const std::size_t n = zs.size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j + 1 < n; j += 2) {
      // Lanes pair different rows of both operands.
      const std::array<Complex, 2> x{zs[i], zs[(i * 7 + j) % n]};
      const std::array<Complex, 2> y{zs[j], zs[j + 1]};
      const pair::Result r = pair::Of<k>::fn(pair::load(x.data()), pair::load(y.data()));
      const unsigned good = r.has_value & pair::in_range(r.value);
      std::array<Complex, 2> got;
      pair::store(got.data(), r.value);
      for (int lane = 0; lane < 2; ++lane) {
        const auto [want, want_good] = scalar<k>(x[lane], y[lane]);
        CAPTURE(x[lane]);
        CAPTURE(y[lane]);
        REQUIRE(same_value(got[lane], want));
        REQUIRE(((good >> lane) & 1u) == unsigned{want_good});
      }
    }
  }
}

TEST_CASE("two-row kernels give the scalar kernels' bits lane by lane") {
  const std::vector<Complex> zs = operands(20, 600);
  check_binary<&kernels::plus>(zs);
  check_binary<&kernels::subtract>(zs);
  check_binary<&kernels::times>(zs);
  check_binary<&kernels::divide>(zs);
  const std::vector<Complex> many = operands(21, 200000);
  check_unary<&kernels::neg>(many);
  check_unary<&kernels::inv>(many);
  check_unary<&kernels::square>(many);
  check_unary<&kernels::cube>(many);
}

#endif

}  // namespace

// The batch loops around the two-row forms and Qarn's loops with exp or ln of
// a uniform operand computed once: operands per row or uniform,
// blocks of odd and even length (a scalar last row), a target that is the
// first operand's storage (chained operators), and flags of rows without a
// variable or without a value; run_recorded's values where they lie are
// run's copies, also where its later blocks take the operators on uniform
// operands from the block before.
TEST_CASE("batch arithmetic matches evaluate on edge values, every operand layout") {
  using namespace qarn::test;
  const OperatorRegistry& r = reg();
  const std::vector<Complex> zs = operands(22, 300);
  std::vector<std::vector<Complex>> rows;
  for (std::size_t i = 0; i < zs.size(); ++i) {
    // Every fifth row lacks its second variable.
    if (i % 5 == 3) {
      rows.push_back({zs[i]});
    } else {
      rows.push_back({zs[i], zs[(i * 13 + 5) % zs.size()]});
    }
  }
  const DataColumns data(rows);
  const Formula x = var(0);
  const Formula y = var(1);
  const Formula c = param(0.0);
  std::vector<Formula> formulas;
  for (const auto& [index, name] :
       std::vector<std::pair<std::uint64_t, const char*>>{{idx::kPlus, "Plus"},
                                                          {idx::kSubtract, "Subtract"},
                                                          {idx::kTimes, "Times"},
                                                          {idx::kDivide, "Divide"},
                                                          {idx::kQarn, "Qarn"}}) {
    formulas.push_back(binary(index, name, x, y));
    formulas.push_back(binary(index, name, x, c));
    formulas.push_back(binary(index, name, c, y));
    formulas.push_back(binary(index, name, binary(idx::kTimes, "Times", x, y), y));
    formulas.push_back(binary(index, name, c, c));
  }
  for (const auto& [index, name] :
       std::vector<std::pair<std::uint64_t, const char*>>{{idx::kNeg, "Neg"},
                                                          {idx::kInv, "Inv"},
                                                          {idx::kSquare, "Square"},
                                                          {idx::kCube, "Cube"}}) {
    formulas.push_back(unary(index, name, y));
    formulas.push_back(unary(index, name, binary(idx::kDivide, "Divide", x, y)));
  }
  BatchEvaluator batch;
  BatchEvaluator viewer;
  std::array<Complex, BatchEvaluator::kBlock> out;
  std::array<std::uint8_t, BatchEvaluator::kBlock> ok;
  std::size_t with_value = 0;
  for (const Formula& f : formulas) {
    CAPTURE(f.text);
    for (const std::size_t block : {std::size_t{1}, std::size_t{7}, BatchEvaluator::kBlock}) {
      for (const Complex p : {Complex{0.0, 0.0}, Complex{-0.0, 2.5}, Complex{kInf, 1.0}}) {
        const std::vector<Complex> params(f.param_count, p);
        for (std::size_t begin = 0; begin < rows.size(); begin += block) {
          const std::size_t count = std::min(block, rows.size() - begin);
          out.fill(Complex{});
          ok.fill(0xAA);
          batch.run(f.tokens, data, begin, count, params, r, out.data(), ok.data());
          const BatchEvaluator::Operand view = viewer.run_recorded(
              f.tokens, data, begin, count, params, r, nullptr, nullptr, nullptr, begin > 0);
          for (std::size_t i = 0; i < count; ++i) {
            const std::optional<Complex> single = evaluate(f.tokens, rows[begin + i], params, r);
            CAPTURE(begin + i);
            REQUIRE(int(ok[i]) == (single.has_value() ? 1 : 0));
            const std::size_t at = view.uniform ? 0 : i;
            REQUIRE(int(view.ok[at]) == int(ok[i]));
            if (single) {
              ++with_value;
              REQUIRE(same_bits(out[i], *single));
              REQUIRE(same_bits(view.values[at], *single));
            }
          }
        }
      }
    }
  }
  CHECK(with_value > 0);
}
