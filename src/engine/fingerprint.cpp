#include "engine/fingerprint.h"

#include <cmath>
#include <limits>

#include "ops/evaluate.h"
#include "ops/kernels.h"

namespace qarn {

namespace {

// Fingerprints compare values to ten decimal places.
constexpr double kScale = 1e10;
// 2^63, the first double that no longer fits a signed 64-bit integer.
constexpr double kTwo63 = 9223372036854775808.0;

using ProbeInputs = std::array<std::array<Complex, kMaxVariables>, kProbeCount>;

// The inputs of every probe, built once: a fingerprint then only hands a
// prefix of one row to the evaluator, with no per-call setup.
const ProbeInputs& probe_inputs() {
  static const ProbeInputs table = [] {
    ProbeInputs t;
    for (std::size_t p = 0; p < kProbeCount; ++p) {
      for (std::size_t i = 0; i < kMaxVariables; ++i) t[p][i] = probe_input(p, i);
    }
    return t;
  }();
  return table;
}

// The evaluator screens operator results only; a bare leaf (a parameter with
// a huge or NaN stored value) reaches this test unscreened. The bound is the
// one the evaluator applies: both parts below 1e15, NaN and infinities out.
bool usable(const std::optional<Complex>& value) { return value && kernels::in_range(*value); }

}  // namespace

Complex probe_input(std::size_t probe, std::size_t variable) {
  const double re = kProbes[(probe + variable) % kProbeCount];
  const double im = probe % 2 == 0 ? 0.0 : static_cast<double>(variable + 1) * 0.1;
  return {re, im};
}

std::int64_t round_saturate(double x) {
  const double r = std::round(x);  // half away from zero
  if (r >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (r <= -kTwo63) return std::numeric_limits<std::int64_t>::min();  // -2^63 itself is exact
  if (std::isnan(r)) return 0;  // not expected; keeps the conversion defined
  return static_cast<std::int64_t>(r);
}

ProbeValues probe_values(std::span<const Token> tokens, std::uint8_t var_count,
                         const OperatorRegistry& registry) {
  const ProbeInputs& inputs = probe_inputs();
  ProbeValues values;
  for (std::size_t p = 0; p < kProbeCount; ++p) {
    // No parameter vector: Parameter tokens use their stored values.
    values[p] =
        evaluate(tokens, std::span<const Complex>(inputs[p].data(), var_count), {}, registry);
  }
  return values;
}

std::optional<Fingerprint> fingerprint_from_values(const ProbeValues& values) {
  Fingerprint fp;
  for (std::size_t p = 0; p < kProbeCount; ++p) {
    if (!usable(values[p])) return std::nullopt;
    fp.parts[2 * p] = round_saturate(values[p]->re * kScale);
    fp.parts[2 * p + 1] = round_saturate(values[p]->im * kScale);
  }
  return fp;
}

std::optional<Fingerprint> fingerprint(const Formula& formula, const OperatorRegistry& registry) {
  return fingerprint_from_values(probe_values(formula.tokens, formula.var_count, registry));
}

}  // namespace qarn
