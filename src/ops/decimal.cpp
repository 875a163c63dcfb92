#include "ops/decimal.h"

#include <charconv>
#include <cmath>
#include <cstddef>

namespace qarn {

void append_fixed(std::string& out, double x, int digits) {
  if (digits < 0) digits = 0;
  // Sign, up to 309 integer digits, the point and the fraction: sized from
  // `digits` so that to_chars never runs out of room (on failure it would
  // leave the buffer unwritten).
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(digits) + 312);
  const auto res =
      std::to_chars(out.data() + at, out.data() + out.size(), x, std::chars_format::fixed, digits);
  out.resize(static_cast<std::size_t>(res.ptr - out.data()));
}

std::string fixed_decimal(double x, int digits) {
  if (std::isnan(x)) return "NaN";
  std::string out;
  append_fixed(out, x, digits);
  return out;
}

}  // namespace qarn
