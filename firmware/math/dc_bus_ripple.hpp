// DC-bus ripple elimination: scales a voltage vector to the measured bus.
#pragma once

#include <bit>
#include <cstdint>

#include "firmware/math/arith.hpp"
#include "firmware/math/frac.hpp"
#include "firmware/math/types.hpp"

namespace tavrix::math::ripple {

[[gnu::always_inline]] inline Frac32 signSaturated(Frac32 v) {
  return v >= 0 ? kFrac32Max : kFrac32Min;
}

// One axis: m = index * v, absM = |m| (plain negation), half > 0 normalised by 2^n to den.
// den lies in [2^14, 2^15), so the plain division can meet neither a zero divisor nor -1.
[[gnu::always_inline]] inline Frac32 scaleAxis(int32_t m, int32_t absM, Frac32 v, int32_t half,
                                               uint32_t n, int32_t den) {
  if (absM >= half) return signSaturated(v);
  const int32_t q = wrapShl32(m, n) / den;
  const int32_t q14 = wrapShl32(q, 14u);
  return satAdd32(q14, q14);
}

}  // namespace tavrix::math::ripple

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// Each output is f32ModIndex * input / (f32ArgDcBusMsr / 2), saturated: MAX or MIN by the sign of
// the input component once |f32ModIndex * input| reaches half the bus. A bus below 2^16 (upper
// half zero) gives (0, 0). A negative bus reading, which no divider can produce, gives MAX or MIN
// by the sign of each input component, as any magnitude exceeds a negative half bus.
[[gnu::always_inline]] inline void GMCLIB_ElimDcBusRipANSIC(
    MCLIB_2_COOR_SYST_ALPHA_BETA_T* pOut, const MCLIB_2_COOR_SYST_ALPHA_BETA_T* pIn,
    const GMCLIB_ELIM_DC_BUS_RIP_T* pParam) {
  namespace tmath = tavrix::math;
  using tmath::ripple::scaleAxis;
  using tmath::ripple::signSaturated;
  const Frac32 dc = pParam->f32ArgDcBusMsr;
  if ((dc >> 16) == 0) {
    pOut->f32Alpha = 0;
    pOut->f32Beta = 0;
    return;
  }
  const int32_t half = dc >> 1;
  if (half < 0) {
    // Every |m| is at least a negative half bus (the normalisation would shift by a negative
    // count here), so both outputs saturate by the input's sign.
    pOut->f32Alpha = signSaturated(pIn->f32Alpha);
    pOut->f32Beta = signSaturated(pIn->f32Beta);
    return;
  }
  const int32_t mAlpha = tmath::mul31(pParam->f32ModIndex, pIn->f32Alpha);
  const int32_t mBeta = tmath::mul31(pParam->f32ModIndex, pIn->f32Beta);
  const int32_t absAlpha = mAlpha < 0 ? tmath::wrapNeg32(mAlpha) : mAlpha;
  const int32_t absBeta = mBeta < 0 ? tmath::wrapNeg32(mBeta) : mBeta;
  // half >= 2^15 here, so n = 30 - (highest set bit) lies in 1..15 and den, the top 15
  // significant bits of half, in [2^14, 2^15): never zero.
  const uint32_t n = static_cast<uint32_t>(std::countl_zero(static_cast<uint32_t>(half)) - 1);
  const int32_t den = static_cast<int16_t>(static_cast<uint16_t>(tmath::shr32(half, 16u - n)));
  pOut->f32Alpha = scaleAxis(mAlpha, absAlpha, pIn->f32Alpha, half, n, den);
  pOut->f32Beta = scaleAxis(mBeta, absBeta, pIn->f32Beta, half, n, den);
}
