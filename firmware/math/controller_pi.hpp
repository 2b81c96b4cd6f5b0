// Parallel PI controller with trapezoidal integration and anti-windup by clamping the integral.
#pragma once

#include "firmware/math/types.hpp"

// Context: the owner of *pParam; the current and velocity loops run it in the control interrupt,
// ISR level 5 (PWM period), while the main loop may only rewrite gains and limits.
//
// Each gain is its Q31 mantissa times 2^shift; the 1/2 of the trapezoidal rule belongs to the
// integral gain. The integral state is held inside [f32LowerLimit, f32UpperLimit], the output
// is limited the same way, and u16LimitFlag reports whether the output sits on a limit.
// Shift counts of 32 or more saturate any non-zero term to MAX or MIN by its sign; counts of
// -32 or less leave the term's sign only (0 or -1), as an arithmetic shift running on would.
Frac32 GFLIB_ControllerPIpAWANSIC(Frac32 f32InErr, GFLIB_CONTROLLER_PIAW_P_T* pParam);
