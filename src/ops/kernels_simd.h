#pragma once

// Two-row forms of the arithmetic kernels whose results are exact IEEE
// operations (sums, differences, products and quotients of the parts): two
// rows are held as one register of real parts and one of imaginary parts,
// and every lane performs the scalar kernel's operations in the scalar
// kernel's order, so each lane gives the scalar kernel's bits (packed SSE2
// arithmetic rounds each lane as its scalar instruction does; no fused
// multiply-add, no flush of subnormals). Only the sign and payload of a NaN
// are not fixed, in the scalar code either (the compiler may order the
// operands of a commutative operation either way); a part that is NaN fails
// the range check, so no result depends on them. SSE2 is part of every x86-64
// processor; elsewhere (QARN_KERNELS_SSE2 is 0) the batch evaluator keeps
// the scalar loops alone.

#include <cstdint>

#include "ops/complex.h"
#include "ops/kernels.h"

#if defined(__SSE2__) && (defined(__x86_64__) || defined(_M_X64))
#include <emmintrin.h>
#define QARN_KERNELS_SSE2 1
#else
#define QARN_KERNELS_SSE2 0
#endif

namespace qarn::kernels::pair {

#if QARN_KERNELS_SSE2

// Rows r and r + 1: lane 0 holds row r, lane 1 row r + 1.
struct Pair {
  __m128d re;
  __m128d im;
};

// Two consecutive values; `Complex` is two doubles, real part first.
inline Pair load(const Complex* z) {
  const __m128d a = _mm_loadu_pd(&z[0].re);
  const __m128d b = _mm_loadu_pd(&z[1].re);
  return {_mm_unpacklo_pd(a, b), _mm_unpackhi_pd(a, b)};
}

inline Pair broadcast(Complex z) { return {_mm_set1_pd(z.re), _mm_set1_pd(z.im)}; }

inline void store(Complex* z, Pair v) {
  _mm_storeu_pd(&z[0].re, _mm_unpacklo_pd(v.re, v.im));
  _mm_storeu_pd(&z[1].re, _mm_unpackhi_pd(v.re, v.im));
}

// The lanes of `mask` (all ones or all zeros) as bits: bit r for lane r.
inline unsigned bits(__m128d mask) { return static_cast<unsigned>(_mm_movemask_pd(mask)); }

// kernels::in_range lane by lane: both parts below the bound in magnitude.
inline unsigned in_range(Pair v) {
  const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  const __m128d bound = _mm_set1_pd(kMagnitudeBound);
  const __m128d re_ok = _mm_cmplt_pd(_mm_and_pd(v.re, abs_mask), bound);
  const __m128d im_ok = _mm_cmplt_pd(_mm_and_pd(v.im, abs_mask), bound);
  return bits(_mm_and_pd(re_ok, im_ok));
}

// is_zero lane by lane, as a mask.
inline __m128d zero_mask(Pair v) {
  const __m128d zero = _mm_setzero_pd();
  return _mm_and_pd(_mm_cmpeq_pd(v.re, zero), _mm_cmpeq_pd(v.im, zero));
}

// The operations of complex.h's add, sub, neg, mul and div.
inline Pair add(Pair a, Pair b) { return {_mm_add_pd(a.re, b.re), _mm_add_pd(a.im, b.im)}; }

inline Pair sub(Pair a, Pair b) { return {_mm_sub_pd(a.re, b.re), _mm_sub_pd(a.im, b.im)}; }

// -x flips the sign bit alone, NaN included, as the scalar negation does.
inline Pair negate(Pair z) {
  const __m128d sign = _mm_set1_pd(-0.0);
  return {_mm_xor_pd(z.re, sign), _mm_xor_pd(z.im, sign)};
}

inline Pair mul(Pair a, Pair b) {
  return {_mm_sub_pd(_mm_mul_pd(a.re, b.re), _mm_mul_pd(a.im, b.im)),
          _mm_add_pd(_mm_mul_pd(a.re, b.im), _mm_mul_pd(a.im, b.re))};
}

inline Pair div(Pair a, Pair b) {
  const __m128d d = _mm_add_pd(_mm_mul_pd(b.re, b.re), _mm_mul_pd(b.im, b.im));
  return {_mm_div_pd(_mm_add_pd(_mm_mul_pd(a.re, b.re), _mm_mul_pd(a.im, b.im)), d),
          _mm_div_pd(_mm_sub_pd(_mm_mul_pd(a.im, b.re), _mm_mul_pd(a.re, b.im)), d)};
}

// A kernel's two-row form: the values it writes and, as bits, the lanes where
// it returns true. Where the scalar kernel returns false it leaves its output
// as the evaluator initialised it, zero; the two-row form writes that zero.
struct Result {
  Pair value;
  unsigned has_value;
};

inline Pair zero_where(__m128d mask, Pair v) {
  return {_mm_andnot_pd(mask, v.re), _mm_andnot_pd(mask, v.im)};
}

inline Result plus(Pair a, Pair b) { return {add(a, b), 3u}; }
inline Result subtract(Pair a, Pair b) { return {sub(a, b), 3u}; }
inline Result times(Pair a, Pair b) { return {mul(a, b), 3u}; }

inline Result divide(Pair a, Pair b) {
  const __m128d zero = zero_mask(b);
  return {zero_where(zero, div(a, b)), ~bits(zero) & 3u};
}

inline Result neg(Pair z) { return {negate(z), 3u}; }
inline Result square(Pair z) { return {mul(z, z), 3u}; }
inline Result cube(Pair z) { return {mul(mul(z, z), z), 3u}; }

inline Result inv(Pair z) {
  const __m128d zero = zero_mask(z);
  return {zero_where(zero, div(broadcast(Complex{1.0, 0.0}), z)), ~bits(zero) & 3u};
}

// The two-row form of scalar kernel `k`, where it has one: Of<k>::fn.
template <auto k>
struct Of {
  static constexpr bool kHas = false;
};

#define QARN_PAIR_FORM(name)                \
  template <>                               \
  struct Of<&qarn::kernels::name> {         \
    static constexpr bool kHas = true;      \
    static constexpr auto fn = &pair::name; \
  };
QARN_PAIR_FORM(plus)
QARN_PAIR_FORM(subtract)
QARN_PAIR_FORM(times)
QARN_PAIR_FORM(divide)
QARN_PAIR_FORM(neg)
QARN_PAIR_FORM(square)
QARN_PAIR_FORM(cube)
QARN_PAIR_FORM(inv)
#undef QARN_PAIR_FORM

#endif

}  // namespace qarn::kernels::pair
