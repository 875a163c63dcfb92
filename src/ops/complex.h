#pragma once

#include <cmath>

namespace qarn {

// A complex value as two doubles. Every input, parameter and formula value is
// one; infinities, NaN and signed zeros are carried through unchanged.
struct Complex {
  double re = 0.0;  // real part
  double im = 0.0;  // imaginary part

  friend bool operator==(const Complex&, const Complex&) = default;
};

// The operations below are written exactly in the order of their defining
// formulas: the search compares rounded values and strict losses, so a
// "mathematically equal" rearrangement would change which formulas survive.
// Literal operands with zero parts take part in full (0.0 * inf is NaN).

inline Complex add(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }

inline Complex sub(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }

inline Complex neg(Complex z) { return {-z.re, -z.im}; }

inline Complex mul(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// Schoolbook division without scaling; callers exclude a zero divisor.
inline Complex div(Complex a, Complex b) {
  const double d = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}

// Values on the real axis are by far the most common, and values on the
// imaginary axis come next (square roots of negative reals, and the w of
// ArcSin and ArcCos beyond +-1), so the C library's own special values there
// are used without the call: hypot(x, +-0) is fabs(x) and hypot(+-0, y) is
// fabs(y); atan2(+-0, x) is +-0 for x > 0 or x = +0 and +-pi for x < 0 or
// x = -0, and atan2(y, +-0) is +-pi/2 for y != 0 (IEC 60559 bindings of the C
// standard). The results are the same bits as calling the functions; NaN
// operands still take the calls.
inline double modulus(Complex z) {
  if (z.im == 0.0) return std::fabs(z.re);
  if (z.re == 0.0 && !std::isnan(z.im)) return std::fabs(z.im);
  return std::hypot(z.re, z.im);
}

inline double argument(Complex z) {
  if (z.im == 0.0 && !std::isnan(z.re)) {
    const bool positive = z.re > 0.0 || (z.re == 0.0 && !std::signbit(z.re));
    return positive ? z.im : std::copysign(3.141592653589793, z.im);
  }
  if (z.re == 0.0 && !std::isnan(z.im)) return std::copysign(1.5707963267948966, z.im);
  return std::atan2(z.im, z.re);
}

// log(1) is +0 exactly; a modulus of exactly 1 is common (w of ArcSin and
// ArcCos inside +-1).
inline double log_modulus(Complex z) {
  const double r = modulus(z);
  return r == 1.0 ? 0.0 : std::log(r);
}

// Branch cut on the negative real axis; the sign of a zero imaginary part
// picks the side (ln(-1 + 0i) = i*pi, ln(-1 - 0i) = -i*pi).
inline Complex ln(Complex z) { return {log_modulus(z), argument(z)}; }

inline Complex exp(Complex z) {
  const double x = z.re;
  const double y = z.im;
  if (std::isinf(x) && x > 0) {
    if (y == 0.0 || std::isnan(y)) return {x, y};
    if (std::isinf(y)) return {x, std::nan("")};
  } else if (std::isinf(x)) {
    if (std::isinf(y) || std::isnan(y)) return {0.0, 0.0};
  } else if (std::isnan(x) && y == 0.0) {
    return z;
  }
  const double r = std::exp(x);
  // cos(+-0) = 1 and sin(+-0) = +-0 exactly.
  if (y == 0.0) return {r, y * r};
  return {std::cos(y) * r, std::sin(y) * r};
}

// Principal square root by three cases, decided on sign bits so that signed
// zeros pick the side of the branch cut.
inline Complex sqrt(Complex z) {
  const double x = z.re;
  const double y = z.im;
  if (y == 0.0) {
    if (!std::signbit(x)) return {std::sqrt(x), y};
    const double s = std::sqrt(-x);
    return std::signbit(y) ? Complex{0.0, -s} : Complex{0.0, s};
  }
  if (x == 0.0) {
    const double s = std::sqrt(std::fabs(y) * 0.5);
    return std::signbit(y) ? Complex{s, -s} : Complex{s, s};
  }
  const double r = modulus(z);
  const double theta = argument(z);
  const double sr = std::sqrt(r);
  return {std::cos(theta * 0.5) * sr, std::sin(theta * 0.5) * sr};
}

// cosh(+-0) = 1 and sinh(+-0) = +-0 exactly, so a real argument needs only
// the real sine and cosine; the products are the same bits.
inline Complex sin(Complex z) {
  if (z.im == 0.0) return {std::sin(z.re), std::cos(z.re) * z.im};
  return {std::sin(z.re) * std::cosh(z.im), std::cos(z.re) * std::sinh(z.im)};
}

inline Complex cos(Complex z) {
  if (z.im == 0.0) return {std::cos(z.re), (-std::sin(z.re)) * z.im};
  return {std::cos(z.re) * std::cosh(z.im), (-std::sin(z.re)) * std::sinh(z.im)};
}

// A value counts as zero when both parts are zero (of either sign).
inline bool is_zero(Complex z) { return z.re == 0.0 && z.im == 0.0; }

}  // namespace qarn
