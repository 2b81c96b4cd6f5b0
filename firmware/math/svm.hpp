// Standard space-vector modulation: an alpha/beta voltage vector to three duty fractions.
#pragma once

#include <cstdint>

#include "firmware/math/types.hpp"

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// Writes the duties of phases A, B and C centred on one half (H = 2^30 - 1 is 50 %), with
// pairwise differences equal to the line voltages over sqrt(3) inside the hexagon, and returns
// the sector, 1..6 (sector 6 holds alpha > 0, beta = 0; sector 2 holds alpha = 0, beta > 0).
uint32_t GMCLIB_SvmStdANSIC(MCLIB_3_COOR_SYST_T* pOut, const MCLIB_2_COOR_SYST_ALPHA_BETA_T* pIn);
