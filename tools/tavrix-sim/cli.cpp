#include "tools/tavrix-sim/cli.hpp"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

#include "sim/bus/candump.hpp"
#include "sim/bus/socketcan_bridge.hpp"
#include "sim/bus/socketcand_server.hpp"
#include "sim/world/world.hpp"
#include "tools/tavrix-sim/commissioning.hpp"
#include "tools/tavrix-sim/eds.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/file_lock.hpp"
#include "tools/tavrix-sim/node_board.hpp"
#include "tools/tavrix-sim/scenarios.hpp"
#include "tools/tavrix-sim/serve.hpp"

namespace tavrix::tools {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDescription =
    "Runs nodes of the Tavrix servo drive firmware on simulated chips, on one simulated 1 Mbit/s\n"
    "CAN bus, and writes every frame on the bus in candump log format. The same options give\n"
    "the same output bytes.";

constexpr const char* kRunFooter =
    "Output lines are \"(SECONDS.MICROS) can0 ID#DATA\", stamped with the end of each frame on "
    "the\n"
    "bus relative to the start of the run; remote frames are \"ID#R\".\n"
    "\n"
    "Exit status: 0 after the run, 1 when a file cannot be used or written or the script is\n"
    "malformed, 2 for a usage error; after SIGINT or SIGTERM the run ends cleanly (every line\n"
    "written, EEPROM images complete) and the program ends by that signal (status 130 or 143).";

constexpr const char* kServeDescription =
    "The live twin: runs the nodes paced to the wall clock and serves the simulated bus in the\n"
    "socketcand protocol, so that python-can (interface='socketcand', channel any name), our\n"
    "tools and CANopen masters attach to it as to a real bus. Each client sees every frame of\n"
    "the nodes and of the other clients, never its own; its frames enter the bus at the\n"
    "simulated time they arrive. Runs until SIGINT/SIGTERM (Ctrl-C) or --duration.";

constexpr const char* kServeFooter =
    "Start it, then attach python-can, e.g.:\n"
    "  tavrix-sim serve --node 5 --node 7 &\n"
    "  python3 -c \"import can; bus = can.Bus(interface='socketcand', host='127.0.0.1',\n"
    "    port=29536, channel='can0'); bus.send(can.Message(arbitration_id=5, data=[8],\n"
    "    is_extended_id=False)); print(bus.recv(1))\"\n"
    "\n"
    "Exit status as for the top-level command; a port in use or an interface that cannot be\n"
    "bridged gives 1.";

// The values of the run options as given on one command (the top level or `serve`).
struct RunArgs {
  std::string scenario;
  bool shortForm = false;
  std::string eds;
  std::vector<std::string> nodes;
  std::string eepromDir;
  bool factory = false;
  std::string script;
  std::string duration;
  std::string record;
  std::vector<std::string> faults;
};

struct ServeArgs {
  std::string speed;
  std::string port;
  std::string listen;
  std::string can;
};

std::string checkNode(const std::string& v) {
  int n = -1;
  const auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || p != v.data() + v.size() || n < 0 || n > 31) {
    return "node number must be 0..31: " + v;
  }
  return {};
}

std::string checkDuration(const std::string& v) {
  return parseDuration(v) ? std::string() : "needs a time such as 2s, 150ms or 250us, not " + v;
}

std::optional<double> parseSpeed(const std::string& v) {
  if (v == "max") return 0.0;
  double s = 0;
  const auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), s);
  if (ec != std::errc() || p != v.data() + v.size() || !(s > 0) || s > 1e6) return std::nullopt;
  return s;
}

std::optional<uint16_t> parsePort(const std::string& v) {
  unsigned p = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), p);
  if (ec != std::errc() || end != v.data() + v.size() || p > 65535) return std::nullopt;
  return static_cast<uint16_t>(p);
}

// What an option that lacks its value needs, for the error message.
constexpr std::pair<const char*, const char*> kNeeds[] = {
    {"--node", "a node number"},
    {"--eeprom-dir", "a directory"},
    {"--script", "a file"},
    {"--duration", "a time such as 2s, 150ms or 250us"},
    {"--record", "a file"},
    {"--speed", "a factor such as 1, 10 or max"},
    {"--port", "a port number"},
    {"--listen", "an IP address"},
    {"--can", "a SocketCAN interface name"},
    {"--scenario", "a scenario name (see --help)"},
    {"--eds", "a file"},
    {"--fault", "a fault such as power-cut@1.5s or eeprom-stuck:5"},
};

