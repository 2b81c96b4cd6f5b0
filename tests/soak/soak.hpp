// A soak of a whole bus: four nodes of the reference drive with their plants, two hosts sending
// random command streams (gets, sets and saves, group gets, velocity moves, homing, resets, an
// occasional switch to CANopen with SDO uploads), and power cuts now and then after which the
// nodes start again from what their EEPROMs held. Invariants are checked all along; a seed fixes
// every byte of the run.
#pragma once

#include <cstdint>
#include <string>

#include "sim/world/sim_time.hpp"

namespace tavrix::soak {

struct SoakConfig {
  uint32_t seed = 1;
  sim::SimTime length = sim::fromMillis(2000);          // simulated, over all power cycles
  sim::SimTime meanCutInterval = sim::fromMillis(700);  // mean time between power cuts
};

struct SoakResult {
  std::string candump;  // every frame on the bus, each power cycle after the one before
  uint64_t framesSent = 0;
  uint64_t replies = 0;
  uint64_t powerCuts = 0;
  uint64_t resets = 0;
  uint64_t dropped = 0;   // frames the nodes' rings dropped, counted
  std::string violation;  // the first invariant broken, empty if none
};

SoakResult runSoak(const SoakConfig& config);

}  // namespace tavrix::soak
