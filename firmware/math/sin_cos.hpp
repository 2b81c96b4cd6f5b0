// Sine and cosine of a Q31 angle (1.0 = pi) by a ninth-order odd polynomial in Q31.
#pragma once

#include "firmware/math/types.hpp"

// Half the Taylor coefficients of sin(pi y / 2) for y^9 (fitted), y^7, y^5, y^3 and y, in Q31.
extern const GFLIB_SINTLR_T gflibSinCoef;
extern const GFLIB_COSTLR_T gflibCosCoef;

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// sin(pi f32In) within 6e-5 over the whole range; sin(pi/2) = 2147450880. The angle is folded
// onto [0, pi/2] with a floor, so inputs 1..32768 give 102943 and -1..-32768 give -102943.
Frac32 GFLIB_SinANSIC(Frac32 f32In, const GFLIB_SINTLR_T* pParam);

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// cos(pi f32In): the sine of f32In + 1/2 (wrapping), so cos(0) = 2147450880.
Frac32 GFLIB_CosANSIC(Frac32 f32In, const GFLIB_COSTLR_T* pParam);