// The options every run takes.
void addRunOptions(CLI::App& app, RunArgs& a) {
  app.add_option("--node", a.nodes,
                 "boot a node whose EEPROM image belongs to node number N (0..31);\n"
                 "repeat for several nodes, in bus order. At least one is needed.")
      ->type_name("N")
      ->allow_extra_args(false)
      ->check(CLI::Validator(checkNode, "", "node"));
  app.add_option("--eeprom-dir", a.eepromDir,
                 "keep each node's EEPROM image in DIR/nodeN.eeprom (8 KiB, created\n"
                 "blank when absent); writes reach the file before the part reports\n"
                 "ready. Each image is locked: one simulator per directory. Without\n"
                 "it the images live in memory and start with the factory set.")
      ->type_name("DIR")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--factory", a.factory,
               "write the factory default property set, with NODE_ID = N, into\n"
               "images that are blank (all 0xFF), as a host's set and save would.");
  app.add_option("--script", a.script,
                 "candump log of frames a host sends; a line's timestamp is the time\n"
                 "after the start of the run at which the host queues it. Blank lines\n"
                 "and lines starting with '#' are skipped.")
      ->type_name("FILE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--duration", a.duration,
                 "simulated time to run: 2s, 150ms, 250us, 1.5s (a bare number is\n"
                 "seconds); default 1s, and for ever for serve. Long runs show their\n"
                 "progress on stderr when it is a terminal.")
      ->type_name("TIME")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->check(CLI::Validator(checkDuration, "", "duration"));
  app.add_option("--record", a.record, "write the traffic to FILE instead of standard output.")
      ->type_name("FILE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--fault", a.faults,
                 "inject a fault into the run: KIND[@START[+DURATION]][:NODE];\n"
                 "repeatable. The kinds are listed below.")
      ->type_name("FAULT")
      ->allow_extra_args(false)
      ->check(CLI::Validator(
          [](const std::string& v) {
            std::string why;
            return parseFault(v, &why) ? std::string() : why;
          },
          "", "fault"));
}

void addServeOptions(CLI::App& app, ServeArgs& s) {
  app.add_option("--speed", s.speed,
                 "simulated seconds per wall-clock second (default 1); max: as fast\n"
                 "as the host and the clients allow.")
      ->type_name("N|max")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->check(CLI::Validator(
          [](const std::string& v) {
            return parseSpeed(v) ? std::string() : "speed must be a positive factor or max: " + v;
          },
          "", "speed"));
  app.add_option("--port", s.port,
                 "TCP port of the socketcand server (default 29536); 0 picks a free\n"
                 "one, reported on stderr.")
      ->type_name("PORT")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->check(CLI::Validator(
          [](const std::string& v) {
            return parsePort(v) ? std::string() : "port must be 0..65535: " + v;
          },
          "", "port"));
  app.add_option("--listen", s.listen,
                 "serve on this IP address instead of 127.0.0.1. WARNING: the\n"
                 "protocol has no authentication; anyone who reaches the address\n"
                 "reads and writes the simulated bus. Keep it on loopback unless the\n"
                 "network is yours alone.")
      ->type_name("ADDR")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--can", s.can,
                 "also bridge the simulated bus to this Linux SocketCAN interface\n"
                 "(e.g. vcan0), both ways, with the same pacing.")
      ->type_name("IFACE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// Jobs of the top-level command other than a run.
void addOtherJobs(CLI::App& app, RunArgs& a) {
  std::vector<std::string> all = scenarioNames();
  for (const std::string& n : commissioningScenarioNames()) all.push_back(n);
  std::string names;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i > 0) names += i % 5 == 0 ? ",\n" : ", ";
    names += all[i];
  }
  app.add_option("--scenario", a.scenario,
                 "instead of a run: one node of the reference drive commanded through\n"
                 "CAN frames only, with a report beside the plant's truth; exit 1\n"
                 "when a check fails. NAME is one of:\n" + names + ".")
      ->type_name("NAME")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--short", a.shortForm, "with --scenario: the short form the test suite runs.");
  app.add_option("--eds", a.eds,
                 "instead of a run: write the node's CANopen EDS file to FILE.")
      ->type_name("FILE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

struct Parser {
  CLI::App app{kDescription, "tavrix-sim"};
  CLI::App* serve = nullptr;
  RunArgs top;
  RunArgs served;
  ServeArgs serveArgs;

  Parser() {
    app.set_help_flag("-h,--help", "this text");
    app.allow_extras();
    app.footer(std::string(kRunFooter) + "\n\n" + kFaultHelp);
    app.get_formatter()->column_width(26);
    addRunOptions(app, top);
    addOtherJobs(app, top);
    serve = app.add_subcommand("serve",
                               "the live twin: paced to the wall clock, its bus served to\n"
                               "socketcand clients (see tavrix-sim serve --help)");
    serve->allow_extras();
    serve->footer(std::string(kServeDescription) + "\n\n" + kServeFooter + "\n\n" + kFaultHelp);
    addRunOptions(*serve, served);
    addServeOptions(*serve, serveArgs);
  }
};

std::string describe(const CLI::ParseError& e) {
  const std::string what = e.what();
  if (e.get_name() == "ArgumentMismatch" && what.find("required") != std::string::npos) {
    for (const auto& [option, need] : kNeeds) {
      if (what.rfind(std::string(option) + ":", 0) == 0)
        return std::string(option) + " needs " + need;
    }
  }
  if (e.get_name() == "ValidationError") {
    // "--node: node number must be ...": the option's name, then what is wrong.
    for (const auto& [option, need] : kNeeds) {
      const std::string prefix = std::string(option) + ": ";
      if (what.rfind(prefix, 0) == 0) {
        const std::string rest = what.substr(prefix.size());
        return rest.rfind("needs", 0) == 0 ? std::string(option) + " " + rest : rest;
      }
    }
  }
  return what;
}

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Whether two paths name the same file, existing or to be created.
bool sameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
  const fs::path ca = fs::weakly_canonical(a, ec);
  const fs::path cb = fs::weakly_canonical(b, ec);
  return !ca.empty() && ca == cb;
}

