#pragma once

#include <cstdint>
#include <type_traits>

#include "ops/complex.h"
#include "ops/operator_table.h"

namespace qarn {

// Identifies the arithmetic of a built-in operator so that evaluators can
// dispatch once per token instead of once per row: one enumerator per entry
// of QARN_OPERATORS, named after its kernel function. `generic` marks an
// operator known only through its virtual interface, `constant` a named
// constant.
enum class Kernel : std::uint8_t {
  generic,
  constant,
#define QARN_KERNEL_ENUMERATOR(Class, kernel, ...) kernel,
  QARN_OPERATORS(QARN_KERNEL_ENUMERATOR)
#undef QARN_KERNEL_ENUMERATOR
};

// Per-operator arithmetic, shared by the operator objects, the one-point
// evaluator and the batch evaluator. Each returns false where the operator has
// no value; `out` is then unspecified.
namespace kernels {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kE = 2.718281828459045;

// Qarn with exp(a) already computed (`ea`): the batch evaluator computes it
// once for an `a` that is the same on every row.
inline bool qarn_with_exp(Complex ea, Complex b, Complex& out) {
  if (is_zero(b)) return false;
  out = sub(ea, ln(b));
  return true;
}

inline bool qarn(Complex a, Complex b, Complex& out) { return qarn_with_exp(qarn::exp(a), b, out); }

// Qarn with ln(b) already computed (`lb`) for a nonzero b.
inline Complex qarn_with_ln(Complex a, Complex lb) { return sub(qarn::exp(a), lb); }

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
  if (z.im == 0.0 && z.re != 0.0 && std::fabs(z.re) < 0x1p1022) {
    // A real z = x gives iz = (+-0, x), u = (1, -x) and v = (1, x): the
    // conjugate case of the mirrored branch below, taken without forming them.
    const double av = std::atan2(z.re, 1.0);
    out = mul(Complex{0.0, 0.5}, Complex{0.0, -av - av});
    return true;
  }
  const Complex iz = times_i(z);
  const Complex u = sub(Complex{1.0, 0.0}, iz);
  const Complex v = add(iz, Complex{1.0, 0.0});
  if (is_zero(u)) return false;
  if (is_zero(v)) return false;
  // hypot ignores the signs of its arguments, so for a real z, where u and v
  // are mirror images, both logarithms share one modulus.
  const bool mirrored = std::fabs(u.re) == std::fabs(v.re) && std::fabs(u.im) == std::fabs(v.im);
  if (mirrored && u.im != 0.0 && std::fabs(u.re) < 0x1p1022 && std::fabs(u.im) < 0x1p1022) {
    // The shared log-modulus is then finite (the modulus lies between |u.im|
    // > 0 and sqrt(2) x 2^1022), so the real part of the difference of the
    // logarithms is exactly +0.0 and neither hypot nor log is needed.
    // Where u and v are conjugates (u.re == v.re, u.im == -v.im: z real, or
    // its imaginary part lost against 1), one call gives both arguments: the
    // C library's atan2 is odd in its first argument (it works on |y| and
    // sets the sign last).
    const double av = argument(v);
    const double au = u.re == v.re && u.im == -v.im ? -av : argument(u);
    out = mul(Complex{0.0, 0.5}, Complex{0.0, au - av});
    return true;
  }
  const Complex lu = ln(u);
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

// An operator result is kept only when both parts are below this bound in
// magnitude; the comparisons are false for NaN, so NaN and infinities fail.
// Losses screen formula values with the same bound.
inline constexpr double kMagnitudeBound = 1e15;

// Both comparisons are made (no branch between them): the loops that call
// this once per row run without a jump that depends on the data.
inline bool in_range(Complex v) {
  return (std::fabs(v.re) < kMagnitudeBound) & (std::fabs(v.im) < kMagnitudeBound);
}

// Number of operands of a kernel function: 1 for f(z, out), 2 for f(a, b, out).
template <auto fn>
inline constexpr std::uint8_t kArity =
    std::is_invocable_r_v<bool, decltype(fn), Complex, Complex&> ? 1 : 2;

#define QARN_CHECK_ARITY(Class, kernel, name, arity, ...) \
  static_assert(kArity<&kernels::kernel> == (arity),      \
                "operator table: " #Class " has an arity other than its kernel function's");
QARN_OPERATORS(QARN_CHECK_ARITY)
#undef QARN_CHECK_ARITY

// Kernel function `fn` on the values at `args`.
template <auto fn>
inline bool call(const Complex* args, Complex& out) {
  if constexpr (kArity<fn> == 1) {
    return fn(args[0], out);
  } else {
    return fn(args[0], args[1], out);
  }
}

// Applies kernel `k` to the `arity` values at `args`. False where the
// operator has no value there, and for a kernel that is not a built-in
// operator's or takes another number of operands.
inline bool apply(Kernel k, std::uint8_t arity, const Complex* args, Complex& out) {
  switch (k) {
#define QARN_KERNEL_CASE(Class, kernel, name, n, ...) \
  case Kernel::kernel:                                \
    return arity == (n) && call<&kernels::kernel>(args, out);
    QARN_OPERATORS(QARN_KERNEL_CASE)
#undef QARN_KERNEL_CASE
    default:
      return false;
  }
}

}  // namespace kernels
}  // namespace qarn
