#include "firmware/control/gains.hpp"

#include "firmware/math/arith.hpp"

using tavrix::GainTargets;
using tavrix::math::div32;
using tavrix::math::low32;
using tavrix::math::mul64;
using tavrix::math::shr32;
using tavrix::math::shr64;
using tavrix::math::wrapAdd32;
using tavrix::math::wrapMul32;
using tavrix::math::wrapShl32;
namespace prop = tavrix::prop;

namespace {

// Integer forms of the loop constants; the first five are the nearest integers to the values
// beside them (checked below).
constexpr int32_t kTwoPi = 412;             // 2 pi x 65.536
constexpr int32_t kFourPiSq = 2587;         // 4 pi^2 x 65.536
constexpr int32_t kPi = 3217;               // pi x 1024
constexpr int32_t kPiSq = 10106;            // pi^2 x 1024
constexpr int32_t kIntegScale = 161061;     // 0.000075 x 2^31
constexpr int32_t kTorqueScale = 896;       // torque constant to the velocity loop's divisor
constexpr int32_t kPositionScale = 4096;    // the position loop's fixed fracscale
constexpr int32_t kCurrentScale = 6356654;  // divided by CURRENT_GAIN_SCALE: the current fracscale

constexpr double kPiD = 3.14159265358979323846;
constexpr bool isNearest(int32_t n, double v) {
  return n - 0.5 < v && v < n + 0.5;
}
static_assert(isNearest(kTwoPi, 2.0 * kPiD * 65.536) &&
              isNearest(kFourPiSq, 4.0 * kPiD * kPiD * 65.536));
static_assert(isNearest(kPi, kPiD * 1024.0) && isNearest(kPiSq, 1024.0 * kPiD * kPiD));
static_assert(isNearest(kIntegScale, 0.000075 * 2147483648.0));

// Low 32 bits of the 64-bit product a x b shifted right (arithmetically) by n.
constexpr int32_t mulShr(int32_t a, int32_t b, uint32_t n) {
  return low32(shr64(mul64(a, b), n));
}

// Context: main loop.
// Rescales an integral gain into the record and writes its read-back pair (the mantissa as Q15).
// Every loop stores its integral gain before its proportional one.
void storeIntegral(int32_t gain, GFLIB_CONTROLLER_PIAW_P_T& pi, tavrix::PropertyTable& table,
                   int16_t mantissaProp, int16_t shiftProp) {
  gainsRescale(gain, &pi.f32IntegGain, &pi.w16IntegGainShift);
  table.set16(shiftProp, pi.w16IntegGainShift);
  table.set16(mantissaProp, static_cast<int16_t>(shr32(pi.f32IntegGain, 16)));
}

// Context: main loop.
void storeProportional(int32_t gain, GFLIB_CONTROLLER_PIAW_P_T& pi, tavrix::PropertyTable& table,
                       int16_t mantissaProp, int16_t shiftProp) {
  gainsRescale(gain, &pi.f32PropGain, &pi.w16PropGainShift);
  table.set16(shiftProp, pi.w16PropGainShift);
  table.set16(mantissaProp, static_cast<int16_t>(shr32(pi.f32PropGain, 16)));
}

}  // namespace

// Context: main loop.
void gainsRescale(int32_t inGain, int32_t* outGain, int16_t* shift) {
  int16_t s = 0;
  if (inGain > 0) {
    while (inGain < 32768) {
      --s;
      inGain *= 2;  // below 2^15: cannot overflow
    }
    while (inGain >= 65536) {
      ++s;
      inGain >>= 1;
    }
  }
  *shift = s;
  *outGain = wrapShl32(inGain, 15);
}

