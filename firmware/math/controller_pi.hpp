// Parallel PI controller with trapezoidal integration and anti-windup by clamping the integral.
#pragma once

#include <cstdint>

#include "firmware/math/arith.hpp"
#include "firmware/math/frac.hpp"
#include "firmware/math/types.hpp"

#if defined(__ARM_FEATURE_SAT)
#include <arm_acle.h>  // USAT
#endif

namespace tavrix::math {

// Shift count clamped to 0..31: one USAT on the chip.
[[gnu::always_inline]] inline uint32_t shiftCount0to31(int32_t s) {
#if defined(__ARM_FEATURE_SAT)
  return static_cast<uint32_t>(__usat(s, 5));
#else
  return s <= 0 ? 0u : (s >= 31 ? 31u : static_cast<uint32_t>(s));
#endif
}

// v * 2^s: saturating for s > 0, arithmetic right shift for s <= 0, without branches on s.
// Counts beyond 31 act like 31 either way: a right shift by 31 already leaves the sign only,
// and a saturating left shift by 31 maps every non-zero value to MAX or MIN by its sign. The
// right shift runs first with count 0 for s > 0; the left shift then runs with count 0 for
// s <= 0, where it cannot overflow. A left shift overflowed exactly when shifting back does not
// restore the value, and then the result is MAX or MIN by the sign of the value.
[[gnu::always_inline]] inline int32_t scaleByShift(int32_t v, Word16 s) {
  const uint32_t left = shiftCount0to31(s);
  const uint32_t right = shiftCount0to31(-static_cast<int32_t>(s));
  const int32_t w = v >> right;
  const int32_t shifted = static_cast<int32_t>(static_cast<uint32_t>(w) << left);
  const int32_t saturated = (w >> 31) ^ kFrac32Max;
  return (shifted >> left) == w ? shifted : saturated;
}

// v limited to [lower, upper]; the upper limit is checked first, so inverted limits (lower >
// upper) give the upper one.
[[gnu::always_inline]] inline int32_t limitUpperFirst(int32_t v, int32_t lower, int32_t upper) {
  const int32_t low = v <= lower ? lower : v;
  return v >= upper ? upper : low;
}

}  // namespace tavrix::math

// Context: the owner of *pParam; the current and velocity loops run it in the control interrupt,
// ISR level 5 (PWM period), while the main loop may only rewrite gains and limits.
//
// Each gain is its Q31 mantissa times 2^shift; the 1/2 of the trapezoidal rule belongs to the
// integral gain. The integral state is held inside [f32LowerLimit, f32UpperLimit], the output
// is limited the same way, and u16LimitFlag reports whether the output sits on a limit.
// Shift counts of 32 or more saturate any non-zero term to MAX or MIN by its sign; counts of
// -32 or less leave the term's sign only (0 or -1), as an arithmetic shift running on would.
[[gnu::always_inline]] inline Frac32 GFLIB_ControllerPIpAWANSIC(Frac32 f32InErr,
                                                                GFLIB_CONTROLLER_PIAW_P_T* pParam) {
  namespace tm = tavrix::math;
  const Frac32 lower = pParam->f32LowerLimit;
  const Frac32 upper = pParam->f32UpperLimit;
  const Frac32 prop =
      tm::scaleByShift(F32MulSat(pParam->f32PropGain, f32InErr), pParam->w16PropGainShift);
  const Frac32 integIn =
      tm::scaleByShift(tm::satAdd32(F32MulSat(pParam->f32IntegGain, f32InErr),
                                    F32MulSat(pParam->f32IntegGain, pParam->f32InK_1)),
                       pParam->w16IntegGainShift);
  const Frac32 integ =
      tm::limitUpperFirst(tm::satAdd32(integIn, pParam->f32IntegPartK_1), lower, upper);
  pParam->f32IntegPartK_1 = integ;
  const Frac32 out = tm::limitUpperFirst(tm::satAdd32(prop, integ), lower, upper);
  pParam->u16LimitFlag = (out == upper || out == lower) ? UWord16{1} : UWord16{0};
  pParam->f32InK_1 = f32InErr;
  return out;
}
