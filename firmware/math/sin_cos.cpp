#include "firmware/math/sin_cos.hpp"

#include <cstdint>

#include "firmware/math/arith.hpp"

namespace tmath = tavrix::math;

const GFLIB_SINTLR_T gflibSinCoef = {{188656, -5026995, 85569306, -693598668, 1686629713}};
const GFLIB_COSTLR_T gflibCosCoef = {{188656, -5026995, 85569306, -693598668, 1686629713}};

namespace {

// Sine of angle `in` with coefficients a[0..4], 32-bit wrapping arithmetic throughout.
inline Frac32 sinPoly(Frac32 in, const Frac32* a) {
  // Fold onto [0, pi/2]: x = minus the folded angle in Q15 of pi/2, in [-32768, 0].
  int32_t t = tmath::wrapShl32(in, 1u);
  if (t < 0) t = tmath::wrapNeg32(t);
  t = tmath::wrapNeg32(t);
  const int32_t x = t >> 16;
  const int32_t x2 = (x * x) >> 16;  // |x| <= 2^15: no overflow
  int32_t s = a[0] >> 14;
  s = tmath::wrapAdd32(tmath::wrapMul32(x2, s), a[1]) >> 14;
  s = tmath::wrapAdd32(tmath::wrapMul32(x2, s), a[2]) >> 14;
  s = tmath::wrapAdd32(tmath::wrapMul32(x2, s), a[3]) >> 14;
  s = tmath::wrapAdd32(tmath::wrapMul32(x2, s), a[4]) >> 14;
  const int32_t r = tmath::wrapMul32(s, x);
  return in > 0 ? tmath::wrapNeg32(r) : r;
}

}  // namespace

Frac32 GFLIB_SinANSIC(Frac32 f32In, const GFLIB_SINTLR_T* pParam) {
  return sinPoly(f32In, pParam->f32A);
}

Frac32 GFLIB_CosANSIC(Frac32 f32In, const GFLIB_COSTLR_T* pParam) {
  return sinPoly(tmath::wrapAdd32(f32In, 1 << 30), pParam->f32A);  // a quarter turn ahead
}
