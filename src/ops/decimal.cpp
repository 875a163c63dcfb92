#include "ops/decimal.h"

#include <charconv>
#include <cmath>
#include <cstddef>

namespace qarn {

std::string fixed_decimal(double x, int digits) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  if (digits < 0) digits = 0;
  // Sign, up to 309 integer digits, the point and the fraction: sized from
  // `digits` so that to_chars never runs out of room (on failure it would
  // leave the buffer unwritten).
  std::string out(static_cast<std::size_t>(digits) + 312, '\0');
  const auto res =
      std::to_chars(out.data(), out.data() + out.size(), x, std::chars_format::fixed, digits);
  out.resize(static_cast<std::size_t>(res.ptr - out.data()));
  return out;
}

}  // namespace qarn