// Reads the host script, saying exactly what is wrong with the first bad line.
std::optional<std::vector<sim::CandumpLine>> readScript(const fs::path& path,
                                                        std::ostream& diagnostics) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    diagnostics << "tavrix-sim: --script " << path.string()
                << " is a directory; give a candump log file\n";
    return std::nullopt;
  }
  std::ifstream in(path);
  if (!in) {
    diagnostics << "tavrix-sim: cannot read " << path.string() << ": " << std::strerror(errno)
                << "\n";
    return std::nullopt;
  }
  // Beyond this a timestamp no longer fits the simulator's clock count.
  constexpr int64_t kMaxMicros = kRunForever / sim::kClocksPerUs;
  std::vector<sim::CandumpLine> lines;
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string text = trimmed(line);
    if (text.empty() || text.front() == '#') continue;
    std::optional<sim::CandumpLine> parsed = sim::parseCandumpLine(text);
    const std::string where = path.string() + ":" + std::to_string(number) + ": ";
    if (!parsed) {
      diagnostics << "tavrix-sim: " << where << sim::candumpLineError(text) << " in \"" << text
                  << "\"\n";
      return std::nullopt;
    }
    if (parsed->micros > kMaxMicros) {
      diagnostics << "tavrix-sim: " << where << "timestamp beyond the longest possible run ("
                  << kMaxMicros / 1'000'000 << " s) in \"" << text << "\"\n";
      return std::nullopt;
    }
    lines.push_back(std::move(*parsed));
  }
  if (in.bad()) {
    diagnostics << "tavrix-sim: cannot read " << path.string() << "\n";
    return std::nullopt;
  }
  return lines;
}

fs::path imagePath(const fs::path& dir, int node) {
  return dir / ("node" + std::to_string(node) + ".eeprom");
}

std::string seconds(sim::SimTime t) {
  std::ostringstream s;
  s.setf(std::ios::fixed);
  s.precision(6);
  s << static_cast<double>(t) / sim::kBusClockHz << " s";
  return s.str();
}

}  // namespace

std::string usage() {
  Parser p;
  return p.app.help();
}

