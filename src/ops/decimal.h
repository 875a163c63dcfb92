#pragma once

#include <string>

namespace qarn {

// Appends the fixed-point text of `x` with exactly `digits` decimals (none
// when negative) and never an exponent: the exact binary value rounded to
// nearest, ties to even, as printf("%.*f") does; a minus sign for negative
// values including -0.0. NaN and infinities print as std::to_chars writes
// them ("nan", "inf", "-inf").
void append_fixed(std::string& out, double x, int digits);

// The same text as a string, except "NaN" for every NaN.
std::string fixed_decimal(double x, int digits);

// The four-decimal form used for constants in rendered formulas.
inline std::string four_decimals(double x) { return fixed_decimal(x, 4); }

}  // namespace qarn
