// A device on a simulated SPI master's chip select (EEPROM, rotor encoder).
#pragma once

#include <cstdint>

#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

class SpiDevice {
 public:
  virtual ~SpiDevice() = default;
  // Chip select asserted at `now`: a new command begins.
  virtual void select(SimTime now) = 0;
  // One frame (8 or 16 bits, most significant bit first) shifted in full duplex; the frame from
  // the master is `mosi`, the return value is what the device drove on its data-out line during
  // the same frame. Called at the time the frame's last bit was clocked.
  virtual uint16_t transfer(uint16_t mosi, SimTime now) = 0;
  // Chip select released at `now`: the command ends (an EEPROM write cycle starts here).
  virtual void deselect(SimTime now) = 0;
};

}  // namespace tavrix::sim
