#pragma once

#include <string>

namespace qarn {

// Fixed-point text of `x` with exactly `digits` decimals and never an
// exponent: the exact binary value rounded to nearest, ties to even; a minus
// sign for negative values including -0.0; "NaN", "inf" and "-inf" otherwise.
std::string fixed_decimal(double x, int digits);

// The four-decimal form used for constants in rendered formulas.
inline std::string four_decimals(double x) { return fixed_decimal(x, 4); }

}  // namespace qarn