// Context: main loop.
void gainsMotorParamsToCurrentGains(const GainTargets& g) {
  const int32_t scale = g.table.get16(prop::CURRENT_GAIN_SCALE);
  const int32_t r = g.table.get16(prop::WINDING_R);
  const int32_t l = g.table.get16(prop::WINDING_L);
  const int32_t bw = g.table.get16(prop::CURRENT_BW);
  const int32_t fracscale = shr32(div32(kCurrentScale, scale), 4);

  // Integral: bw^2 L 4pi^2, every product 64-bit (up to about 2^57).
  const int64_t p = int64_t{bw} * (int64_t{bw} * (int64_t{l} * kFourPiSq));
  int32_t gain = low32(shr64(p, 12));
  gain = mulShr(gain, fracscale, 16);
  gain = mulShr(gain, kIntegScale, 31);
  storeIntegral(gain, g.dAxisPI, g.table, prop::CUR_KI, prop::CUR_KI_SHIFT);
  g.qAxisPI.f32IntegGain = g.dAxisPI.f32IntegGain;
  g.qAxisPI.w16IntegGainShift = g.dAxisPI.w16IntegGainShift;

  // Proportional: 2pi L bw - R, in 32 bits (the product wraps for large L x bw).
  const int32_t lbw = shr32(wrapMul32(wrapMul32(kTwoPi, l), bw), 12);
  gain = wrapAdd32(wrapMul32(-r, 16), lbw);
  gain = mulShr(gain, fracscale, 16);
  storeProportional(gain, g.dAxisPI, g.table, prop::CUR_KP, prop::CUR_KP_SHIFT);
  g.qAxisPI.f32PropGain = g.dAxisPI.f32PropGain;
  g.qAxisPI.w16PropGainShift = g.dAxisPI.w16PropGainShift;
}

// Context: main loop.
void gainsMotorParamsToVelocityGains(const GainTargets& g) {
  const int32_t inertia = g.table.get16(prop::INERTIA);
  const int32_t kt = g.table.get16(prop::TORQUE_CONSTANT);
  const int32_t bw = g.table.get16(prop::VELOCITY_BW);
  // A torque constant of 0..4 makes the divisor 0 and so every gain 0.
  const int32_t fracscale = shr32(div32(2147483647, shr32(kTorqueScale * kt, 12)), 8);

  // Integral: J bw^2 4pi^2; the later products are 64-bit too (32-bit ones turn ordinary gains
  // negative).
  const int64_t p = int64_t{inertia} * (int64_t{bw} * (int64_t{bw} * kFourPiSq));
  int32_t gain = low32(shr64(p, 15));
  gain = mulShr(gain, fracscale, 16);
  gain = mulShr(gain, kIntegScale, 23);
  storeIntegral(gain, g.velPI, g.table, prop::VEL_KI, prop::VEL_KI_SHIFT);

  // Proportional: 2pi J bw.
  gain = wrapMul32(bw, shr32(kTwoPi * inertia, 15));
  gain = mulShr(gain, fracscale, 8);
  storeProportional(gain, g.velPI, g.table, prop::VEL_KP, prop::VEL_KP_SHIFT);
}

// Context: main loop.
void gainsMotorParamsToPositionGains(const GainTargets& g) {
  const int32_t bw = g.table.get16(prop::POSITION_BW);

  // Integral: pi^2 bw^2 in 32 bits (wraps for large bw), or 0 when the integral is switched off.
  int32_t gain = 0;
  if (g.table.get16(prop::POS_NO_INTEGRAL) <= 0) {
    gain = wrapMul32(bw, shr32(bw * kPiSq, 8));
  }
  gain = mulShr(gain, kPositionScale, 16);
  gain = mulShr(gain, kIntegScale, 31);
  storeIntegral(gain, g.posPI, g.table, prop::POS_KI, prop::POS_KI_SHIFT);

  // Proportional: pi bw.
  gain = bw * kPi;
  gain = mulShr(gain, kPositionScale, 16);
  storeProportional(gain, g.posPI, g.table, prop::POS_KP, prop::POS_KP_SHIFT);
}
