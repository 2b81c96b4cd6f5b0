// Standard space-vector modulation: an alpha/beta voltage vector to three duty fractions.
#pragma once

#include <cstdint>

#include "firmware/math/arith.hpp"
#include "firmware/math/frac.hpp"
#include "firmware/math/types.hpp"

namespace tavrix::math::svm {

inline constexpr int32_t kHalf = (1 << 30) - 1;   // 50 % duty
inline constexpr int32_t kSqrt3Half_q15 = 28378;  // sqrt(3)/2 in Q15
inline constexpr int32_t kHalfLo = -(1 << 30);
inline constexpr int32_t kHalfHi = (1 << 30) - 1;

[[gnu::always_inline]] inline int32_t max0(int32_t v) {
  return v > 0 ? v : 0;
}

}  // namespace tavrix::math::svm

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// Writes the duties of phases A, B and C centred on one half (H = 2^30 - 1 is 50 %), with
// pairwise differences equal to the line voltages over sqrt(3) inside the hexagon, and returns
// the sector, 1..6 (sector 6 holds alpha > 0, beta = 0; sector 2 holds alpha = 0, beta > 0).
[[gnu::always_inline]] inline uint32_t GMCLIB_SvmStdANSIC(
    MCLIB_3_COOR_SYST_T* pOut, const MCLIB_2_COOR_SYST_ALPHA_BETA_T* pIn) {
  namespace tmath = tavrix::math;
  using tmath::svm::kHalf;
  using tmath::svm::kHalfHi;
  using tmath::svm::kHalfLo;
  using tmath::svm::kSqrt3Half_q15;
  using tmath::svm::max0;
  const int32_t beta = pIn->f32Beta;
  // a = (sqrt(3)/2) alpha from the upper 16 bits of alpha; |a| < 2^31, no wrap.
  const int32_t a = tmath::wrapShl32(tmath::wrapMul32(pIn->f32Alpha >> 16, kSqrt3Half_q15), 1u);
  const int32_t hy = tmath::wrapAdd32(a >> 1, beta >> 2);
  const int32_t hz = tmath::wrapSub32(beta >> 2, a >> 1);
  const int32_t y = tmath::clamp32(hy, kHalfLo, kHalfHi) << 1;
  const int32_t z = tmath::clamp32(hz, kHalfLo, kHalfHi) << 1;

  // Each sector: the first duty is t clamped at 0, the other two build on t, not on the clamp.
  if (y < 0) {
    if (z < 0) {
      const int32_t t = tmath::satAdd32(kHalf, beta >> 1);
      pOut->f32B = max0(t);
      pOut->f32A = tmath::satSub32(t, z);
      pOut->f32C = tmath::satSub32(pOut->f32A, y);
      return 5u;
    }
    if (beta > 0) {
      const int32_t t = tmath::satAdd32(kHalf, tmath::satSub32(hy, beta >> 1));
      pOut->f32A = max0(t);
      pOut->f32C = tmath::satSub32(t, y);
      pOut->f32B = tmath::satAdd32(pOut->f32C, beta);
      return 3u;
    }
    const int32_t t = tmath::satAdd32(kHalf, tmath::satSub32(beta >> 1, hz));
    pOut->f32A = max0(t);
    pOut->f32B = tmath::satAdd32(t, z);
    pOut->f32C = tmath::satSub32(pOut->f32B, beta);
    return 4u;
  }
  if (z < 0) {
    if (beta > 0) {
      const int32_t t = tmath::satSub32(kHalf, hy);
      pOut->f32C = max0(t);
      pOut->f32B = tmath::satAdd32(t, beta);
      // The unclamped hz, doubled with wrapping.
      pOut->f32A = tmath::satSub32(pOut->f32B, tmath::wrapShl32(hz, 1u));
      return 1u;
    }
    const int32_t t = tmath::satAdd32(kHalf, tmath::satSub32(beta >> 1, hy));
    pOut->f32B = max0(t);
    pOut->f32C = tmath::satSub32(t, beta);
    pOut->f32A = tmath::satAdd32(pOut->f32C, y);
    return 6u;
  }
  const int32_t t = tmath::satSub32(kHalf, tmath::satAdd32(hy, hz));
  pOut->f32C = max0(t);
  pOut->f32A = tmath::satAdd32(t, y);
  pOut->f32B = tmath::satAdd32(pOut->f32A, z);
  return 2u;
}
