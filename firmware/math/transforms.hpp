// Clarke, Park and inverse Park transforms on Q31 quantities.
#pragma once

#include <cstdint>

#include "firmware/math/arith.hpp"
#include "firmware/math/frac.hpp"
#include "firmware/math/types.hpp"

namespace tavrix::math {

inline constexpr Frac32 kInvSqrt3Q31 = 1239850262;  // 1/sqrt(3) in Q31

// v * 4 saturated, as two saturating doublings (two QADDs on the chip, no branches). The
// rotations work on halved operands, so their sums stay within [-2^30, 2^30] and this restores
// the scale.
[[gnu::always_inline]] inline Frac32 shl2Sat(int32_t v) {
  const int32_t twice = satAdd32(v, v);
  return satAdd32(twice, twice);
}

}  // namespace tavrix::math

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// alpha = a; beta = (b - c) / sqrt(3), saturated. Assumes a + b + c = 0.
[[gnu::always_inline]] inline void GMCLIB_ClarkANSIC(MCLIB_2_COOR_SYST_ALPHA_BETA_T* pOut,
                                                     const MCLIB_3_COOR_SYST_T* pIn) {
  namespace tm = tavrix::math;
  const Frac32 b = tm::mul31(pIn->f32B, tm::kInvSqrt3Q31);
  const Frac32 c = tm::mul31(pIn->f32C, tm::kInvSqrt3Q31);
  pOut->f32Alpha = pIn->f32A;
  pOut->f32Beta = tm::satSub32(b, c);
}

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// d = cos alpha + sin beta; q = cos beta - sin alpha, saturated.
[[gnu::always_inline]] inline void GMCLIB_ParkANSIC(MCLIB_2_COOR_SYST_D_Q_T* pOut,
                                                    const MCLIB_ANGLE_T* pInAngle,
                                                    const MCLIB_2_COOR_SYST_ALPHA_BETA_T* pIn) {
  namespace tm = tavrix::math;
  const int32_t a = pIn->f32Alpha >> 1;
  const int32_t b = pIn->f32Beta >> 1;
  const int32_t sn = pInAngle->f32Sin >> 1;
  const int32_t cs = pInAngle->f32Cos >> 1;
  const int32_t d = tm::wrapAdd32(tm::mul31(cs, a), tm::mul31(sn, b));
  const int32_t q = tm::wrapSub32(tm::mul31(cs, b), tm::mul31(sn, a));
  pOut->f32D = tm::shl2Sat(d);
  pOut->f32Q = tm::shl2Sat(q);
}

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// alpha = cos d - sin q; beta = cos q + sin d, saturated.
[[gnu::always_inline]] inline void GMCLIB_ParkInvANSIC(MCLIB_2_COOR_SYST_ALPHA_BETA_T* pOut,
                                                       const MCLIB_ANGLE_T* pInAngle,
                                                       const MCLIB_2_COOR_SYST_D_Q_T* pIn) {
  namespace tm = tavrix::math;
  const int32_t d = pIn->f32D >> 1;
  const int32_t q = pIn->f32Q >> 1;
  const int32_t sn = pInAngle->f32Sin >> 1;
  const int32_t cs = pInAngle->f32Cos >> 1;
  const int32_t alpha = tm::wrapSub32(tm::mul31(cs, d), tm::mul31(sn, q));
  const int32_t beta = tm::wrapAdd32(tm::mul31(cs, q), tm::mul31(sn, d));
  pOut->f32Alpha = tm::shl2Sat(alpha);
  pOut->f32Beta = tm::shl2Sat(beta);
}
