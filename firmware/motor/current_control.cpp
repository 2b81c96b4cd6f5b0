#include "firmware/motor/current_control.hpp"

#include <initializer_list>

#include "firmware/math/fixed_math.hpp"

namespace tavrix {

using math::low32;
using math::mul64;
using math::satSub32;
using math::shr64;
using math::wrapAdd32;
using math::wrapShl32;
using math::wrapSub32;

namespace {

// Coefficient (16 fraction bits) times a state: the 64-bit product shifted right arithmetically
// by 16, truncated to 32 bits. Rounds toward minus infinity.
int32_t mul16(int32_t k, int32_t x) {
  return low32(shr64(mul64(k, x), 16u));
}

struct ObserverCoefficients {
  int32_t a11, a12, a21, a22, b11, b21, k11, k12, k21, k22, a_d, b_d, k_d;
};

// Sets fitted to the drive's motor at 12800 and 25600 counts per revolution.
constexpr ObserverCoefficients kCoefficients12800 = {63569, 9655, -8112, 35680, 0,     36408, 9175,
                                                     1048,  1966, 40370, 35680, 36408, 36700};
constexpr ObserverCoefficients kCoefficients25600 = {
    64880, 4936, -15066, 35680, 0, 36408, 12598, 524, 6087, 38907, 35680, 36408, 39321};

void pickUp(Observer& o, const ObserverCoefficients& c) {
  o.a11 = c.a11;
  o.a12 = c.a12;
  o.a21 = c.a21;
  o.a22 = c.a22;
  o.b11 = c.b11;
  o.b21 = c.b21;
  o.k11 = c.k11;
  o.k12 = c.k12;
  o.k21 = c.k21;
  o.k22 = c.k22;
  o.a_d = c.a_d;
  o.b_d = c.b_d;
  o.k_d = c.k_d;
}

}  // namespace

// Context: ISR, level 5 (PWM period; phase 0).
void Observer::reset(int16_t property83) {
  if (property83 == 12800) {
    pickUp(*this, kCoefficients12800);
  } else if (property83 == 25600) {
    pickUp(*this, kCoefficients25600);
  }
  x_d = x11 = x21 = 0;
}

// Context: ISR, level 5 (PWM period; phase 4).
void Observer::predict(const MCLIB_2_COOR_SYST_D_Q_T& uDQReq) {
  const int32_t ud = uDQReq.f32D >> 15;
  const int32_t uq = uDQReq.f32Q >> 15;
  xbar_d = wrapAdd32(mul16(a_d, x_d), mul16(b_d, ud));
  xbar_11 = wrapAdd32(mul16(b11, uq), wrapAdd32(mul16(a11, x11), mul16(a12, x21)));
  xbar_21 = wrapAdd32(mul16(b21, uq), wrapAdd32(mul16(a21, x11), mul16(a22, x21)));
}

// Context: ISR, level 5 (PWM period; phase 5, inside SV_Control_A).
void Observer::correct(MCLIB_2_COOR_SYST_D_Q_T& iDQFbck, int32_t velocity, int16_t useEstimate,
                       int16_t property41) {
  if (useEstimate == 0) {
    const int32_t yd = iDQFbck.f32D >> 15;
    const int32_t yv = velocity;
    const int32_t yq = iDQFbck.f32Q >> 15;
    const int32_t ev = wrapSub32(yv, xbar_11);
    const int32_t eq = wrapSub32(yq, xbar_21);
    x_d = wrapAdd32(xbar_d, mul16(k_d, wrapSub32(yd, xbar_d)));
    x11 = wrapAdd32(wrapAdd32(xbar_11, mul16(k11, ev)), mul16(k12, eq));
    x21 = wrapAdd32(wrapAdd32(xbar_21, mul16(k21, ev)), mul16(k22, eq));
  } else {
    // No trusted samples: the previous corrected estimates stand in for the measurements, each
    // update using the values already updated (x21's uses the new x11 and its own old value).
    x_d = wrapAdd32(xbar_d, mul16(k_d, wrapSub32(x_d, xbar_d)));
    x11 = wrapAdd32(wrapAdd32(xbar_11, mul16(k11, wrapSub32(x11, xbar_11))),
                    mul16(k12, wrapSub32(x21, xbar_21)));
    x21 = wrapAdd32(wrapAdd32(xbar_21, mul16(k21, wrapSub32(x11, xbar_11))),
                    mul16(k22, wrapSub32(x21, xbar_21)));
  }
  if (property41 == 0) {
    iDQFbck.f32D = wrapShl32(x_d, 15u);
    iDQFbck.f32Q = wrapShl32(x21, 15u);
  }
}

// Context: main loop (start-up, before the PWM timer runs).
void CurrentControl::InitSV() {
  iAbcFbck = {};
  iAlBeFbck = {};
  iDQReq = {};
  iDQErr = {};
  iDQFbck = {};
  uAlBeReq = {};
  uAlBeReqDCB = {};
  uDQReq = {};
  uDCBus = 0;
  thRotElSyst = {};
  pwm32 = {};
  for (GFLIB_CONTROLLER_PIAW_P_T* pi : {&dAxisPI, &qAxisPI}) {
    pi->f32PropGain = kStartPropGain;
    pi->f32IntegGain = kStartIntegGain;
    pi->w16PropGainShift = 0;
    pi->w16IntegGainShift = 0;
    pi->f32IntegPartK_1 = 0;
    pi->f32InK_1 = 0;
    pi->u16LimitFlag = 0;
  }
  elimDcbRip.f32ModIndex = kModIndex;
}

// Context: ISR, level 5 (PWM period; phase 0).
void CurrentControl::resetControllers() {
  uDCBus = kBusVoltage;
  for (GFLIB_CONTROLLER_PIAW_P_T* pi : {&dAxisPI, &qAxisPI}) {
    pi->f32UpperLimit = math::kFrac32Max;
    pi->f32LowerLimit = math::kFrac32Min;
    pi->f32IntegPartK_1 = 0;
    pi->f32InK_1 = 0;
    pi->u16LimitFlag = 0;
  }
}

// Context: ISR, level 5 (PWM period; phase 5).
[[gnu::flatten]] void CurrentControl::SV_Control_A(const CurrentInputs& in) {
  GMCLIB_ClarkANSIC(&iAlBeFbck, &iAbcFbck);

  // While the electrical offset is searched the rotor is pulled to angle 0 by a d current.
  if (in.findingOffset) {
    iDQReq.f32D = wrapShl32(in.property93, 18u);
    iDQReq.f32Q = 0;
    thRotEl = 0;
  } else {
    iDQReq.f32D = 0;
  }

  thRotElSyst.f32Sin = GFLIB_SinANSIC(thRotEl, &gflibSinCoef);
  thRotElSyst.f32Cos = GFLIB_CosANSIC(thRotEl, &gflibCosCoef);
  GMCLIB_ParkANSIC(&iDQFbck, &thRotElSyst, &iAlBeFbck);

  observer.correct(iDQFbck, in.velocity, in.useEstimate, in.property41);

  iDQErr.f32D = satSub32(iDQReq.f32D, iDQFbck.f32D);
  iDQErr.f32Q = satSub32(iDQReq.f32Q, iDQFbck.f32Q);

  uAmplitudeMax = F32Mul(uDCBus, kInvSqrt3);
  dAxisPI.f32UpperLimit = uAmplitudeMax;
  dAxisPI.f32LowerLimit = F32NegSat(dAxisPI.f32UpperLimit);
  uDQReq.f32D = GFLIB_ControllerPIpAWANSIC(iDQErr.f32D, &dAxisPI);

  // The q axis gets what the d voltage leaves of the circle.
  const Frac32 qLimit = GFLIB_SqrtANSIC(
      satSub32(F32MulSat(uAmplitudeMax, uAmplitudeMax), F32MulSat(uDQReq.f32D, uDQReq.f32D)));
  qAxisPI.f32UpperLimit = qLimit;
  qAxisPI.f32LowerLimit = F32NegSat(qLimit);
}

// Context: ISR, level 5 (PWM period; phase 6).
[[gnu::flatten]] int16_t CurrentControl::SV_Control_B(int16_t property38, int16_t property42) {
  uDQReq.f32Q = GFLIB_ControllerPIpAWANSIC(iDQErr.f32Q, &qAxisPI);

  // Open-loop voltage: the controllers keep running, their outputs are replaced.
  if (property38 != 0) {
    uDQReq.f32D = 0;
    uDQReq.f32Q = wrapShl32(property42, 18u);
  }

  GMCLIB_ParkInvANSIC(&uAlBeReq, &thRotElSyst, &uDQReq);
  elimDcbRip.f32ArgDcBusMsr = uDCBus;
  GMCLIB_ElimDcBusRipANSIC(&uAlBeReqDCB, &uAlBeReq, &elimDcbRip);
  svmSector = static_cast<int16_t>(GMCLIB_SvmStdANSIC(&pwm32, &uAlBeReqDCB));
  return svmSector;
}

}  // namespace tavrix
