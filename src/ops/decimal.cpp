#include "ops/decimal.h"

#include <charconv>
#include <cmath>

namespace qarn {

std::string fixed_decimal(double x, int digits) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  // Largest finite double has 309 integer digits; leave room for the fraction.
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, digits);
  return std::string(buf, res.ptr);
}

}  // namespace qarn
