// Faults injected into a run of the twin: a failing serial EEPROM, a failing rotor encoder, an
// axis without its hard stops, a host flooding the bus, and a power cut. Each is written
// KIND[@START[+DURATION]][:NODE] (see kFaultHelp), parsed by parseFault and put on the world's
// event queue by applyFaults, so the same run with the same faults gives the same bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/bus/host_endpoint.hpp"
#include "sim/world/sim_time.hpp"
#include "sim/world/world.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix::tools {

enum class FaultKind : uint8_t {
  kEepromAbsent,    // nothing answers on the EEPROM's chip select
  kEepromStuck,     // the EEPROM's busy bit never clears after a write
  kEepromBitFlips,  // every kBitFlipEvery-th byte read from the EEPROM has one bit flipped
  kEncoderAbsent,   // the encoder's data line floats: every frame reads 0xFFFF
  kEncoderStuck,    // the encoder keeps answering the angle it had
  kNoHardStop,      // both hard stops of the axis are gone
  kBusFlood,        // a host sends back to back at top priority: 100 % bus load
  kPowerCut,        // the run ends; the EEPROMs keep what they held
};

struct Fault {
  FaultKind kind = FaultKind::kPowerCut;
  sim::SimTime start = 0;
  // How long the fault lasts; none: to the end of the run (a flood: kFloodDefault). A power cut
  // has none.
  std::optional<sim::SimTime> duration;
  std::optional<int> node;  // node number 0..31; none: every node (a flood: the whole bus)
};

inline constexpr uint32_t kBitFlipEvery = 5;
inline constexpr sim::SimTime kFloodDefault = sim::fromMillis(60'000);

// The kinds and the syntax, for the command line's help.
extern const char* const kFaultHelp;

// Parses KIND[@START[+DURATION]][:NODE]. Times are a decimal number with a unit: us, ms or s
// (e.g. 250ms, 1.5s). Returns nullopt with the reason in `error` for anything else.
std::optional<Fault> parseFault(std::string_view text, std::string* error);

// The spelling parseFault takes for `fault`.
std::string formatFault(const Fault& fault);

struct FaultBoard {
  int nodeId = 0;
  NodeBoard* board = nullptr;
};

struct AppliedFaults {
  // The earliest power cut: the caller ends the run there (runUntil) and keeps the images.
  std::optional<sim::SimTime> powerCut;
  // The flooding host, if a flood was applied (its frames are not kept).
  sim::HostEndpoint* flooder = nullptr;
  uint64_t floodFramesQueued = 0;
};

// Schedules every fault on `world`'s queue, against the boards it names. Call before the run
// reaches the first start. Returns nullopt with the reason in `error` when a fault names a node
// that is not among `boards`. `applied` must outlive the run (the flood counts into it).
bool applyFaults(std::span<const Fault> faults, sim::World& world,
                 std::span<const FaultBoard> boards, AppliedFaults& applied, std::string* error);

}  // namespace tavrix::tools
