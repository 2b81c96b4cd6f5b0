#include "tools/tavrix/cli.hpp"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "sim/bus/candump.hpp"
#include "tools/tavrix/config_file.hpp"
#include "tools/tavrix/errors.hpp"
#include "tools/tavrix/json.hpp"
#include "tools/tavrix/monitor.hpp"
#include "tools/tavrix/session.hpp"
#include "tools/tavrix/verbs.hpp"

namespace tavrix::cli {

Environment Environment::process() {
  Environment e;
  e.env = [](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  };
  e.config_files = pythonCanConfigFiles();
  e.in = &std::cin;
  e.stdin_is_terminal = ::isatty(0) == 1;
  e.stderr_is_terminal = ::isatty(2) == 1;
  return e;
}

namespace {

const char* const kDescription =
    "Commissioning and operating Tavrix servo drives on a CAN bus: the property protocol the\n"
    "nodes speak from reset, and CANopen once a node has been switched (until its reset).";

const char* const kFooter = R"(Bus: --bus socketcand://HOST:PORT/CHANNEL (parts left out default to 127.0.0.1:29536/can0,
the twin's `tavrix-sim serve`) or --bus socketcan:IFACE; without --bus, TAVRIX_BUS, then python-can's
[default] section (interface, channel, host, port) of ~/can.conf, /etc/can.conf, ~/.can, ~/.canrc.

Mode guard: a node in property mode switches to CANopen for good on any two-byte frame. tavrix
sends gets with one data byte and sends a two-byte frame only for `canopen enter` and `reset`
(each asks first, or --yes); `send` refuses length 2 unless given --allow-two-byte.

Exit codes: 0 ok; 1 refused or check failed; 2 usage; 3 SDO abort; 4 timeout; 5 bus
unavailable; 6 protocol error; 130 interrupted.

Examples (each verb's --help has its own):
  tavrix scan
  tavrix -n 5 status
  tavrix -n 5 set TORQUE_LIMIT 800 && tavrix -n 5 save TORQUE_LIMIT
  tavrix -n 5 config dump > axis5.conf
  tavrix monitor --input session.log)";

void example(CLI::App* sub, const std::string& text) { sub->footer("Example:\n  " + text); }

// Builds the parser for one command line into `a` (values) and `g` (global options).
void buildApp(CLI::App& app, Globals& g, VerbArgs& a) {
  app.description(kDescription);
  app.footer(kFooter);
  app.require_subcommand(1);
  app.fallthrough();
  app.add_option("--bus", g.bus, "socketcand://HOST:PORT/CHANNEL or socketcan:IFACE");
  app.add_flag("-v,--verbose", g.verbose, "print every frame sent (T) and received (R) on stderr");
  app.add_option("-n,--node", g.nodes, "nodes: 5, 1,3-4 or all");
  app.add_option("-g,--group", g.group, "group 0 or 1");
  app.add_option("--timeout", g.timeout_ms, "answer timeout per request in ms (default 100)")
      ->check(CLI::Range(1, 600000));
  app.add_option("--format", g.format, "text (default) or json (JSON Lines for streams)")
      ->check(CLI::IsMember({"text", "json"}));
  app.add_flag("-y,--yes", g.yes, "answer yes to the questions of `reset` and `canopen enter`");
  app.add_option("--source", g.source, "the host's own address in property identifiers (0)")
      ->check(CLI::Range(0, 31));

  auto* props = app.add_subcommand("props", "the property table: number, name, width, restored, set");
  example(props, "tavrix props");

  auto* scan = app.add_subcommand("scan", "list the nodes on the bus, in both protocols");
  example(scan, "tavrix scan");

  auto* get = app.add_subcommand("get", "read properties by name or number");
  get->add_option("property", a.names, "NAME or number")->required();
  example(get, "tavrix -n 5 get MODE POSITION");

  auto* set = app.add_subcommand("set", "write a property (sets are never acknowledged)");
  set->add_option("property", a.name, "NAME or number")->required();
  set->add_option("value", a.value, "integer (0x hex allowed); MODE also takes a mode name")
      ->required();
  set->add_flag("--no-check", a.no_check, "do not read a plain property back");
  example(set, "tavrix -n 5 set VELOCITY_LIMIT 2000");

  auto* save = app.add_subcommand("save", "store properties in the node's EEPROM");
  save->add_option("property", a.names, "NAME or number")->required();
  example(save, "tavrix -n 5 save VELOCITY_LIMIT TORQUE_LIMIT");

  auto* load = app.add_subcommand("load", "reload properties from the node's EEPROM");
  load->add_option("property", a.names, "NAME or number")->required();
  example(load, "tavrix -n 5 load VELOCITY_LIMIT");

  auto* status = app.add_subcommand(
      "status", "status, mode, bus voltage, temperature, position, velocity, in words");
  example(status, "tavrix -n 5 status");

  auto* mode = app.add_subcommand("mode", "enter a mode: idle, hold-torque, torque, position, "
                                          "velocity, profile (or 0..5); only in status ready");
  mode->add_option("mode", a.name, "mode name or number")->required();
  example(mode, "tavrix -n 5 mode velocity");

  auto* stop = app.add_subcommand("stop", "enter mode idle (bridge off)");
  example(stop, "tavrix -n all stop");

  auto* send = app.add_subcommand("send", "send one raw frame, ID#DATA in candump form");
  send->add_option("frame", a.name, "e.g. 005#08")->required();
  send->add_flag("--allow-two-byte", a.allow_two_byte,
                 "allow a two-byte frame (it switches property-mode nodes to CANopen)");
  example(send, "tavrix send 005#08");

  auto* reset = app.add_subcommand("reset", "restart nodes with their reset frame (5A A6)");
  example(reset, "tavrix -n 5 --yes reset");

  auto* script = app.add_subcommand(
      "script", "run commands from FILE or - (one per line, # comments, `wait MS`); stops at the "
                "first failure");
  script->add_option("file", a.name, "FILE or -")->required();
  example(script, "tavrix -n 5 script commissioning.txt");

  auto* monitor = app.add_subcommand("monitor", "decode bus traffic live, or candump log files");
  monitor->add_option("--input", a.inputs, "candump log file(s) to decode instead of the bus");
  monitor->add_option("--count", a.count, "stop after N frames");
  monitor->add_option("--duration", a.duration_ms, "stop after MS milliseconds");
  monitor->add_option("--protocol", a.protocol, "auto (default), property or canopen")
      ->check(CLI::IsMember({"auto", "property", "canopen"}));
  example(monitor, "tavrix monitor --input session.log");

  auto* watch = app.add_subcommand("watch", "stream properties as TSV (or JSON Lines) for a live plot");
  watch->add_option("property", a.names, "NAME or number")->required();
  watch->add_option("--rate", a.rate_hz, "samples per second (default 10)")->check(CLI::Range(0.01, 1000.0));
  watch->add_option("--count", a.count, "stop after N samples");
  example(watch, "tavrix -n 5 watch POSITION VELOCITY --rate 20");

  auto* config = app.add_subcommand("config", "dump or restore the properties start-up restores");
  config->require_subcommand(1);
  auto* dump = config->add_subcommand("dump", "write NAME VALUE  # number lines (or JSON)");
  dump->add_option("-o,--output", a.output, "file instead of standard output");
  example(dump, "tavrix -n 5 config dump -o axis5.conf");
  auto* restore = config->add_subcommand(
      "restore", "set, save and read back every value of FILE in start-up restore order");
  restore->add_option("file", a.name, "configuration file")->required();
  restore->add_flag("--dry-run", a.dry_run, "print the differences against the drive only");
  restore->add_flag("--with-node-id", a.with_node_id, "also restore NODE_ID");
  restore->add_flag("--with-calibration", a.with_calibration,
                    "also restore ELEC_OFFSET and CURRENT_OFFSET");
  example(restore, "tavrix -n 5 config restore axis5.conf --dry-run");

  auto* home = app.add_subcommand("home", "home the axis against its hard stops (ACTION 13)");
  home->add_flag("--wait", a.wait, "wait for the end and report the limits found");
  home->add_option("--max-wait", a.max_wait_s, "seconds to wait at most (default 60)");
  example(home, "tavrix -n 5 home --wait");

  auto* move = app.add_subcommand("move", "move to a position (mode position) or a scaled "
                                          "position 0..65535 of the travel (--scaled, homed)");
  move->add_option("target", a.value, "counts, or 0..65535 with --scaled")->required();
  move->add_flag("--scaled", a.scaled, "target is a fraction of the travel (needs homing)");
  move->add_flag("--wait", a.wait, "wait until the position is within --tolerance");
  move->add_option("--tolerance", a.tolerance, "counts (default 20)");
  move->add_option("--max-wait", a.max_wait_s, "seconds to wait at most (default 60)");
  example(move, "tavrix -n 5 move 32768 --scaled --wait");

  auto* calibrate = app.add_subcommand(
      "calibrate", "offset: find the electrical offset (about 5 s); current: measure the "
                   "current-sense zero");
  calibrate->add_option("what", a.name, "offset or current")
      ->required()
      ->check(CLI::IsMember({"offset", "current"}));
  example(calibrate, "tavrix -n 5 calibrate current && tavrix -n 5 save CURRENT_OFFSET");

  auto* selftest = app.add_subcommand("selftest", "fet: bridge switch test; eeprom: EEPROM test");
  selftest->add_option("what", a.name, "fet or eeprom")
      ->required()
      ->check(CLI::IsMember({"fet", "eeprom"}));
  selftest->add_option("--max-wait", a.selftest_wait_s,
                       "seconds to wait at most for the EEPROM test (default 300; it takes about "
                       "14 s on a drive, a minute on a twin whose EEPROM is a file, and the node "
                       "answers nothing meanwhile)");
  example(selftest, "tavrix -n 5 selftest eeprom");

  auto* log = app.add_subcommand("log", "the node's data logger: record a torque step, dump it");
  log->require_subcommand(1);
  auto* record = log->add_subcommand(
      "record", "start recording with a torque step: sets STEP_CURRENT, which the node also "
                "makes the torque command (TORQUE) about 15 ms later");
  record->add_option("--step", a.step, "STEP_CURRENT value, above 2")->required();
  example(record, "tavrix -n 5 mode torque && tavrix -n 5 log record --step 400");
  auto* ldump = log->add_subcommand(
      "dump", "fetch the recorded buffer (about 30 s) as CSV; STEP_CURRENT 2 starts the dump and "
              "also becomes the torque command about 15 ms later");
  ldump->add_option("--csv", a.output, "CSV file to write")->required();
  ldump->add_option("--plot", a.plots, "plot file(s), .svg or .png");
  ldump->add_flag("--scaled", a.scaled, "add columns in physical units");
  ldump->add_flag("--allow-gaps", a.allow_gaps, "exit 0 even when frames were lost");
  example(ldump, "tavrix -n 5 log dump --csv step.csv --plot step.svg");

  auto* co = app.add_subcommand("canopen", "CANopen: enter, nmt, sdo, pdo, sync, hb");
  co->require_subcommand(1);
  auto* enter = co->add_subcommand("enter", "switch nodes to CANopen until their next reset");
  example(enter, "tavrix -n 5 --yes canopen enter");
  auto* nmt = co->add_subcommand("nmt", "send an NMT command");
  nmt->add_option("command", a.name, "start, stop, preop, reset-node, reset-comm")
      ->required()
      ->check(CLI::IsMember({"start", "stop", "preop", "reset-node", "reset-comm"}));
  nmt->add_flag("--force", a.force, "skip the check that no node still speaks the property protocol");
  example(nmt, "tavrix -n 5 canopen nmt start");
  auto* sdo = co->add_subcommand("sdo", "expedited SDO read and write");
  sdo->require_subcommand(1);
  auto* sdo_read = sdo->add_subcommand("read", "read an object");
  sdo_read->add_option("index", a.index_text, "object index, e.g. 0x1008")->required();
  sdo_read->add_option("sub", a.sub_text, "sub-index")->required();
  sdo_read->add_option("--type", a.type, "u8, i8, u16, i16, u32, i32 or str4");
  sdo_read->add_option("--eds", a.eds, "EDS file that gives the object's type");
  example(sdo_read, "tavrix -n 5 canopen sdo read 0x1008 0 --type str4");
  auto* sdo_write = sdo->add_subcommand(
      "write", "write an object; the frame is 4 + the object's size bytes long, as this node "
               "requires (--dlc 8 for standard slaves)");
  sdo_write->add_option("index", a.index_text, "object index")->required();
  sdo_write->add_option("sub", a.sub_text, "sub-index")->required();
  sdo_write->add_option("--type", a.type, "u8, i8, u16, i16, u32, i32 or str4")->required();
  sdo_write->add_option("value", a.value, "the value")->required();
  sdo_write->add_option("--dlc", a.dlc, "frame length: 8 for standard slaves");
  example(sdo_write, "tavrix -n 5 canopen sdo write 0x1017 0 --type u16 1000");
  auto* pdo = co->add_subcommand("pdo", "show or map PDOs");
  pdo->require_subcommand(1);
  auto* pdo_show = pdo->add_subcommand("show", "the communication and mapping objects of all PDOs");
  example(pdo_show, "tavrix -n 5 canopen pdo show");
  auto* pdo_map = pdo->add_subcommand("map", "configure one PDO (disable, type, mapping, enable)");
  pdo_map->add_option("direction", a.direction, "rpdo or tpdo")
      ->required()
      ->check(CLI::IsMember({"rpdo", "tpdo"}));
  pdo_map->add_option("number", a.pdo_number, "1..4")->required()->check(CLI::Range(1, 4));
  pdo_map->add_option("--cob-id", a.cob_id_text, "COB-ID (default 0x200/0x180 + 0x100 * (n-1) + node)");
  pdo_map->add_option("--transmission", a.transmission, "transmission type 0..255 (default 255 "
                                                        "for rpdo, 1 for tpdo)");
  pdo_map->add_option("entries", a.entries, "INDEX:SUB:BITS, e.g. 0x6060:0:32");
  example(pdo_map, "tavrix -n 5 canopen pdo map tpdo 1 0x1001:0:8 0x60A1:0:16");
  auto* sync = co->add_subcommand("sync", "send SYNC frames and print what answers");
  sync->add_option("--period", a.period_ms, "milliseconds between SYNCs")->required();
  sync->add_option("--count", a.count, "number of SYNCs (default: until Ctrl-C)");
  sync->add_flag("--force", a.force, "skip the check that no node still speaks the property protocol");
  example(sync, "tavrix canopen sync --period 100 --count 10");
  auto* hb = co->add_subcommand("hb", "heartbeats");
  hb->require_subcommand(1);
  auto* hb_watch = hb->add_subcommand("watch", "print heartbeats as they come");
  hb_watch->add_option("--count", a.count, "stop after N heartbeats");
  example(hb_watch, "tavrix canopen hb watch");
}

std::string chosenPath(const CLI::App& app) {
  std::string path;
  const CLI::App* cur = &app;
  while (true) {
    const auto subs = cur->get_subcommands();
    if (subs.empty()) break;
    cur = subs.front();
    path += (path.empty() ? "" : " ") + cur->get_name();
  }
  return path;
}

int execute(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            Environment& environment, const Globals& defaults,
            std::shared_ptr<std::unique_ptr<Bus>> shared_bus) {
  CLI::App app("", "tavrix");
  Globals g = defaults;
  VerbArgs a;
  buildApp(app, g, a);
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    err << "tavrix: " << e.what() << "\n(`tavrix --help` lists the verbs and options)\n";
    return static_cast<int>(Exit::kUsage);
  }
  Session s(environment, out, err, g, std::move(shared_bus));
  try {
    runVerb(chosenPath(app), s, a);
    return 0;
  } catch (const Failure& f) {
    err << "tavrix: " << f.what() << "\n";
    return static_cast<int>(f.code());
  }
}

}  // namespace

int runScriptLine(const std::vector<std::string>& args, Session& parent) {
  return execute(args, parent.out(), parent.err(), parent.env(), parent.globals(),
                 parent.sharedBus());
}

int runTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            Environment& environment) {
  return execute(args, out, err, environment, Globals{},
                 std::make_shared<std::unique_ptr<Bus>>());
}

}  // namespace tavrix::cli
