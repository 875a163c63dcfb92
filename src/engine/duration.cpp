#include "engine/duration.h"

#include <cstdint>

namespace qarn {

namespace {

// Whole units, then, when the remainder is not zero, a point and the
// remainder as `digits` digits with the trailing zeros removed.
std::string with_fraction(std::int64_t whole, std::int64_t fraction, int digits, const char* unit) {
  std::string out = std::to_string(whole);
  if (fraction > 0) {
    std::string frac = std::to_string(fraction);
    frac.insert(0, static_cast<std::size_t>(digits) - frac.size(), '0');
    frac.erase(frac.find_last_not_of('0') + 1);
    out += '.';
    out += frac;
  }
  out += unit;
  return out;
}

}  // namespace

std::string format_duration(std::chrono::nanoseconds d) {
  const std::int64_t total = d.count() > 0 ? d.count() : 0;
  const std::int64_t s = total / 1'000'000'000;
  const std::int64_t ns = total % 1'000'000'000;
  if (s > 0) return with_fraction(s, ns, 9, "s");
  if (ns >= 1'000'000) return with_fraction(ns / 1'000'000, ns % 1'000'000, 6, "ms");
  if (ns >= 1'000) return with_fraction(ns / 1'000, ns % 1'000, 3, "\u00b5s");
  return std::to_string(ns) + "ns";
}

}  // namespace qarn
