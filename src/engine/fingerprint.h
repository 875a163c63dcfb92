#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ops/complex.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Deduplication key of a formula: its values at five fixed probe points,
// rounded to a multiple of 1e-10. Formulas that compute the same function
// (Square(x) and Times(x, x)) get equal fingerprints.

inline constexpr std::size_t kProbeCount = 5;

// Euler-Mascheroni, Glaisher-Kinkelin, golden ratio, ln 2, Apery's constant:
// irrational and unrelated, so accidental identities at the probes are rare.
inline constexpr std::array<double, kProbeCount> kProbes = {0.5772156649015329, 1.2824271291006226,
                                                            1.618033988749895, 0.6931471805599453,
                                                            1.202056903159594};

// Five (re, im) pairs in probe order, each rounded to a multiple of 1e-10 as a saturated int64.
struct Fingerprint {
  std::array<std::int64_t, 2 * kProbeCount> parts{};  // re0, im0, re1, im1, ..., re4, im4

  friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// Input `variable` at probe `probe`: (P[(p + i) mod 5], im) with im = 0.0 for
// even p and (i + 1) * 0.1 for odd p, so probes 1 and 3 leave the real axis.
Complex probe_input(std::size_t probe, std::size_t variable);

// Round half away from zero, saturating to [INT64_MIN, INT64_MAX]. Callers
// never pass NaN.
std::int64_t round_saturate(double x);

using ProbeValues = std::array<std::optional<Complex>, kProbeCount>;

// Raw `evaluate` results of the tokens at the five probes with var_count
// inputs (no extra screening): the search caches these per retained formula
// and computes children's values from them.
ProbeValues probe_values(std::span<const Token> tokens, std::uint8_t var_count,
                         const OperatorRegistry& registry);

// Fingerprint from a formula's values at the five probes; empty when any
// value is missing, has a non-finite part, or |re| >= 1e15 or |im| >= 1e15.
std::optional<Fingerprint> fingerprint_from_values(const ProbeValues& values);

// = fingerprint_from_values(probe_values(formula.tokens, formula.var_count, registry)).
std::optional<Fingerprint> fingerprint(const Formula& formula, const OperatorRegistry& registry);

}  // namespace qarn
