// Square root of a Q31 fraction.
#pragma once

#include <cstdint>

#include "firmware/math/types.hpp"

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// Takes the input as unsigned u and returns floor(sqrt(u / 2)), at most 32767, in Q15 placed in
// the upper half of the result (lower 16 bits 0). So sqrt(0.5) -> 0.7071, and a negative input,
// read as u >= 2^31, gives 0x7FFF0000.
//
// The root is the largest r in 0..32767 with 2 r^2 <= u. The single-precision square root
// estimates it (one VSQRT on the chip instead of fifteen trial steps) and one integer check in
// each direction makes it exact: u converts with a relative error of at most 2^-24 and the root
// adds at most as much, so below 2^31 the estimate lies within 0.003 of sqrt(u / 2) and its
// truncation is off by at most one. Every trial square stays below 2^32 (r <= 32768).
[[gnu::always_inline]] inline Frac32 GFLIB_SqrtANSIC(Frac32 f32In) {
  const uint32_t u = static_cast<uint32_t>(f32In);
  if (u >= 0x80000000u) return static_cast<Frac32>(0x7FFF0000u);  // 2 * 32768^2 = 2^31 > u
  auto r = static_cast<uint32_t>(__builtin_sqrtf(static_cast<float>(u) * 0.5f));
  if (2u * r * r > u) r -= 1u;
  const uint32_t up = r + 1u;
  if (2u * up * up <= u) r = up;
  return static_cast<Frac32>(r << 16);
}
