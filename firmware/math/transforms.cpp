#include "firmware/math/transforms.hpp"

#include <cstdint>

#include "firmware/math/arith.hpp"
#include "firmware/math/frac.hpp"

namespace tmath = tavrix::math;

namespace {

constexpr Frac32 kInvSqrt3 = 1239850262;  // 1/sqrt(3) in Q31

// v * 4 saturated, as two saturating doublings (two QADDs on the chip, no branches). The
// rotations work on halved operands, so their sums stay within [-2^30, 2^30] and this restores
// the scale.
inline Frac32 shl2Sat(int32_t v) {
  const int32_t twice = tmath::satAdd32(v, v);
  return tmath::satAdd32(twice, twice);
}

}  // namespace

void GMCLIB_ClarkANSIC(MCLIB_2_COOR_SYST_ALPHA_BETA_T* pOut, const MCLIB_3_COOR_SYST_T* pIn) {
  pOut->f32Alpha = pIn->f32A;
  pOut->f32Beta =
      tmath::satSub32(tmath::mul31(pIn->f32B, kInvSqrt3), tmath::mul31(pIn->f32C, kInvSqrt3));
}

void GMCLIB_ParkANSIC(MCLIB_2_COOR_SYST_D_Q_T* pOut, const MCLIB_ANGLE_T* pInAngle,
                      const MCLIB_2_COOR_SYST_ALPHA_BETA_T* pIn) {
  const int32_t a = pIn->f32Alpha >> 1;
  const int32_t b = pIn->f32Beta >> 1;
  const int32_t sn = pInAngle->f32Sin >> 1;
  const int32_t cs = pInAngle->f32Cos >> 1;
  const int32_t d = tmath::wrapAdd32(tmath::mul31(cs, a), tmath::mul31(sn, b));
  const int32_t q = tmath::wrapSub32(tmath::mul31(cs, b), tmath::mul31(sn, a));
  pOut->f32D = shl2Sat(d);
  pOut->f32Q = shl2Sat(q);
}

void GMCLIB_ParkInvANSIC(MCLIB_2_COOR_SYST_ALPHA_BETA_T* pOut, const MCLIB_ANGLE_T* pInAngle,
                         const MCLIB_2_COOR_SYST_D_Q_T* pIn) {
  const int32_t d = pIn->f32D >> 1;
  const int32_t q = pIn->f32Q >> 1;
  const int32_t sn = pInAngle->f32Sin >> 1;
  const int32_t cs = pInAngle->f32Cos >> 1;
  const int32_t alpha = tmath::wrapSub32(tmath::mul31(cs, d), tmath::mul31(sn, q));
  const int32_t beta = tmath::wrapAdd32(tmath::mul31(cs, q), tmath::mul31(sn, d));
  pOut->f32Alpha = shl2Sat(alpha);
  pOut->f32Beta = shl2Sat(beta);
}
