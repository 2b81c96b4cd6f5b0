// Fractional number formats and the records the motor-control math routines work on.
#pragma once

#include <cstdint>

using Frac32 = int32_t;    // Q31: value / 2^31, range [-1, 1)
using Frac16 = int16_t;    // Q15: value / 2^15
using Word16 = int16_t;    // plain integer (shift counts)
using UWord16 = uint16_t;  // plain integer (flags)

// Three-phase quantities.
struct MCLIB_3_COOR_SYST_T {
  Frac32 f32A;
  Frac32 f32B;
  Frac32 f32C;
};

// Stationary two-axis quantities.
struct MCLIB_2_COOR_SYST_ALPHA_BETA_T {
  Frac32 f32Alpha;
  Frac32 f32Beta;
};

// Rotor-oriented quantities.
struct MCLIB_2_COOR_SYST_D_Q_T {
  Frac32 f32D;
  Frac32 f32Q;
};

// Sine and cosine of one angle.
struct MCLIB_ANGLE_T {
  Frac32 f32Sin;
  Frac32 f32Cos;
};

// Ripple elimination parameters.
struct GMCLIB_ELIM_DC_BUS_RIP_T {
  Frac32 f32ModIndex;     // modulation index
  Frac32 f32ArgDcBusMsr;  // measured DC-bus voltage
};

// Polynomial coefficients of the sine and cosine approximations.
struct GFLIB_SINTLR_T {
  Frac32 f32A[5];
};
struct GFLIB_COSTLR_T {
  Frac32 f32A[5];
};

// Parallel PI controller with anti-windup: gains, limits and state.
struct GFLIB_CONTROLLER_PIAW_P_T {
  Frac32 f32PropGain;
  Frac32 f32IntegGain;
  Word16 w16PropGainShift;
  Word16 w16IntegGainShift;
  Frac32 f32LowerLimit;
  Frac32 f32UpperLimit;
  Frac32 f32IntegPartK_1;  // integral state
  Frac32 f32InK_1;         // previous input error
  UWord16 u16LimitFlag;    // 1 when the last output sat on a limit
};
