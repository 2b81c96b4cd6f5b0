// Basic fractional operations on Q15/Q31 numbers, and the saturating 32-bit helpers the
// motor-control routines are built from. All are bit-exact with the chip and free of undefined
// behaviour for every input.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#include "firmware/math/arith.hpp"
#include "firmware/math/types.hpp"

#if defined(__ARM_FEATURE_DSP)
#include <arm_acle.h>  // QADD/QSUB: one-cycle saturating add and subtract
#endif

namespace tavrix::math {

inline constexpr int32_t kFrac32Max = std::numeric_limits<int32_t>::max();
inline constexpr int32_t kFrac32Min = std::numeric_limits<int32_t>::min();

// Bits 62..31 of the full product: floor(a * b / 2^31) truncated to 32 bits. Wraps only for
// a = b = INT32_MIN (giving INT32_MIN).
constexpr int32_t mul31(int32_t a, int32_t b) {
  return low32(shr64(mul64(a, b), 31u));
}

// Exact sum or difference clamped to [INT32_MIN, INT32_MAX].
constexpr int32_t satAdd32(int32_t a, int32_t b) {
#if defined(__ARM_FEATURE_DSP)
  if (!std::is_constant_evaluated()) return __qadd(a, b);
#endif
  const int64_t s = static_cast<int64_t>(a) + b;
  return s > kFrac32Max ? kFrac32Max : (s < kFrac32Min ? kFrac32Min : static_cast<int32_t>(s));
}
constexpr int32_t satSub32(int32_t a, int32_t b) {
#if defined(__ARM_FEATURE_DSP)
  if (!std::is_constant_evaluated()) return __qsub(a, b);
#endif
  const int64_t s = static_cast<int64_t>(a) - b;
  return s > kFrac32Max ? kFrac32Max : (s < kFrac32Min ? kFrac32Min : static_cast<int32_t>(s));
}

// v clamped to [lo, hi] (lo <= hi).
constexpr int32_t clamp32(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace tavrix::math

// Context: any (pure). Q15 product (x * y) >> 15 truncated to 16 bits, no saturation:
// -1 * -1 gives -32768.
constexpr Frac16 F16Mul(Frac16 x, Frac16 y) {
  return static_cast<Frac16>(static_cast<uint16_t>((static_cast<int32_t>(x) * y) >> 15));
}

// Context: any (pure). Q31 product, truncated toward minus infinity; -1 * -1 wraps to -1.
constexpr Frac32 F32Mul(Frac32 x, Frac32 y) {
  return tavrix::math::mul31(x, y);
}

// Context: any (pure). Q31 product; the one wrapped case, -1 * -1, gives MAX instead.
constexpr Frac32 F32MulSat(Frac32 x, Frac32 y) {
  const Frac32 r = tavrix::math::mul31(x, y);
  return r == tavrix::math::kFrac32Min ? tavrix::math::kFrac32Max : r;
}

// Context: any (pure). -x, with -MIN giving MAX.
constexpr Frac32 F32NegSat(Frac32 x) {
  return x == tavrix::math::kFrac32Min ? tavrix::math::kFrac32Max : -x;
}
