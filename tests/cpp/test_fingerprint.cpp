#include <doctest/doctest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <tbb/parallel_for.h>

#include "engine/fingerprint.h"
#include "engine/fingerprint_set.h"
#include "ops/registry.h"

namespace qarn {
namespace {

// Built-in registry indices used below.
constexpr std::uint64_t kInv = 7;
constexpr std::uint64_t kTimes = 9;
constexpr std::uint64_t kSubtract = 10;
constexpr std::uint64_t kSin = 15;
constexpr std::uint64_t kSquare = 21;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

Formula make(std::vector<Token> tokens, std::uint8_t var_count) {
  Formula f;
  f.complexity = tokens.size();
  f.tokens = std::move(tokens);
  f.var_count = var_count;
  for (const Token& t : f.tokens) f.param_count += t.kind == TokenKind::Parameter;
  return f;
}

ProbeValues all_values(Complex v) {
  ProbeValues values;
  for (auto& x : values) x = v;
  return values;
}

}  // namespace

TEST_CASE("fingerprint probe inputs and rounding") {
  SUBCASE("real probes rotate the constants, odd probes add 0.1 per variable") {
    CHECK(probe_input(0, 0) == Complex{kProbes[0], 0.0});
    CHECK(probe_input(2, 4) == Complex{kProbes[1], 0.0});  // (2 + 4) mod 5
    CHECK(probe_input(1, 0) == Complex{kProbes[1], 0.1});
    // (i + 1) * 0.1 as written, not the literal 0.3.
    CHECK(probe_input(3, 2) == Complex{kProbes[0], 3.0 * 0.1});
    CHECK(probe_input(3, 2).im != 0.3);
    CHECK(probe_input(1, 254) == Complex{kProbes[0], 255.0 * 0.1});
  }
  SUBCASE("half away from zero") {
    CHECK(round_saturate(2.5) == 3);
    CHECK(round_saturate(-2.5) == -3);
    CHECK(round_saturate(0.49999999999999994) == 0);
    CHECK(round_saturate(-0.0) == 0);
    CHECK(round_saturate(1e9) == 1000000000);
  }
  SUBCASE("saturation at the int64 range") {
    CHECK(round_saturate(9223372036854774784.0) == 9223372036854774784);  // largest double < 2^63
    CHECK(round_saturate(9223372036854775808.0) == kMax);                 // 2^63
    CHECK(round_saturate(-9223372036854775808.0) == kMin);                // -2^63 is exact
    CHECK(round_saturate(-9223372036854777856.0) == kMin);                // below -2^63
    CHECK(round_saturate(1e300) == kMax);
    CHECK(round_saturate(-std::numeric_limits<double>::infinity()) == kMin);
  }
}

TEST_CASE("fingerprint of formulas") {
  const OperatorRegistry registry = builtin_registry();
  const Formula v0 = make({Token::variable(0)}, 1);

  SUBCASE("Square(v0) and Times(v0, v0) compute the same function") {
    const Formula square = make({Token::variable(0), Token::apply(1, kSquare)}, 1);
    const Formula times =
        make({Token::variable(0), Token::variable(0), Token::apply(2, kTimes)}, 1);
    const auto a = fingerprint(square, registry);
    const auto b = fingerprint(times, registry);
    REQUIRE(a);
    REQUIRE(b);
    CHECK(*a == *b);
    CHECK(*a != *fingerprint(v0, registry));
  }
  SUBCASE("a bare variable gives its probe inputs scaled by 1e10") {
    const auto fp = fingerprint(v0, registry);
    REQUIRE(fp);
    for (std::size_t p = 0; p < kProbeCount; ++p) {
      CHECK(fp->parts[2 * p] == round_saturate(kProbes[p] * 1e10));
      CHECK(fp->parts[2 * p + 1] == (p % 2 == 0 ? 0 : 1000000000));
    }
  }
  SUBCASE("the second variable reads the rotated probe") {
    const auto fp = fingerprint(make({Token::variable(1)}, 2), registry);
    REQUIRE(fp);
    CHECK(fp->parts[0] == round_saturate(kProbes[1] * 1e10));
    CHECK(fp->parts[3] == 2000000000);  // probe 1, variable 1: im 0.2
    CHECK(fp->parts[8] == round_saturate(kProbes[0] * 1e10));
  }
  SUBCASE("division by zero at the probes leaves no fingerprint") {
    const Formula inv_zero = make(
        {Token::variable(0), Token::variable(0), Token::apply(2, kSubtract), Token::apply(1, kInv)},
        1);
    CHECK_FALSE(fingerprint(inv_zero, registry));
  }
  SUBCASE("a formula without variables has five equal pairs") {
    const Formula c = make({Token::parameter(0, {0.1, 0.0})}, 0);
    const auto fp = fingerprint(c, registry);
    REQUIRE(fp);
    for (std::size_t p = 0; p < kProbeCount; ++p) {
      CHECK(fp->parts[2 * p] == 1000000000);
      CHECK(fp->parts[2 * p + 1] == 0);
    }
    const auto sin_c =
        fingerprint(make({Token::parameter(0, {0.1, 0.0}), Token::apply(1, kSin)}, 0), registry);
    REQUIRE(sin_c);
    for (std::size_t p = 1; p < kProbeCount; ++p) {
      CHECK(sin_c->parts[2 * p] == sin_c->parts[0]);
      CHECK(sin_c->parts[2 * p + 1] == sin_c->parts[1]);
    }
  }
  SUBCASE("unscreened leaves are screened here") {
    // The evaluator pushes leaves as they are; the fingerprint must still
    // reject huge or NaN stored parameter values.
    const Formula huge = make({Token::parameter(0, {1e300, 0.0})}, 0);
    const ProbeValues raw = probe_values(huge.tokens, huge.var_count, registry);
    REQUIRE(raw[0]);
    CHECK(raw[0]->re == 1e300);
    CHECK_FALSE(fingerprint(huge, registry));
    CHECK_FALSE(fingerprint(make({Token::parameter(0, {0.0, std::nan("")})}, 0), registry));
  }
  SUBCASE("a variable beyond var_count fails") {
    CHECK_FALSE(fingerprint(make({Token::variable(1)}, 1), registry));
  }
  SUBCASE("fingerprint equals fingerprint_from_values of probe_values") {
    const Formula f = make({Token::variable(0), Token::parameter(0, {0.1, 0.0}),
                            Token::apply(2, kTimes), Token::apply(1, kSin)},
                           1);
    CHECK(fingerprint(f, registry) ==
          fingerprint_from_values(probe_values(f.tokens, f.var_count, registry)));
  }
}

TEST_CASE("fingerprint_from_values screening") {
  SUBCASE("any missing value drops the fingerprint") {
    ProbeValues values = all_values({1.0, 0.0});
    values[4].reset();
    CHECK_FALSE(fingerprint_from_values(values));
  }
  SUBCASE("non-finite parts") {
    const double inf = std::numeric_limits<double>::infinity();
    ProbeValues values = all_values({1.0, 0.0});
    values[2] = Complex{1.0, std::nan("")};
    CHECK_FALSE(fingerprint_from_values(values));
    values[2] = Complex{-inf, 0.0};
    CHECK_FALSE(fingerprint_from_values(values));
  }
  SUBCASE("the 1e15 bound is exclusive in both parts and signs") {
    CHECK_FALSE(fingerprint_from_values(all_values({1e15, 0.0})));
    CHECK_FALSE(fingerprint_from_values(all_values({0.0, -1e15})));
    const auto fp = fingerprint_from_values(all_values({9.99e14, -9.99e14}));
    REQUIRE(fp);
    CHECK(fp->parts[0] == kMax);
    CHECK(fp->parts[1] == kMin);
  }
  SUBCASE("values are compared to ten decimals") {
    const auto a = fingerprint_from_values(all_values({0.12345678901, 0.0}));
    const auto b = fingerprint_from_values(all_values({0.12345678904, 0.0}));
    const auto c = fingerprint_from_values(all_values({0.12345678906, 0.0}));
    REQUIRE(a);
    CHECK(a == b);
    CHECK(a != c);
    CHECK(a->parts[0] == 1234567890);
  }
}

TEST_CASE("fingerprint set") {
  SUBCASE("concurrent inserts of equal fingerprints: exactly one is new") {
    FingerprintSet set;
    constexpr int kKeys = 64;
    constexpr int kRepeats = 200;
    std::vector<std::atomic<int>> fresh(kKeys);
    tbb::parallel_for(0, kKeys * kRepeats, [&](int n) {
      Fingerprint fp;
      fp.parts[3] = n % kKeys;
      if (!set.insert(fp)) fresh[n % kKeys].fetch_add(1);
    });
    for (int k = 0; k < kKeys; ++k) CHECK(fresh[k].load() == 1);
    CHECK(set.size() == kKeys);
  }
  SUBCASE("large random round trip through growth") {
    for (const std::size_t shards : {std::size_t{1}, std::size_t{3}, std::size_t{64}}) {
      CAPTURE(shards);
      FingerprintSet set(shards);
      std::mt19937_64 rng(42 + shards);
      std::vector<Fingerprint> in(100000);
      for (auto& fp : in) {
        for (auto& part : fp.parts) part = static_cast<std::int64_t>(rng());
      }
      std::size_t already = 0;
      for (const auto& fp : in) already += set.insert(fp);
      CHECK(already == 0);
      CHECK(set.size() == in.size());
      std::size_t found = 0, again = 0;
      for (const auto& fp : in) {
        found += set.contains(fp);
        again += set.insert(fp);
      }
      CHECK(found == in.size());
      CHECK(again == in.size());
      CHECK(set.size() == in.size());
      std::size_t strangers = 0;
      for (int i = 0; i < 10000; ++i) {
        Fingerprint fp;
        for (auto& part : fp.parts) part = static_cast<std::int64_t>(rng());
        strangers += set.contains(fp);
      }
      CHECK(strangers == 0);
    }
  }
  SUBCASE("saved tables load into the same set; other bytes load nothing") {
    FingerprintSet set(8);
    std::mt19937_64 rng(7);
    std::vector<Fingerprint> in(5000);
    for (auto& fp : in) {
      for (auto& part : fp.parts) part = static_cast<std::int64_t>(rng());
      set.insert(fp);
    }
    const std::string bytes = set.save();
    FingerprintSet copy(8);
    REQUIRE(copy.load(bytes));
    CHECK(copy.size() == in.size());
    CHECK(copy.save() == bytes);
    std::size_t again = 0;
    for (const auto& fp : in) again += copy.insert(fp);
    CHECK(again == in.size());
    Fingerprint stranger;
    stranger.parts[0] = 12345;
    CHECK_FALSE(copy.insert(stranger));
    FingerprintSet other_shape(16);
    CHECK_FALSE(other_shape.load(bytes));
    FingerprintSet cut(8);
    CHECK_FALSE(cut.load(std::string_view(bytes).substr(0, bytes.size() - 1)));
    CHECK(cut.size() == 0);
    // Shards no insert reached have no table: they save and load as empty.
    FingerprintSet sparse;
    sparse.insert(stranger);
    FingerprintSet sparse_copy;
    REQUIRE(sparse_copy.load(sparse.save()));
    CHECK(sparse_copy.insert(stranger));
    CHECK(sparse_copy.size() == 1);
  }
  SUBCASE("fingerprints differing in a single integer are distinct") {
    // Structured keys (small counters in one position, extreme values) are
    // what the search really produces; every position must reach the digest.
    FingerprintSet set;
    std::size_t already = 0;
    for (std::size_t pos = 0; pos < 2 * kProbeCount; ++pos) {
      for (const std::int64_t v :
           {std::int64_t{1}, std::int64_t{2}, std::int64_t{-1}, kMax, kMin}) {
        Fingerprint fp;
        fp.parts[pos] = v;
        already += set.insert(fp);
      }
      for (std::int64_t v = 3; v < 2000; ++v) {
        Fingerprint fp;
        fp.parts[pos] = v << 20;
        already += set.insert(fp);
      }
    }
    already += set.insert(Fingerprint{});
    CHECK(already == 0);
    CHECK(set.size() == 2 * kProbeCount * (5 + 1997) + 1);
    CHECK(set.insert(Fingerprint{}));
  }
  SUBCASE("empty set and memory per entry") {
    FingerprintSet set(0);
    CHECK(set.size() == 0);
    CHECK_FALSE(set.contains(Fingerprint{}));
    Fingerprint fp;
    for (std::int64_t i = 0; i < 200000; ++i) {
      fp.parts[0] = i;
      set.insert(fp);
    }
    // 8-byte slots at a load between about 0.53 and 0.8.
    const double per_entry = static_cast<double>(set.memory_bytes()) / 200000.0;
    CHECK(per_entry >= 8.0);
    CHECK(per_entry <= 16.0);
  }
}

}  // namespace qarn
