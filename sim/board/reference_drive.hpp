// The reference drive: motor, axis, thermal and board parameters read from the drive's data file
// (sim/data/reference_drive.conf), whose [properties] section is the factory default set.
//
// Format: `[section]` lines open the sections motor, thermal, axis, board and properties; the
// other lines are `key value` ('#' starts a comment). Keys are the fields of PlantParams and
// BoardParams, with the units in their names; a key not given keeps its built-in value.
#pragma once

#include <istream>
#include <optional>
#include <string>

#include "sim/board/drive_board.hpp"
#include "sim/plant/pmsm.hpp"

namespace tavrix::sim {

struct ReferenceDrive {
  PlantParams plant;
  BoardParams board;
};

// The plant's q-axis current and velocity over one control cycle (six PWM periods of `modulo`
// clocks), linearised and discretised exactly (zero-order hold), in the units of the firmware's
// observer: velocity in units of the measured velocity (its scale set by `position_scale`),
// current as a Q31 current >> 15 on this board's sensor, voltage as a Q31 voltage request >> 15
// on this bus. Row 1 velocity, row 2 q current, as the observer's a11..a22, b11, b21.
struct ObserverModel {
  double a11, a12, a21, a22, b11, b21;
};
ObserverModel observerModelOf(const ReferenceDrive& drive, int position_scale, int modulo = 1000);

// On an unknown section or key or a malformed value returns nullopt and describes the line in
// `error`. The properties section is left to the factory-set parser.
std::optional<ReferenceDrive> parseReferenceDrive(std::istream& in, std::string* error);

}  // namespace tavrix::sim
