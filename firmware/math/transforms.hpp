// Clarke, Park and inverse Park transforms on Q31 quantities.
#pragma once

#include "firmware/math/types.hpp"

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// alpha = a; beta = (b - c) / sqrt(3), saturated. Assumes a + b + c = 0.
void GMCLIB_ClarkANSIC(MCLIB_2_COOR_SYST_ALPHA_BETA_T* pOut, const MCLIB_3_COOR_SYST_T* pIn);

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// d = cos alpha + sin beta; q = cos beta - sin alpha, saturated.
void GMCLIB_ParkANSIC(MCLIB_2_COOR_SYST_D_Q_T* pOut, const MCLIB_ANGLE_T* pInAngle,
                      const MCLIB_2_COOR_SYST_ALPHA_BETA_T* pIn);

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// alpha = cos d - sin q; beta = cos q + sin d, saturated.
void GMCLIB_ParkInvANSIC(MCLIB_2_COOR_SYST_ALPHA_BETA_T* pOut, const MCLIB_ANGLE_T* pInAngle,
                         const MCLIB_2_COOR_SYST_D_Q_T* pIn);
