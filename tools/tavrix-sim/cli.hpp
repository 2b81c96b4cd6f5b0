// The simulator's command line: options, and one run of the digital twin they describe.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/world/sim_time.hpp"

namespace tavrix::tools {

struct SimOptions {
  std::vector<int> nodes;                         // node numbers, in bus attach order
  std::optional<std::filesystem::path> eepromDir; // images DIR/nodeN.eeprom; none: in memory
  bool factory = false;                           // default set into blank images
  std::optional<std::filesystem::path> script;    // candump log the host plays
  sim::SimTime duration_clk = sim::fromMillis(1000);
  std::optional<std::filesystem::path> record;    // traffic there instead of stdout
  bool help = false;
};

extern const char* const kUsage;

// "2s", "150ms", "250us", "1.5s"; a bare number is seconds. Nothing for a malformed or negative
// duration.
std::optional<sim::SimTime> parseDuration(std::string_view text);

// Parses the arguments after the program name. On a usage error returns nothing and says why in
// `error`.
std::optional<SimOptions> parseOptions(const std::vector<std::string>& args, std::string* error);

// One run: boots the nodes, plays the script, writes every frame on the bus to `traffic` (or the
// record file) in candump log format. Returns the process exit code (0, or 1 with a message on
// `diagnostics`).
int runSimulation(const SimOptions& options, std::ostream& traffic, std::ostream& diagnostics);

}  // namespace tavrix::tools
