// DC-bus ripple elimination: scales a voltage vector to the measured bus.
#pragma once

#include "firmware/math/types.hpp"

// Context: any (pure, reentrant); used by the control interrupt, ISR level 5 (PWM period).
// Each output is f32ModIndex * input / (f32ArgDcBusMsr / 2), saturated: MAX or MIN by the sign of
// the input component once |f32ModIndex * input| reaches half the bus. A bus below 2^16 (upper
// half zero) gives (0, 0). A negative bus reading, which no divider can produce, gives MAX or MIN
// by the sign of each input component, as any magnitude exceeds a negative half bus.
void GMCLIB_ElimDcBusRipANSIC(MCLIB_2_COOR_SYST_ALPHA_BETA_T* pOut,
                              const MCLIB_2_COOR_SYST_ALPHA_BETA_T* pIn,
                              const GMCLIB_ELIM_DC_BUS_RIP_T* pParam);