std::optional<sim::SimTime> parseDuration(std::string_view text) {
  struct Unit {
    std::string_view suffix;
    int64_t clk;
  };
  static constexpr Unit kUnits[] = {
      {"us", sim::kClocksPerUs}, {"ms", sim::kClocksPerMs}, {"s", sim::kBusClockHz}};
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
  const auto fail = [error](const std::string& why) -> std::optional<SimOptions> {
    if (error) *error = why;
    return std::nullopt;
  };
  Parser p;
  std::vector<const char*> argv{"tavrix-sim"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  SimOptions o;
  try {
    p.app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    o.help = true;
    o.helpText = p.serve->parsed() ? p.serve->help() : p.app.help();
    return o;
  } catch (const CLI::ParseError& e) {
    return fail(describe(e));
  }
  const std::vector<std::string> extras = p.app.remaining(true);
  if (!extras.empty()) {
    const std::string& first = extras.front();
    return fail((first.starts_with("-") ? "unknown option " : "unexpected argument ") + first);
  }

  // Options before `serve` count for it too.
  o.serve = p.serve->parsed();
  RunArgs a = p.top;
  if (o.serve) {
    a.nodes.insert(a.nodes.end(), p.served.nodes.begin(), p.served.nodes.end());
    if (!p.served.eepromDir.empty()) a.eepromDir = p.served.eepromDir;
    a.factory = a.factory || p.served.factory;
    if (!p.served.script.empty()) a.script = p.served.script;
    if (!p.served.duration.empty()) a.duration = p.served.duration;
    if (!p.served.record.empty()) a.record = p.served.record;
    a.faults.insert(a.faults.end(), p.served.faults.begin(), p.served.faults.end());
  }
  for (const std::string& v : a.faults) {
    std::string why;
    const std::optional<Fault> fault = parseFault(v, &why);  // checked by the option's validator
    if (!fault) return fail("--fault: " + why);
    o.faults.push_back(*fault);
  }
  for (const std::string& v : a.nodes) {
    const int n = std::stoi(v);  // checked by the option's validator
    for (int existing : o.nodes) {
      if (existing == n) return fail("node " + v + " given twice");
    }
    o.nodes.push_back(n);
  }
  if (!a.eepromDir.empty()) o.eepromDir = a.eepromDir;
  o.factory = a.factory;
  if (!a.script.empty()) o.script = a.script;
  if (!a.record.empty()) o.record = a.record;
  if (!a.duration.empty()) {
    o.duration_clk = *parseDuration(a.duration);
  } else if (o.serve) {
    o.duration_clk = kRunForever;
  }
  if (o.serve) {
    if (!p.serveArgs.speed.empty()) o.speed = *parseSpeed(p.serveArgs.speed);
    if (!p.serveArgs.port.empty()) o.port = *parsePort(p.serveArgs.port);
    if (!p.serveArgs.listen.empty()) o.listen = p.serveArgs.listen;
    if (!p.serveArgs.can.empty()) o.canInterface = p.serveArgs.can;
  }
  if (!p.top.scenario.empty()) o.scenario = p.top.scenario;
  o.shortForm = p.top.shortForm;
  if (!p.top.eds.empty()) o.eds = p.top.eds;
  if (o.scenario && o.eds) return fail("--scenario and --eds are separate jobs: give one");
  if ((o.scenario || o.eds) && (o.serve || !o.nodes.empty() || o.script || !o.faults.empty())) {
    return fail(std::string(o.scenario ? "--scenario" : "--eds") +
                " makes its own node: leave out serve, --node and --script");
  }
  if (o.shortForm && !o.scenario) return fail("--short goes with --scenario");
  if (o.nodes.empty() && !o.scenario && !o.eds) {
    return fail("no node: give at least one --node N");
  }
  return o;
}

int exportEds(const std::filesystem::path& path, std::ostream& diagnostics) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) writeEds(out);
  out.flush();
  if (!out) {
    diagnostics << "tavrix-sim: cannot write " << path.string() << ": " << std::strerror(errno)
                << "\n";
    return 1;
  }
  return 0;
}

int runSimulation(const SimOptions& options, std::ostream& traffic, std::ostream& diagnostics) {
  RunContext context{traffic, diagnostics};
  return runSimulation(options, context);
}

