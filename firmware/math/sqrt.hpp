// Square root of a Q31 fraction.
#pragma once

#include "firmware/math/types.hpp"

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// Takes the input as unsigned u and returns floor(sqrt(u / 2)), at most 32767, in Q15 placed in
// the upper half of the result (lower 16 bits 0). So sqrt(0.5) -> 0.7071, and a negative input,
// read as u >= 2^31, gives 0x7FFF0000.
Frac32 GFLIB_SqrtANSIC(Frac32 f32In);
