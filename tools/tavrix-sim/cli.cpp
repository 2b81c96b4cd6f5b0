#include "tools/tavrix-sim/cli.hpp"

#include <charconv>
#include <cstddef>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>

#include "sim/bus/candump.hpp"
#include "sim/world/world.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix::tools {

const char* const kUsage = R"(usage: tavrix-sim [options]

Runs nodes of the Tavrix servo drive firmware on simulated chips, on one simulated 1 Mbit/s CAN
bus, and writes every frame on the bus in candump log format. The same options give the same
output bytes.

  --node N            boot a node whose EEPROM image belongs to node number N (0..31);
                      repeat for several nodes, in bus order. At least one is needed.
  --eeprom-dir DIR    keep each node's EEPROM image in DIR/nodeN.eeprom (8 KiB, created blank
                      when absent); writes reach the file before the part reports ready.
                      Without it the images live in memory and start with the factory set.
  --factory           write the factory default property set, with NODE_ID = N, into images
                      that are blank (all 0xFF), as a host's set and save of each would.
  --script FILE       candump log of frames a host sends; a line's timestamp is the time after
                      the start of the run at which the host queues it. Blank lines and lines
                      starting with '#' are skipped.
  --duration TIME     simulated time to run: 2s, 150ms, 250us, 1.5s (a bare number is seconds);
                      default 1s.
  --record FILE       write the traffic to FILE instead of standard output.
  --help              this text.

Output lines are "(SECONDS.MICROS) can0 ID#DATA", stamped with the end of each frame on the bus
relative to the start of the run; remote frames are "ID#R".

Exit status: 0 after the run, 1 when a file cannot be used or the script is malformed, 2 for a
usage error.
)";

std::optional<sim::SimTime> parseDuration(std::string_view text) {
  struct Unit {
    std::string_view suffix;
    int64_t clk;
  };
  static constexpr Unit kUnits[] = {{"us", sim::kClocksPerUs}, {"ms", sim::kClocksPerMs},
                                    {"s", sim::kBusClockHz}};
  int64_t per = sim::kBusClockHz;
  for (const Unit& u : kUnits) {
    if (text.size() > u.suffix.size() && text.ends_with(u.suffix)) {
      per = u.clk;
      text.remove_suffix(u.suffix.size());
      break;
    }
  }
  // Whole and fractional parts in integers, so the result is exact and the same on every host.
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view frac = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  if (whole.empty() && frac.empty()) return std::nullopt;
  int64_t w = 0;
  if (!whole.empty()) {
    const auto [p, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), w);
    if (ec != std::errc() || p != whole.data() + whole.size() || w < 0) return std::nullopt;
  }
  if (w > INT64_MAX / per / 2) return std::nullopt;
  sim::SimTime total = w * per;
  int64_t scale = per;
  for (char c : frac) {
    if (c < '0' || c > '9') return std::nullopt;
    scale /= 10;
    total += (c - '0') * scale;
  }
  if (dot != std::string_view::npos && frac.empty()) return std::nullopt;
  return total;
}

std::optional<SimOptions> parseOptions(const std::vector<std::string>& args, std::string* error) {
  SimOptions o;
  const auto fail = [error](const std::string& why) -> std::optional<SimOptions> {
    if (error) *error = why;
    return std::nullopt;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // The option's argument, or null when the option is the last word.
    const auto value = [&]() -> const std::string* {
      return i + 1 < args.size() ? &args[++i] : nullptr;
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
      return o;
    } else if (a == "--node") {
      const std::string* v = value();
      if (!v) return fail("--node needs a node number");
      int n = -1;
      const auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
      if (ec != std::errc() || p != v->data() + v->size() || n < 0 || n > 31) {
        return fail("node number must be 0..31: " + *v);
      }
      for (int existing : o.nodes) {
        if (existing == n) return fail("node " + *v + " given twice");
      }
      o.nodes.push_back(n);
    } else if (a == "--eeprom-dir") {
      const std::string* v = value();
      if (!v) return fail("--eeprom-dir needs a directory");
      o.eepromDir = *v;
    } else if (a == "--factory") {
      o.factory = true;
    } else if (a == "--script") {
      const std::string* v = value();
      if (!v) return fail("--script needs a file");
      o.script = *v;
    } else if (a == "--duration") {
      const std::string* v = value();
      const auto d = v ? parseDuration(*v) : std::nullopt;
      if (!d) return fail("--duration needs a time such as 2s, 150ms or 250us");
      o.duration_clk = *d;
    } else if (a == "--record") {
      const std::string* v = value();
      if (!v) return fail("--record needs a file");
      o.record = *v;
    } else {
      return fail("unknown option " + a);
    }
  }
  if (o.nodes.empty()) return fail("no node: give at least one --node N");
  return o;
}

int runSimulation(const SimOptions& options, std::ostream& traffic, std::ostream& diagnostics) {
  std::string error;
  const auto defaults = shippedFactoryDefaults(&error);
  if (!defaults) {
    diagnostics << "tavrix-sim: factory defaults: " << error << "\n";
    return 1;
  }

  std::vector<sim::CandumpLine> script;
  if (options.script) {
    std::ifstream in(*options.script);
    if (!in) {
      diagnostics << "tavrix-sim: cannot read " << options.script->string() << "\n";
      return 1;
    }
    sim::CandumpScript parsed = sim::readCandumpScript(in);
    if (!parsed.ok()) {
      diagnostics << "tavrix-sim: " << options.script->string() << ":" << parsed.error_line
                  << ": not a candump log line\n";
      return 1;
    }
    script = std::move(parsed.lines);
  }

  std::ofstream recordFile;
  std::ostream* out = &traffic;
  if (options.record) {
    recordFile.open(*options.record, std::ios::binary | std::ios::trunc);
    if (!recordFile) {
      diagnostics << "tavrix-sim: cannot write " << options.record->string() << "\n";
      return 1;
    }
    out = &recordFile;
  }

  std::vector<std::unique_ptr<NodeBoard>> boards;
  try {
    if (options.eepromDir) std::filesystem::create_directories(*options.eepromDir);
    for (int n : options.nodes) {
      bool factory = options.factory;
      std::unique_ptr<sim::SerialEeprom> part;
      if (options.eepromDir) {
        part = std::make_unique<sim::SerialEeprom>(*options.eepromDir /
                                                   ("node" + std::to_string(n) + ".eeprom"));
      } else {
        part = std::make_unique<sim::SerialEeprom>();
        factory = true;  // an image in memory has no other way to get its node number
      }
      auto board = std::make_unique<NodeBoard>(std::move(part));
      if (factory) board->writeFactorySetIfBlank(*defaults, n);
      boards.push_back(std::move(board));
    }
  } catch (const std::exception& e) {
    diagnostics << "tavrix-sim: " << e.what() << "\n";
    return 1;
  }

  sim::World world;
  for (size_t i = 0; i < boards.size(); ++i) {
    boards[i]->attach(world, "node" + std::to_string(options.nodes[i]));
  }
  sim::HostEndpoint& host = world.addHostEndpoint();
  world.addRecorder(*out);
  for (const sim::CandumpLine& line : script) {
    const sim::SimTime at = sim::fromMicros(line.micros);
    if (at > options.duration_clk) continue;
    world.queue().schedule(at, [&host, m = line.message] { host.send(m); });
  }
  world.runUntil(options.duration_clk);
  out->flush();
  return 0;
}

}  // namespace tavrix::tools
