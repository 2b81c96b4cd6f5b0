// Entry points for the cycle estimates of the fixed-point library on the chip's instruction
// timing: each is called by name from the emulator, with plain integer arguments.
#include <cstdint>

#include "firmware/math/fixed_math.hpp"

namespace {

// A small deterministic input sequence (linear congruential), so calls see varying arguments.
uint32_t next(uint32_t i) {
  return i * 1664525u + 1013904223u;
}
int32_t small(uint32_t i) {
  return static_cast<int32_t>(next(i) >> 2) - (1 << 29);
}

GFLIB_CONTROLLER_PIAW_P_T makeCurrentPi() {
  GFLIB_CONTROLLER_PIAW_P_T pi{};
  pi.f32PropGain = 1 << 30;
  pi.w16PropGainShift = 1;
  pi.f32IntegGain = 1 << 24;
  pi.w16IntegGainShift = 0;
  pi.f32LowerLimit = -(1 << 30);
  pi.f32UpperLimit = 1 << 30;
  return pi;
}

GFLIB_CONTROLLER_PIAW_P_T piD = makeCurrentPi();
GFLIB_CONTROLLER_PIAW_P_T piQ = makeCurrentPi();
volatile int32_t sink;

}  // namespace

extern "C" {

int32_t bench_sqrt(int32_t x) {
  return GFLIB_SqrtANSIC(x);
}

int32_t bench_pi(int32_t error) {
  return GFLIB_ControllerPIpAWANSIC(error, &piQ);
}

int32_t bench_sin(int32_t angle) {
  return GFLIB_SinANSIC(angle, &gflibSinCoef);
}

// One current-control chain: Clarke, Park, two PI controllers, inverse Park, DC-bus ripple
// elimination, modulation, with the sine and cosine of the rotor angle and the q-axis voltage
// limit's square root.
int32_t bench_chain(uint32_t i) {
  const int32_t ia = small(i), ib = small(i + 1);
  const MCLIB_3_COOR_SYST_T abc{ia, ib, -ia - ib};
  const int32_t rotor = static_cast<int32_t>(next(i + 2));
  const MCLIB_ANGLE_T angle{GFLIB_SinANSIC(rotor, &gflibSinCoef),
                            GFLIB_CosANSIC(rotor, &gflibCosCoef)};
  MCLIB_2_COOR_SYST_ALPHA_BETA_T iAb;
  GMCLIB_ClarkANSIC(&iAb, &abc);
  MCLIB_2_COOR_SYST_D_Q_T iDq;
  GMCLIB_ParkANSIC(&iDq, &angle, &iAb);
  const int32_t ud = GFLIB_ControllerPIpAWANSIC(0 - iDq.f32D, &piD);
  const int32_t limit = GFLIB_SqrtANSIC((1 << 30) - (ud >> 2));
  piQ.f32UpperLimit = limit;
  piQ.f32LowerLimit = -limit;
  const MCLIB_2_COOR_SYST_D_Q_T uDq{ud, GFLIB_ControllerPIpAWANSIC(small(i + 3) - iDq.f32Q, &piQ)};
  MCLIB_2_COOR_SYST_ALPHA_BETA_T uAb;
  GMCLIB_ParkInvANSIC(&uAb, &angle, &uDq);
  const GMCLIB_ELIM_DC_BUS_RIP_T ripple{1859720839, (1 << 30) + static_cast<int32_t>(next(i) >> 3)};
  MCLIB_2_COOR_SYST_ALPHA_BETA_T uAbScaled;
  GMCLIB_ElimDcBusRipANSIC(&uAbScaled, &uAb, &ripple);
  MCLIB_3_COOR_SYST_T duty;
  const int32_t sector = GMCLIB_SvmStdANSIC(&duty, &uAbScaled);
  sink = duty.f32A ^ duty.f32B ^ duty.f32C;
  return sector;
}

}  // extern "C"
