// Bit-exact integer arithmetic helpers with the Cortex-M4F's results and no undefined behaviour.
//
// The chip's 32-bit adds, multiplies and shifts wrap; its SDIV/UDIV give 0 for a zero divisor and
// INT_MIN for INT_MIN / -1; its VCVT float-to-integer conversion truncates, saturates and maps NaN
// to 0. C++ leaves all of these undefined on signed types, and x86 traps on the divisions, so every
// real-time computation that can meet them goes through the functions below.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tavrix::math {

// ---- 32-bit wrap-around ---------------------------------------------------------------------

constexpr int32_t wrapAdd32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wrapSub32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t wrapMul32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
constexpr int32_t wrapNeg32(int32_t a) { return static_cast<int32_t>(0u - static_cast<uint32_t>(a)); }
// Left shift by 0..31 that drops the bits shifted out (LSL); counts of 32 and above give 0.
constexpr int32_t wrapShl32(int32_t a, uint32_t n) {
  return n >= 32u ? 0 : static_cast<int32_t>(static_cast<uint32_t>(a) << n);
}
// Arithmetic right shift by 0..31 (ASR); counts of 32 and above give the sign (0 or -1).
constexpr int32_t shr32(int32_t a, uint32_t n) { return n >= 32u ? (a < 0 ? -1 : 0) : a >> n; }

// ---- 64-bit forms -----------------------------------------------------------------------------

// Full 64-bit product of two 32-bit values (SMULL): never overflows.
constexpr int64_t mul64(int32_t a, int32_t b) { return static_cast<int64_t>(a) * b; }
constexpr int64_t wrapAdd64(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
constexpr int64_t wrapSub64(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
constexpr int64_t wrapMul64(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
constexpr int64_t wrapShl64(int64_t a, uint32_t n) {
  return n >= 64u ? 0 : static_cast<int64_t>(static_cast<uint64_t>(a) << n);
}
constexpr int64_t shr64(int64_t a, uint32_t n) { return n >= 64u ? (a < 0 ? -1 : 0) : a >> n; }
// Low 32 bits of a 64-bit value, as the chip keeps them when a 64-bit result is stored in 32.
constexpr int32_t low32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// ---- division -----------------------------------------------------------------------------------

// Signed division truncating toward zero; 0 for a zero divisor, INT_MIN for INT_MIN / -1.
constexpr int32_t div32(int32_t n, int32_t d) {
  if (d == 0) return 0;
  if (d == -1) return wrapNeg32(n);
  return n / d;
}
// Remainder as the compiler forms it on the chip (n - (n / d) * d): n for a zero divisor, 0 for
// INT_MIN % -1.
constexpr int32_t rem32(int32_t n, int32_t d) {
  return wrapSub32(n, wrapMul32(div32(n, d), d));
}
constexpr uint32_t udiv32(uint32_t n, uint32_t d) { return d == 0u ? 0u : n / d; }
constexpr int64_t div64(int64_t n, int64_t d) {
  if (d == 0) return 0;
  if (d == -1) return static_cast<int64_t>(0u - static_cast<uint64_t>(n));
  return n / d;
}
constexpr uint64_t udiv64(uint64_t n, uint64_t d) { return d == 0u ? 0u : n / d; }

// ---- float to integer ---------------------------------------------------------------------------

// VCVT.S32.F32: round toward zero, saturate to the 32-bit range, NaN -> 0.
constexpr int32_t f2i32(float f) {
  if (f != f) return 0;
  if (f >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (f <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(f);
}
// VCVT.U32.F32: round toward zero, negative -> 0, saturate at 0xFFFFFFFF, NaN -> 0.
constexpr uint32_t f2u32(float f) {
  if (f != f || f <= 0.0f) return 0u;
  if (f >= 4294967296.0f) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(f);
}
// Double to signed 32-bit as the chip's run-time library does it: truncate, saturate, NaN -> 0.
constexpr int32_t d2i32(double d) {
  if (d != d) return 0;
  if (d >= 2147483648.0) return std::numeric_limits<int32_t>::max();
  if (d <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(d);
}
// Float to a 16-bit value the way `(short)f` compiles on the chip: VCVT to 32 bits (saturating),
// then the low 16 bits.
constexpr int16_t f2i16(float f) { return static_cast<int16_t>(static_cast<uint16_t>(f2i32(f))); }

// Round to nearest, ties to even (VCVTR with the default rounding mode), saturating, NaN -> 0.
inline int32_t f2i32RoundEven(float f) {
  if (f != f) return 0;
  if (f >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (f <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  const float t = std::trunc(f);
  const float frac = f - t;  // exact: t and f share the exponent range
  int32_t i = static_cast<int32_t>(t);
  const float mag = std::fabs(frac);
  if (mag > 0.5f || (mag == 0.5f && (i & 1) != 0)) i += (f < 0.0f) ? -1 : 1;
  return i;
}
// Round to nearest, halves away from zero, of a double, saturating to 32 bits, NaN -> 0.
inline int32_t d2i32RoundHalfAway(double d) {
  if (d != d) return 0;
  const double r = std::round(d);
  return d2i32(r);
}

}  // namespace tavrix::math
