#pragma once

#include <cstdint>

#include "ops/complex.h"

namespace qarn {

// Identifies the arithmetic of a built-in operator so that evaluators can
// dispatch once per token instead of once per row. `generic` marks an
// operator known only through its virtual interface.
enum class Kernel : std::uint8_t {
  generic,
  constant,
  qarn,
  neg,
  inv,
  plus,
  times,
  subtract,
  divide,
  exp,
  log,
  sqrt,
  sin,
  cos,
  tan,
  arcsin,
  arccos,
  arctan,
  square,
  cube,
};

// Per-operator arithmetic, shared by the operator objects, the one-point
// evaluator and the batch evaluator. Each returns false where the operator has
// no value; `out` is then unspecified.
namespace kernels {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kE = 2.718281828459045;

inline bool qarn(Complex a, Complex b, Complex& out) {
  const Complex ea = qarn::exp(a);
  if (is_zero(b)) return false;
  out = sub(ea, ln(b));
  return true;
}

inline bool neg(Complex z, Complex& out) {
  out = qarn::neg(z);
  return true;
}

inline bool inv(Complex z, Complex& out) {
  if (is_zero(z)) return false;
  out = div(Complex{1.0, 0.0}, z);
  return true;
}

inline bool plus(Complex a, Complex b, Complex& out) {
  out = add(a, b);
  return true;
}

inline bool times(Complex a, Complex b, Complex& out) {
  out = mul(a, b);
  return true;
}

inline bool subtract(Complex a, Complex b, Complex& out) {
  out = sub(a, b);
  return true;
}

inline bool divide(Complex a, Complex b, Complex& out) {
  if (is_zero(b)) return false;
  out = div(a, b);
  return true;
}

inline bool exp(Complex z, Complex& out) {
  out = qarn::exp(z);
  return true;
}

inline bool log(Complex z, Complex& out) {
  if (is_zero(z)) return false;
  out = ln(z);
  return true;
}

inline bool sqrt(Complex z, Complex& out) {
  out = qarn::sqrt(z);
  return true;
}

inline bool sin(Complex z, Complex& out) {
  out = qarn::sin(z);
  return true;
}

inline bool cos(Complex z, Complex& out) {
  out = qarn::cos(z);
  return true;
}

inline bool tan(Complex z, Complex& out) {
  Complex s;
  Complex c;
  if (z.im == 0.0) {
    // The same values as sin(z) and cos(z) on the real axis, with the real
    // sine and cosine computed once for both.
    const double sx = std::sin(z.re);
    const double cx = std::cos(z.re);
    s = {sx, cx * z.im};
    c = {cx, (-sx) * z.im};
  } else {
    s = qarn::sin(z);
    c = qarn::cos(z);
  }
  if (is_zero(c)) return false;
  out = div(s, c);
  return true;
}

// i*z computed as a full complex product with the literal (0.0, 1.0).
inline Complex times_i(Complex z) { return mul(Complex{0.0, 1.0}, z); }

// w = i*z + sqrt(1 - z*z), shared by ArcSin and ArcCos.
inline Complex arc_w(Complex z) {
  return add(times_i(z), qarn::sqrt(sub(Complex{1.0, 0.0}, mul(z, z))));
}

inline bool arcsin(Complex z, Complex& out) {
  const Complex w = arc_w(z);
  if (is_zero(w)) return false;
  out = mul(Complex{-0.0, -1.0}, ln(w));
  return true;
}

inline bool arccos(Complex z, Complex& out) {
  const Complex w = arc_w(z);
  if (is_zero(w)) return false;
  out = add(Complex{kHalfPi, 0.0}, mul(Complex{0.0, 1.0}, ln(w)));
  return true;
}

inline bool arctan(Complex z, Complex& out) {
  const Complex iz = times_i(z);
  const Complex u = sub(Complex{1.0, 0.0}, iz);
  const Complex v = add(iz, Complex{1.0, 0.0});
  if (is_zero(u)) return false;
  if (is_zero(v)) return false;
  const Complex lu = ln(u);
  // hypot ignores the signs of its arguments, so for a real z, where u and v
  // are mirror images, both logarithms share one modulus.
  const bool mirrored = std::fabs(u.re) == std::fabs(v.re) && std::fabs(u.im) == std::fabs(v.im);
  const Complex lv = mirrored ? Complex{lu.re, argument(v)} : ln(v);
  out = mul(Complex{0.0, 0.5}, sub(lu, lv));
  return true;
}

inline bool square(Complex z, Complex& out) {
  out = mul(z, z);
  return true;
}

inline bool cube(Complex z, Complex& out) {
  out = mul(mul(z, z), z);
  return true;
}

// An operator result is kept only when both parts are below 1e15 in
// magnitude; the comparisons are false for NaN, so NaN and infinities fail.
inline bool in_range(Complex v) {
  return std::fabs(v.re) < 1e15 && std::fabs(v.im) < 1e15;
}

// Applies a built-in unary kernel. Returns false for an unknown kernel too.
inline bool apply_unary(Kernel k, Complex z, Complex& out) {
  switch (k) {
    case Kernel::neg: return neg(z, out);
    case Kernel::inv: return inv(z, out);
    case Kernel::exp: return exp(z, out);
    case Kernel::log: return log(z, out);
    case Kernel::sqrt: return sqrt(z, out);
    case Kernel::sin: return sin(z, out);
    case Kernel::cos: return cos(z, out);
    case Kernel::tan: return tan(z, out);
    case Kernel::arcsin: return arcsin(z, out);
    case Kernel::arccos: return arccos(z, out);
    case Kernel::arctan: return arctan(z, out);
    case Kernel::square: return square(z, out);
    case Kernel::cube: return cube(z, out);
    default: return false;
  }
}

inline bool apply_binary(Kernel k, Complex a, Complex b, Complex& out) {
  switch (k) {
    case Kernel::qarn: return qarn(a, b, out);
    case Kernel::plus: return plus(a, b, out);
    case Kernel::times: return times(a, b, out);
    case Kernel::subtract: return subtract(a, b, out);
    case Kernel::divide: return divide(a, b, out);
    default: return false;
  }
}

}  // namespace kernels
}  // namespace qarn
