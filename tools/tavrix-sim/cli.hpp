// The simulator's command line: options, and one run of the digital twin they describe.
//
//   tavrix-sim [run options]           plays a script as fast as the host allows and records
//   tavrix-sim serve [run options] [serve options]
//                                      the live twin: paced to the wall clock, its bus served to
//                                      socketcand clients (and bridged to SocketCAN)
#pragma once

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/world/sim_time.hpp"
#include "tools/tavrix-sim/faults.hpp"

namespace tavrix::tools {

inline constexpr sim::SimTime kRunForever = std::numeric_limits<sim::SimTime>::max();

struct SimOptions {
  std::vector<int> nodes;                             // node numbers, in bus attach order
  std::optional<std::filesystem::path> eepromDir;     // images DIR/nodeN.eeprom; none: in memory
  bool factory = false;                               // default set into blank images
  std::optional<std::filesystem::path> script;        // candump log the host plays
  sim::SimTime duration_clk = sim::fromMillis(1000);  // kRunForever: until stopped
  std::optional<std::filesystem::path> record;        // traffic there instead of stdout
  std::vector<Fault> faults;                          // injected into the run, in order given
  bool help = false;
  std::string helpText;  // the help of the command asked for, when `help`

  // The live twin (`serve`).
  bool serve = false;
  double speed = 1.0;  // simulated seconds per wall-clock second; 0: as fast as possible
  uint16_t port = 29536;
  std::string listen = "127.0.0.1";
  std::optional<std::string> canInterface;  // SocketCAN interface to bridge

  // Instead of a run: one scenario of the reference drive (`--short` for its short form), or the
  // object dictionary exported as an EDS file.
  std::optional<std::string> scenario;
  bool shortForm = false;
  std::optional<std::filesystem::path> eds;
};

// The help text of the top-level command.
std::string usage();

// "2s", "150ms", "250us", "1.5s"; a bare number is seconds. Nothing for a malformed or negative
// duration.
std::optional<sim::SimTime> parseDuration(std::string_view text);

// Parses the arguments after the program name. On a usage error returns nothing and says why in
// `error`.
std::optional<SimOptions> parseOptions(const std::vector<std::string>& args, std::string* error);

// What a run reports to and takes from its surroundings.
struct RunContext {
  std::ostream& traffic;      // the recording when there is no --record
  std::ostream& diagnostics;  // messages, progress
  // Set (to the signal's number) by a signal handler: the run ends at the next slice of
  // simulated time, with every line written whole.
  const volatile std::sig_atomic_t* stop = nullptr;
  // A progress line on `diagnostics` for runs longer than `progress_after_s` of wall time.
  bool progress = false;
  double progress_after_s = 2.0;
};

// Exit status of a run ended by a signal: 128 + the signal's number.
inline constexpr int kSignalStatusBase = 128;

// One run: boots the nodes, plays the script, writes every frame on the bus to `traffic` (or the
// record file) in candump log format; `serve` also paces and serves the bus. Returns the process
// exit code: 0, 1 with a message on `diagnostics`, or 128 + N after signal N.
int runSimulation(const SimOptions& options, RunContext& context);
int runSimulation(const SimOptions& options, std::ostream& traffic, std::ostream& diagnostics);

// Writes the node's EDS to `path`. Returns the exit code: 0, or 1 with a message.
int exportEds(const std::filesystem::path& path, std::ostream& diagnostics);

}  // namespace tavrix::tools
