#include "firmware/math/sqrt.hpp"

#include <cstdint>

Frac32 GFLIB_SqrtANSIC(Frac32 f32In) {
  const uint32_t u = static_cast<uint32_t>(f32In);
  // Largest r in 0..32767 with 2 r^2 <= u, one bit per step from bit 14 down; 2 (2^15 - 1)^2 stays
  // below 2^32, so the trial square never overflows.
  uint32_t r = u >= (1u << 29) ? (1u << 14) : 0u;
  for (uint32_t b = 1u << 13; b != 0u; b >>= 1) {
    const uint32_t t = r + b;
    if (2u * t * t <= u) r = t;
  }
  return static_cast<Frac32>(r << 16);
}
