#include "firmware/math/controller_pi.hpp"

#include <cstdint>

#include "firmware/math/arith.hpp"
#include "firmware/math/frac.hpp"

namespace tmath = tavrix::math;

namespace {

// v * 2^s: saturating for s > 0, arithmetic right shift for s <= 0. shr32/wrapShl32 extend the
// shifts past 31 bits without undefined behaviour (MAX >> 32 = 0, MIN >> 32 = -1).
inline Frac32 scaleByShift(Frac32 v, Word16 s) {
  if (s > 0) {
    const uint32_t n = static_cast<uint32_t>(s);
    if (v > tmath::shr32(tmath::kFrac32Max, n)) return tmath::kFrac32Max;
    if (v <= tmath::shr32(tmath::kFrac32Min, n)) return tmath::kFrac32Min;
    return tmath::wrapShl32(v, n);
  }
  return tmath::shr32(v, static_cast<uint32_t>(-static_cast<int32_t>(s)));
}

// Upper limit checked first, so inverted limits (lower > upper) give the upper one.
inline Frac32 limit(Frac32 v, Frac32 lower, Frac32 upper) {
  if (v >= upper) return upper;
  if (v <= lower) return lower;
  return v;
}

}  // namespace

Frac32 GFLIB_ControllerPIpAWANSIC(Frac32 f32InErr, GFLIB_CONTROLLER_PIAW_P_T* pParam) {
  const Frac32 prop =
      scaleByShift(F32MulSat(pParam->f32PropGain, f32InErr), pParam->w16PropGainShift);
  const Frac32 integIn =
      scaleByShift(tmath::satAdd32(F32MulSat(pParam->f32IntegGain, f32InErr),
                                   F32MulSat(pParam->f32IntegGain, pParam->f32InK_1)),
                   pParam->w16IntegGainShift);
  const Frac32 integ = limit(tmath::satAdd32(integIn, pParam->f32IntegPartK_1),
                             pParam->f32LowerLimit, pParam->f32UpperLimit);
  pParam->f32IntegPartK_1 = integ;
  const Frac32 out =
      limit(tmath::satAdd32(prop, integ), pParam->f32LowerLimit, pParam->f32UpperLimit);
  pParam->u16LimitFlag =
      (out == pParam->f32UpperLimit || out == pParam->f32LowerLimit) ? UWord16{1} : UWord16{0};
  pParam->f32InK_1 = f32InErr;
  return out;
}
