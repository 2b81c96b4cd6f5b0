// A soak of a whole bus: four nodes of the reference drive with their plants (each axis with hard
// stops half a turn either side), two hosts sending random command streams (gets, sets and saves,
// group gets, torque, velocity, position and profile moves, homing and scaled moves, resets, a
// switch to CANopen now and then, after which the node is sent SDO reads and writes and NMT
// commands until a reset brings it back), and power cuts now and then after which the nodes start
// again from what their EEPROMs held. A seed fixes every byte of the run.
//
// Invariants checked all along: every reply and SDO response at the identifier of a node of the
// bus; every node answers a get within 30 ms (asked every 50 ms); every compare value the
// firmware programs inside its PWM period; never both switches of a bridge leg on; the motor's
// torque within what the torque limits allow; after every start each node at its number with the
// values its image holds; after every cut each image holds the node's number, a value some host
// set for each saved property, and no other property word changed. Undefined behaviour is the
// sanitizer build's to catch.
#pragma once

#include <cstdint>
#include <string>

#include "sim/world/sim_time.hpp"

namespace tavrix::soak {

struct SoakConfig {
  uint32_t seed = 1;
  sim::SimTime length = sim::fromMillis(2000);          // simulated, over all power cycles
  sim::SimTime meanCutInterval = sim::fromMillis(700);  // mean time between power cuts
  bool keepCandump = true;                              // a long run keeps only the candump's hash
};

struct SoakResult {
  std::string candump;       // every frame on the bus, each power cycle after the one before
  uint64_t candumpHash = 0;  // FNV-1a of those bytes, kept or not
  uint64_t framesSent = 0;
  uint64_t replies = 0;
  uint64_t powerCuts = 0;
  uint64_t resets = 0;
  uint64_t dropped = 0;  // frames the nodes' rings dropped, counted
  uint64_t probes = 0;   // liveness gets, not counted in framesSent
  sim::SimTime simulated = 0;
  std::string violation;  // the first invariant broken, empty if none
};

SoakResult runSoak(const SoakConfig& config);

}  // namespace tavrix::soak
