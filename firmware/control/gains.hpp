// Controller gains from motor and loop parameters: the d/q current, velocity and position PI
// gains, each split into a Q31 mantissa and a power-of-two shift, and read back through the
// property table.
//
// Integer only. Runs in the main loop (start-up, and the property set handler after a bandwidth
// or integral-switch property changes). The records are read by the control interrupt without a
// lock: for one step it may see a mantissa and a shift from different computations.
#pragma once

#include <cstdint>

#include "firmware/math/types.hpp"
#include "firmware/properties/property_table.hpp"

namespace tavrix {

// What a gain computation reads and writes. Motor control owns the four records and hands them
// in; the table supplies the parameters and receives the read-back copies.
struct GainTargets {
  PropertyTable& table;
  GFLIB_CONTROLLER_PIAW_P_T& dAxisPI;
  GFLIB_CONTROLLER_PIAW_P_T& qAxisPI;
  GFLIB_CONTROLLER_PIAW_P_T& velPI;
  GFLIB_CONTROLLER_PIAW_P_T& posPI;
};

}  // namespace tavrix

// Splits inGain (the real gain x 65536) into a Q31 mantissa in [2^30, 2^31 - 2^15] and a shift
// with inGain / 65536 = mantissa / 2^31 x 2^shift, low bits dropped. A gain of 0 or below keeps
// shift 0 and gives mantissa inGain x 32768 (32-bit).
void gainsRescale(int32_t inGain, int32_t* outGain, int16_t* shift);

// From CURRENT_GAIN_SCALE, WINDING_R, WINDING_L and CURRENT_BW: dAxisPI and qAxisPI (identical),
// CUR_KI/CUR_KI_SHIFT and CUR_KP/CUR_KP_SHIFT.
void gainsMotorParamsToCurrentGains(const tavrix::GainTargets& g);

// From INERTIA, TORQUE_CONSTANT and VELOCITY_BW: velPI, VEL_KI/VEL_KI_SHIFT, VEL_KP/VEL_KP_SHIFT.
void gainsMotorParamsToVelocityGains(const tavrix::GainTargets& g);

// From POSITION_BW and POS_NO_INTEGRAL: posPI, POS_KI/POS_KI_SHIFT, POS_KP/POS_KP_SHIFT.
void gainsMotorParamsToPositionGains(const tavrix::GainTargets& g);