int runSimulation(const SimOptions& options, RunContext& context) {
  std::ostream& diagnostics = context.diagnostics;
  std::string error;
  const auto defaults = shippedFactoryDefaults(&error);
  if (!defaults) {
    diagnostics << "tavrix-sim: factory defaults: " << error << "\n";
    return 1;
  }

  std::vector<sim::CandumpLine> script;
  if (options.script) {
    auto lines = readScript(*options.script, diagnostics);
    if (!lines) return 1;
    script = std::move(*lines);
  }

  if (options.record) {
    if (options.script && sameFile(*options.record, *options.script)) {
      diagnostics << "tavrix-sim: --record " << options.record->string()
                  << " would overwrite the script\n";
      return 1;
    }
    if (options.eepromDir) {
      for (int n : options.nodes) {
        if (sameFile(*options.record, imagePath(*options.eepromDir, n))) {
          diagnostics << "tavrix-sim: --record " << options.record->string()
                      << " would overwrite the EEPROM image of node " << n << "\n";
          return 1;
        }
      }
    }
  }

  // Images are locked before anything is written: to them or to the recording.
  std::vector<FileLock> locks;
  if (options.eepromDir) {
    std::error_code ec;
    fs::create_directories(*options.eepromDir, ec);
    if (ec) {
      diagnostics << "tavrix-sim: cannot create " << options.eepromDir->string() << ": "
                  << ec.message() << "\n";
      return 1;
    }
    for (int n : options.nodes) {
      auto lock = FileLock::tryLock(imagePath(*options.eepromDir, n), &error);
      if (!lock) {
        diagnostics << "tavrix-sim: " << error << "\n";
        return 1;
      }
      locks.push_back(std::move(*lock));
    }
  }

  std::ofstream recordFile;
  std::ostream* out = &context.traffic;
  if (options.record) {
    recordFile.open(*options.record, std::ios::binary | std::ios::trunc);
    if (!recordFile) {
      diagnostics << "tavrix-sim: cannot write " << options.record->string() << "\n";
      return 1;
    }
    out = &recordFile;
  }
  const std::string outName =
      options.record ? "the recording " + options.record->string() : "standard output";

  std::vector<std::unique_ptr<NodeBoard>> boards;
  try {
    for (int n : options.nodes) {
      bool factory = options.factory;
      std::unique_ptr<sim::SerialEeprom> part;
      if (options.eepromDir) {
        part = std::make_unique<sim::SerialEeprom>(imagePath(*options.eepromDir, n));
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

  std::vector<FaultBoard> faultBoards;
  for (size_t i = 0; i < boards.size(); ++i) faultBoards.push_back({options.nodes[i], boards[i].get()});
  AppliedFaults applied;
  if (!applyFaults(options.faults, world, faultBoards, applied, &error)) {
    diagnostics << "tavrix-sim: --fault: " << error << "\n";
    return 1;
  }

  LoopConfig loop;
  loop.end_clk = options.duration_clk;
  if (applied.powerCut && *applied.powerCut < loop.end_clk) loop.end_clk = *applied.powerCut;
  loop.speed = options.serve ? options.speed : 0.0;
  loop.stop = context.stop;
  loop.failed = [out] { return out->fail(); };
  loop.progress = context.progress ? &diagnostics : nullptr;
  loop.progress_after_s = context.progress_after_s;

  std::unique_ptr<sim::SocketcandServer> server;
  std::unique_ptr<sim::SocketcanBridge> bridge;
  std::vector<sim::PolledIo*> io;
  if (options.serve) {
    sim::SocketcandServer::Config config;
    config.address = options.listen;
    config.port = options.port;
    config.log = [&diagnostics](const std::string& line) {
      diagnostics << "tavrix-sim: " << line << "\n" << std::flush;
    };
    try {
      server = std::make_unique<sim::SocketcandServer>(world.bus(), config);
      if (options.canInterface) {
        bridge = std::make_unique<sim::SocketcanBridge>(world.bus(), *options.canInterface);
      }
    } catch (const std::system_error& e) {
      diagnostics << "tavrix-sim: " << e.what() << "\n";
      return 1;
    }
    io.push_back(server.get());
    if (bridge) io.push_back(bridge.get());
    loop.drop_behind = [&server](size_t bytes) { server->dropClientsBehind(bytes); };
    diagnostics << "tavrix-sim: serving the simulated bus (socketcand) on " << server->address()
                << " port " << server->port();
    if (bridge) diagnostics << ", bridged to " << *options.canInterface;
    diagnostics << "\n" << std::flush;
  }

  int status = 0;
  LoopResult result;
  try {
    result = runLoop(world, loop, io);
  } catch (const std::exception& e) {
    // A board part that cannot keep what the firmware wrote (a full disk under an EEPROM image):
    // the run ends here, and the traffic up to this instant is kept.
    diagnostics << "tavrix-sim: " << e.what() << " (run stopped at " << seconds(world.now())
                << ")\n";
    status = 1;
  }
  out->flush();
  if (out->fail()) {
    diagnostics << "tavrix-sim: cannot write " << outName
                << (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()) << "\n";
    status = 1;
  }
  if (options.serve && status == 0) {
    char lag[64];
    std::snprintf(lag, sizeof lag, "%.3f ms",
                  static_cast<double>(result.max_lag_clk) / sim::kClocksPerMs);
    diagnostics << "tavrix-sim: " << seconds(world.now()) << " simulated in " << result.wall_s
                << " s of wall time";
    if (options.speed > 0) diagnostics << "; at most " << lag << " behind the wall clock";
    diagnostics << "\n";
  }
  if (status == 0 && applied.powerCut && world.now() >= *applied.powerCut) {
    diagnostics << "tavrix-sim: power cut at " << seconds(*applied.powerCut)
                << ": each EEPROM image keeps what its part held\n";
  }
  if (status == 0 && result.stopped && context.stop != nullptr && *context.stop != 0) {
    status = kSignalStatusBase + *context.stop;
  }
  return status;
}

}  // namespace tavrix::tools
