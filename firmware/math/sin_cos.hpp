// Sine and cosine of a Q31 angle (1.0 = pi) by a ninth-order odd polynomial in Q31.
#pragma once

#include <cstdint>

#include "firmware/math/arith.hpp"
#include "firmware/math/types.hpp"

// Half the Taylor coefficients of sin(pi y / 2) for y^9 (fitted), y^7, y^5, y^3 and y, in Q31.
extern const GFLIB_SINTLR_T gflibSinCoef;
extern const GFLIB_COSTLR_T gflibCosCoef;

namespace tavrix::math {

// Sine of angle `in` with coefficients a[0..4], 32-bit wrapping arithmetic throughout.
[[gnu::always_inline]] inline Frac32 sinPoly(Frac32 in, const Frac32* a) {
  // Fold onto [0, pi/2]: x = minus the folded angle in Q15 of pi/2, in [-32768, 0].
  int32_t t = wrapShl32(in, 1u);
  if (t < 0) t = wrapNeg32(t);
  t = wrapNeg32(t);
  const int32_t x = t >> 16;
  const int32_t x2 = (x * x) >> 16;  // |x| <= 2^15: no overflow
  int32_t s = a[0] >> 14;
  s = wrapAdd32(wrapMul32(x2, s), a[1]) >> 14;
  s = wrapAdd32(wrapMul32(x2, s), a[2]) >> 14;
  s = wrapAdd32(wrapMul32(x2, s), a[3]) >> 14;
  s = wrapAdd32(wrapMul32(x2, s), a[4]) >> 14;
  const int32_t r = wrapMul32(s, x);
  return in > 0 ? wrapNeg32(r) : r;
}

}  // namespace tavrix::math

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// sin(pi f32In) within 6e-5 over the whole range; sin(pi/2) = 2147450880. The angle is folded
// onto [0, pi/2] with a floor, so inputs 1..32768 give 102943 and -1..-32768 give -102943.
[[gnu::always_inline]] inline Frac32 GFLIB_SinANSIC(Frac32 f32In, const GFLIB_SINTLR_T* pParam) {
  return tavrix::math::sinPoly(f32In, pParam->f32A);
}

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// cos(pi f32In): the sine of f32In + 1/2 (wrapping), so cos(0) = 2147450880.
[[gnu::always_inline]] inline Frac32 GFLIB_CosANSIC(Frac32 f32In, const GFLIB_COSTLR_T* pParam) {
  return tavrix::math::sinPoly(tavrix::math::wrapAdd32(f32In, 1 << 30), pParam->f32A);
}
