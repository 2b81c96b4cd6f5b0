#include "tools/tavrix/verbs.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "firmware/properties/property_table.hpp"
#include "tools/tavrix/errors.hpp"
#include "tools/tavrix/json.hpp"
#include "tools/tavrix/verbs_detail.hpp"

namespace tavrix::cli {

void pause(std::chrono::milliseconds d) {
  const auto end = Clock::now() + d;
  while (Clock::now() < end) {
    checkInterrupted();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
  }
}

std::string temperatureText(int32_t t_c256) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f C", t_c256 / 256.0);
  return b;
}

namespace {

const char* setKindName(SetKind k) {
  switch (k) {
    case SetKind::Unused: return "unused";
    case SetKind::Plain: return "plain";
    case SetKind::Special: return "special";
    case SetKind::Ignored: return "ignored";
    case SetKind::Command: return "command";
  }
  return "";
}

void verbProps(Session& s) {
  std::vector<std::vector<std::string>> rows;
  for (const PropertyInfo& p : kPropertyInfo) {
    if (!p.name) continue;
    const std::string width = p.width == Width::kNone ? "-" : std::to_string(static_cast<int>(p.width));
    if (s.json()) {
      JsonObject o;
      o.num("number", p.number).str("name", p.name);
      if (p.width == Width::kNone) o.raw("width", "null");
      else o.num("width", static_cast<int64_t>(p.width));
      o.boolean("restored", p.restored).str("set", setKindName(p.set));
      s.out() << o.text() << "\n";
    } else {
      rows.push_back({std::to_string(p.number), p.name, width, p.restored ? "yes" : "no",
                      setKindName(p.set)});
    }
  }
  if (!s.json()) printTable(s.out(), {"number", "name", "width", "restored", "set"}, rows);
}

void verbScan(Session& s) {
  PropertyClient pc = s.properties();
  struct Found {
    int node;
    std::string protocol, identity;
  };
  std::vector<Found> found;
  for (const Reply& r : pc.getAll({Destination::Kind::kAll, 0}, prop::FIRMWARE_ID)) {
    found.push_back({r.node, "property", "firmware id " + std::to_string(r.value)});
  }
  // CANopen nodes: an SDO read of the device type to every node number the property protocol
  // did not answer for. (Requests to nodes 0 and 1 reach property-mode nodes as harmless gets.)
  Bus& bus = s.bus();
  std::vector<bool> known(32, false);
  for (const Found& f : found) known[static_cast<size_t>(f.node)] = true;
  for (int n = 1; n < 32; ++n) {
    if (!known[static_cast<size_t>(n)]) bus.send(sdoUploadRequest(n, 0x1000, 0));
  }
  const auto deadline = Clock::now() + s.timeout() * 2;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const auto r = bus.receive(left);
    if (!r) break;
    const CanMessage& m = r->message;
    int node = -1;
    std::string what;
    if (m.id > 0x580 && m.id < 0x5A0 && m.length == 8 && (m.data[0] & 0xE0) == 0x40) {
      node = static_cast<int>(m.id - 0x580);
      char b[40];
      std::snprintf(b, sizeof b, "device type 0x%08X",
                    static_cast<uint32_t>(m.data[4] | m.data[5] << 8 | m.data[6] << 16 |
                                          static_cast<uint32_t>(m.data[7]) << 24));
      what = b;
    } else if (m.id > 0x700 && m.id < 0x720 && m.length == 1) {
      node = static_cast<int>(m.id - 0x700);
      what = "heartbeat " + heartbeatStateName(m.data[0]);
    }
    if (node < 0 || known[static_cast<size_t>(node)]) continue;
    known[static_cast<size_t>(node)] = true;
    found.push_back({node, "canopen", what});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.node < b.node; });
  if (s.json()) {
    for (const Found& f : found) {
      s.out() << JsonObject().num("node", f.node).str("protocol", f.protocol).str("identity", f.identity).text()
              << "\n";
    }
  } else {
    std::vector<std::vector<std::string>> rows;
    for (const Found& f : found) rows.push_back({std::to_string(f.node), f.protocol, f.identity});
    printTable(s.out(), {"node", "protocol", "identity"}, rows);
  }
  if (found.empty()) {
    throw Failure(Exit::kTimeout, "no node answered on " + bus.describe() +
                                      " in either protocol: is the twin running? `tavrix-sim "
                                      "serve --node 5`; on a real bus check wiring, bit rate "
                                      "(1 Mbit/s) and termination");
  }
}

std::string valueNote(int k, int32_t v) {
  if (k == prop::STATUS) return statusName(v);
  if (k == prop::MODE) return modeName(v);
  if (k == prop::TEMPERATURE) return temperatureText(v);
  return "";
}

void verbGet(Session& s, VerbArgs& a) {
  std::vector<int> ks;
  for (const std::string& n : a.names) ks.push_back(lookupProperty(n));
  const Selection sel = s.selection();
  PropertyClient pc = s.properties();
  std::vector<std::vector<std::string>> rows;
  const auto emit = [&](int node, int k, int32_t v) {
    if (s.json()) {
      s.out() << JsonObject().num("node", node).str("property", propertyName(k)).num("number", k)
                     .num("value", static_cast<int64_t>(v)).text() << "\n";
    } else {
      rows.push_back({std::to_string(node), propertyName(k), std::to_string(v), valueNote(k, v)});
    }
  };
  bool broadcast = sel.destinations.empty();
  for (const Destination& d : sel.destinations) broadcast |= !d.single();
  if (!broadcast) {
    for (const Destination& d : sel.destinations) {
      for (int k : ks) emit(d.number, k, pc.get(d.number, k));
    }
  } else {
    const Destination d = sel.destinations.empty() ? Destination{Destination::Kind::kAll, 0}
                                                   : sel.destinations.front();
    for (int k : ks) {
      const auto replies = pc.getAll(d, k);
      if (replies.empty()) {
        throw Failure(Exit::kTimeout, "no node answered a get of " + propertyName(k) + " sent to " +
                                          d.text() + " within " + std::to_string(s.globals().timeout_ms) +
                                          " ms on " + s.bus().describe() +
                                          ": is the twin running? `tavrix-sim serve --node 5`");
      }
      for (const Reply& r : replies) emit(r.node, k, r.value);
    }
  }
  if (!s.json()) printTable(s.out(), {"node", "property", "value", ""}, rows);
}

int64_t propertyValue(int k, const std::string& text) {
  if (k == prop::MODE) {
    if (const auto m = parseMode(text)) return *m;
  }
  return parseInteger(text, "the value of " + propertyName(k));
}

void verbSet(Session& s, VerbArgs& a) {
  const int k = lookupProperty(a.value.empty() ? a.name : a.name);
  const int64_t v = propertyValue(k, a.value);
  const Selection sel = s.explicitSelection("set");
  PropertyClient pc = s.properties();
  const PropertyInfo& info = kPropertyInfo[static_cast<size_t>(k)];
  for (const Destination& d : sel.destinations) {
    pc.set(d, k, v);
    // Sets are never acknowledged: read a plain property back to see that it arrived.
    if (!a.no_check && d.single() && info.set == SetKind::Plain && info.width != Width::kNone) {
      const int32_t back = pc.get(d.number, k);
      const int32_t sent = info.width == Width::k32 ? static_cast<int32_t>(v)
                                                    : static_cast<int16_t>(v);
      if (back != sent) {
        throw Failure(Exit::kRefused, "node " + std::to_string(d.number) + " holds " +
                                          propertyName(k) + " = " + std::to_string(back) +
                                          " after the set of " + std::to_string(sent));
      }
    }
    if (!s.json()) s.err() << d.text() << ": " << propertyName(k) << " <- " << v << "\n";
  }
}

void verbSaveLoad(Session& s, VerbArgs& a, bool save) {
  std::vector<int> ks;
  for (const std::string& n : a.names) ks.push_back(lookupProperty(n));
  const Selection sel = s.explicitSelection(save ? "save" : "load");
  PropertyClient pc = s.properties();
  for (const Destination& d : sel.destinations) {
    for (int k : ks) {
      pc.set(d, save ? prop::SAVE : prop::LOAD, k);
      s.err() << d.text() << ": " << (save ? "saved " : "loaded ") << propertyName(k) << "\n";
    }
  }
  // The EEPROM write of a save takes a few milliseconds inside the node; a get afterwards tells
  // that the node has handled the commands.
  for (const Destination& d : sel.destinations) {
    if (d.single()) pc.get(d.number, prop::FIRMWARE_ID);
  }
}

void verbStatus(Session& s) {
  PropertyClient pc = s.properties();
  std::vector<std::vector<std::string>> rows;
  for (int n : s.nodesToRead()) {
    const int32_t status = pc.get(n, prop::STATUS);
    const int32_t mode = pc.get(n, prop::MODE);
    const int32_t vbus = pc.get(n, prop::BUS_VOLTAGE);
    const int32_t temp = pc.get(n, prop::TEMPERATURE);
    const int32_t pos = pc.get(n, prop::POSITION);
    const int32_t vel = pc.get(n, prop::VELOCITY);
    const int32_t homed = pc.get(n, prop::HOMED);
    const int32_t overtemp = pc.get(n, prop::OVERTEMP);
    if (s.json()) {
      s.out() << JsonObject().num("node", n).num("status", static_cast<int64_t>(status))
                     .str("status_name", statusName(status)).num("mode", static_cast<int64_t>(mode))
                     .str("mode_name", modeName(mode)).num("bus_voltage", static_cast<int64_t>(vbus))
                     .num("temperature_c", temp / 256.0).num("position", static_cast<int64_t>(pos))
                     .num("velocity", static_cast<int64_t>(vel)).boolean("homed", homed == 1)
                     .boolean("overtemp", overtemp != 0).text() << "\n";
    } else {
      rows.push_back({std::to_string(n), statusName(status), modeName(mode), std::to_string(vbus),
                      temperatureText(temp) + (overtemp ? " OVER" : ""), std::to_string(pos),
                      std::to_string(vel), homed == 1 ? "yes" : "no"});
    }
  }
  if (!s.json()) {
    printTable(s.out(), {"node", "status", "mode", "bus voltage", "temperature", "position",
                         "velocity", "homed"}, rows);
  }
}

// Refuses a mode change the node would ignore: the property protocol takes one only in status
// ready.
void requireReady(PropertyClient& pc, int node, const std::string& action) {
  const int32_t status = pc.get(node, prop::STATUS);
  if (status == STATUS_READY) return;
  std::string what = "node " + std::to_string(node) + " is in status " + std::to_string(status) +
                     " (" + statusName(status) + "), and takes a mode change only in status 2 "
                     "(ready), so " + action + " would be ignored; ";
  if (status == STATUS_HOMING) what += "wait for homing to end (`tavrix -n N status`)";
  else what += "a restart (`tavrix -n " + std::to_string(node) + " set STATUS 0`) brings it back";
  throw Failure(Exit::kRefused, what);
}

void verbMode(Session& s, VerbArgs& a) {
  const auto mode = parseMode(a.name);
  if (!mode) {
    throw Failure(Exit::kUsage, "unknown mode " + a.name +
                                    ": idle, hold-torque, torque, position, velocity, profile or 0..5");
  }
  const Selection sel = s.explicitSelection("mode");
  PropertyClient pc = s.properties();
  for (const Destination& d : sel.destinations) {
    if (d.single()) requireReady(pc, d.number, "`mode " + a.name + "`");
    pc.set(d, prop::MODE, *mode);
    if (d.single()) {
      const int32_t now = pc.get(d.number, prop::MODE);
      if (now != *mode) {
        throw Failure(Exit::kRefused, "node " + std::to_string(d.number) + " entered mode " +
                                          modeName(now) + " instead of " + modeName(*mode));
      }
    }
    s.err() << d.text() << ": mode " << modeName(*mode) << "\n";
  }
}

void verbStop(Session& s) {
  const Selection sel = s.explicitSelection("stop");
  PropertyClient pc = s.properties();
  for (const Destination& d : sel.destinations) {
    pc.set(d, prop::MODE, 0);
    if (d.single()) {
      const int32_t now = pc.get(d.number, prop::MODE);
      if (now != 0) requireReady(pc, d.number, "`stop`");
    }
    s.err() << d.text() << ": mode idle\n";
  }
}

void verbSend(Session& s, VerbArgs& a) {
  const auto m = parseFrameText(a.name);
  if (!m) {
    throw Failure(Exit::kUsage, "cannot read frame \"" + a.name +
                                    "\": write ID#DATA as candump does, e.g. 005#08 or 4A6#88000200");
  }
  if (m->dataBytes() == 2 && !m->remote && !a.allow_two_byte) {
    throw Failure(Exit::kRefused,
                  "refused to send a two-byte frame: every node in property mode that accepts "
                  "it switches to CANopen until its next reset. Use `tavrix -n N canopen enter` "
                  "to switch on purpose, `tavrix -n N reset` to restart, or give --allow-two-byte");
  }
  s.bus().send(*m);
}

void verbReset(Session& s) {
  const std::vector<int> nodes = s.explicitNodes("reset");
  for (int n : nodes) {
    if (!s.confirm("Restart node " + std::to_string(n) + " with its reset frame?")) {
      throw Failure(Exit::kRefused, "reset of node " + std::to_string(n) +
                                        " not confirmed: answer y on a terminal, or give --yes");
    }
    CanMessage m;
    m.id = static_cast<uint32_t>(n);
    m.length = 2;
    m.data[0] = 0x5A;
    m.data[1] = 0xA6;
    s.bus().send(m);
  }
  // The node restarts in the property protocol; wait until it answers again.
  PropertyClient pc = s.properties();
  for (int n : nodes) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    for (;;) {
      try {
        pause(std::chrono::milliseconds(50));
        const int32_t fw = pc.get(n, prop::FIRMWARE_ID);
        s.err() << "node " << n << ": restarted, firmware id " << fw << "\n";
        break;
      } catch (const Failure& f) {
        if (f.code() != Exit::kTimeout || Clock::now() > deadline) {
          throw Failure(Exit::kTimeout,
                        "node " + std::to_string(n) + " did not answer after its reset frame; "
                        "a node in CANopen mode ignores that frame: `tavrix -n " +
                        std::to_string(n) + " canopen nmt reset-node` restarts it");
        }
      }
    }
  }
}

std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

void verbScript(Session& s, VerbArgs& a) {
  std::ifstream file;
  std::istream* in = nullptr;
  if (a.name == "-") {
    in = s.env().in;
  } else {
    file.open(a.name);
    if (!file) throw Failure(Exit::kUsage, "cannot read script " + a.name);
    in = &file;
  }
  std::string line;
  int lineno = 0;
  while (in && std::getline(*in, line)) {
    ++lineno;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::vector<std::string> words = splitWords(line);
    if (words.empty()) continue;
    if (words[0] == "tavrix") words.erase(words.begin());
    if (words.size() == 2 && words[0] == "wait") {
      pause(std::chrono::milliseconds(parseInteger(words[1], "wait")));
      continue;
    }
    if (!words.empty() && words[0] == "script") {
      throw Failure(Exit::kUsage, a.name + ":" + std::to_string(lineno) + ": scripts do not nest");
    }
    const int rc = runScriptLine(words, s);
    if (rc != 0) {
      throw Failure(static_cast<Exit>(rc), a.name + ":" + std::to_string(lineno) +
                                               ": stopped at the first failure (exit " +
                                               std::to_string(rc) + ")");
    }
  }
}

void verbWatch(Session& s, VerbArgs& a) {
  std::vector<int> ks;
  for (const std::string& n : a.names) ks.push_back(lookupProperty(n));
  const std::vector<int> nodes = s.explicitNodes("watch");
  PropertyClient pc = s.properties();
  if (!s.json()) {
    s.out() << "time_s\tnode";
    for (int k : ks) s.out() << "\t" << propertyName(k);
    s.out() << "\n" << std::flush;
  }
  const auto period = std::chrono::microseconds(static_cast<int64_t>(1e6 / a.rate_hz));
  const auto start = Clock::now();
  auto next = start;
  for (int64_t i = 0; a.count < 0 || i < a.count; ++i) {
    const auto now = Clock::now();
    if (next > now) pause(std::chrono::duration_cast<std::chrono::milliseconds>(next - now));
    next += period;
    for (int n : nodes) {
      const double t = std::chrono::duration<double>(Clock::now() - start).count();
      char ts[32];
      std::snprintf(ts, sizeof ts, "%.3f", t);
      if (s.json()) {
        JsonObject o;
        o.raw("time_s", ts).num("node", n);
        for (int k : ks) o.num(propertyName(k), static_cast<int64_t>(pc.get(n, k)));
        s.out() << o.text() << "\n" << std::flush;
      } else {
        s.out() << ts << "\t" << n;
        for (int k : ks) s.out() << "\t" << pc.get(n, k);
        s.out() << "\n" << std::flush;
      }
    }
  }
}

// Polls until `done` holds, failing with a timeout after `max_s` seconds.
template <class F>
void waitUntil(double max_s, const std::string& what, F done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(max_s * 1000));
  while (!done()) {
    if (Clock::now() > deadline) {
      throw Failure(Exit::kTimeout, what + " did not happen within " + std::to_string(static_cast<int>(max_s)) +
                                        " s; raise --max-wait, or look with `tavrix -n N status`");
    }
    pause(std::chrono::milliseconds(50));
  }
}

void verbHome(Session& s, VerbArgs& a) {
  const std::vector<int> nodes = s.explicitNodes("home");
  PropertyClient pc = s.properties();
  for (int n : nodes) {
    const int32_t status = pc.get(n, prop::STATUS);
    if (status == STATUS_HOMING) {
      throw Failure(Exit::kRefused, "node " + std::to_string(n) + " is already homing; wait for the end "
                                        "(`tavrix -n " + std::to_string(n) + " status` shows ready)");
    }
    const int32_t hv = pc.get(n, prop::HOME_VELOCITY);
    const int32_t side = pc.get(n, hv > 0 ? prop::BACKOFF_HIGH : prop::BACKOFF_LOW);
    if (hv != 0 && side == 0) {
      throw Failure(Exit::kRefused,
                    "node " + std::to_string(n) + " refuses to home: HOME_VELOCITY " +
                        std::to_string(hv) + " finds the " + (hv > 0 ? "upper" : "lower") +
                        " stop first and " + (hv > 0 ? "BACKOFF_HIGH" : "BACKOFF_LOW") +
                        " is 0; set it (`tavrix -n " + std::to_string(n) + " set " +
                        (hv > 0 ? "BACKOFF_HIGH" : "BACKOFF_LOW") + " 200`)");
    }
    pc.set({Destination::Kind::kNode, n}, prop::ACTION, 13);
    s.err() << "node " << n << ": homing started\n";
  }
  if (!a.wait) return;
  std::vector<std::vector<std::string>> rows;
  for (int n : nodes) {
    pause(std::chrono::milliseconds(100));
    waitUntil(a.max_wait_s, "homing of node " + std::to_string(n), [&] {
      return pc.get(n, prop::STATUS) == STATUS_READY && pc.get(n, prop::HOMED) == 1;
    });
    const int32_t lo = pc.get(n, prop::LOWER_LIMIT), hi = pc.get(n, prop::UPPER_LIMIT);
    const int32_t pos = pc.get(n, prop::POSITION);
    if (s.json()) {
      s.out() << JsonObject().num("node", n).num("lower_limit", static_cast<int64_t>(lo))
                     .num("upper_limit", static_cast<int64_t>(hi)).num("position", static_cast<int64_t>(pos))
                     .text() << "\n";
    } else {
      rows.push_back({std::to_string(n), std::to_string(lo), std::to_string(hi), std::to_string(pos)});
    }
  }
  if (!s.json()) printTable(s.out(), {"node", "lower limit", "upper limit", "position"}, rows);
}

void verbMove(Session& s, VerbArgs& a) {
  const std::vector<int> nodes = s.explicitNodes("move");
  PropertyClient pc = s.properties();
  const int64_t target = parseInteger(a.value, "the target");
  std::vector<int64_t> goal;
  for (int n : nodes) {
    const Destination d{Destination::Kind::kNode, n};
    if (a.scaled) {
      if (target < 0 || target > 65535) throw Failure(Exit::kUsage, "a scaled target is 0..65535");
      if (pc.get(n, prop::HOMED) != 1) {
        throw Failure(Exit::kRefused, "node " + std::to_string(n) + " is not homed, so it ignores "
                                          "scaled moves: `tavrix -n " + std::to_string(n) + " home --wait` first");
      }
      const int64_t span = static_cast<int64_t>(pc.get(n, prop::UPPER_LIMIT)) - pc.get(n, prop::LOWER_LIMIT);
      goal.push_back((target * span) >> 16);
      pc.set(d, prop::SCALED_TARGET, target);
    } else {
      const int32_t mode = pc.get(n, prop::MODE);
      if (mode != 3) {
        throw Failure(Exit::kRefused, "node " + std::to_string(n) + " is in mode " + modeName(mode) +
                                          "; a position target is taken in mode position: `tavrix -n " +
                                          std::to_string(n) + " mode position` first");
      }
      if (pc.get(n, prop::STATUS) == STATUS_HOMING) {
        throw Failure(Exit::kRefused, "node " + std::to_string(n) + " is homing; wait for it to end");
      }
      goal.push_back(target);
      pc.set(d, prop::POSITION, target);
    }
    s.err() << "node " << n << ": moving to " << goal.back() << "\n";
  }
  if (!a.wait) return;
  for (size_t i = 0; i < nodes.size(); ++i) {
    waitUntil(a.max_wait_s, "the move of node " + std::to_string(nodes[i]), [&] {
      return std::llabs(pc.get(nodes[i], prop::POSITION) - goal[i]) <= a.tolerance;
    });
    s.out() << "node " << nodes[i] << ": at " << pc.get(nodes[i], prop::POSITION) << "\n";
  }
}

void verbCalibrate(Session& s, VerbArgs& a) {
  const std::vector<int> nodes = s.explicitNodes("calibrate");
  PropertyClient pc = s.properties();
  const bool offset = a.name == "offset";
  for (int n : nodes) {
    requireReady(pc, n, "calibration");
    pc.set({Destination::Kind::kNode, n}, prop::CALIBRATE, offset ? 61 : 62);
    s.err() << "node " << n << ": " << (offset ? "searching the electrical offset (about 5 s)"
                                               : "measuring the current-sense zero") << "\n";
  }
  // The offset search runs 5 s on the node's timer; the current measurement 25 samples of 2 ms.
  for (int n : nodes) pc.waitNodeTime(n, std::chrono::milliseconds(offset ? 5200 : 80));
  std::vector<std::vector<std::string>> rows;
  for (int n : nodes) {
    const int k = offset ? prop::ELEC_OFFSET : prop::CURRENT_OFFSET;
    const int32_t v = pc.get(n, k);
    if (s.json()) {
      s.out() << JsonObject().num("node", n).str("property", propertyName(k)).num("value", static_cast<int64_t>(v)).text() << "\n";
    } else {
      rows.push_back({std::to_string(n), propertyName(k), std::to_string(v)});
    }
  }
  if (!s.json()) {
    printTable(s.out(), {"node", "property", "value"}, rows);
    s.err() << "keep it with `tavrix -n N save " << (offset ? "ELEC_OFFSET" : "CURRENT_OFFSET") << "`\n";
  }
}

void verbSelftest(Session& s, VerbArgs& a) {
  const std::vector<int> nodes = s.explicitNodes("selftest");
  PropertyClient pc = s.properties();
  std::vector<std::vector<std::string>> rows;
  bool failed = false;
  for (int n : nodes) {
    const Destination d{Destination::Kind::kNode, n};
    if (a.name == "eeprom") {
      pc.set(d, prop::ACTION, 24);
      s.err() << "node " << n << ": testing the EEPROM (about 14 s on a drive, longer on a twin "
                                  "whose EEPROM is a file; the node answers nothing meanwhile)\n";
      // The node answers nothing while it tests (a write cycle per byte): ask until it does. On
      // a terminal the seconds waited so far are shown.
      std::optional<int32_t> answer;
      const auto started = Clock::now();
      int shown_s = -1;
      waitUntil(a.selftest_wait_s, "the EEPROM test of node " + std::to_string(n), [&] {
        try {
          answer = pc.get(n, prop::EEPROM_TEST);
        } catch (const Failure& f) {
          if (f.code() != Exit::kTimeout) throw;
        }
        const int waited_s = static_cast<int>(
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count());
        if (s.env().stderr_is_terminal && !answer && waited_s != shown_s) {
          s.err() << "\rEEPROM test of node " << n << ": " << waited_s << " s" << std::flush;
          shown_s = waited_s;
        }
        return answer.has_value();
      });
      if (shown_s >= 0) s.err() << "\n";
      const int32_t failures = *answer;
      failed |= failures != 0;
      if (s.json()) {
        s.out() << JsonObject().num("node", n).str("test", "eeprom").num("failures", static_cast<int64_t>(failures)).text() << "\n";
      } else {
        rows.push_back({std::to_string(n), "eeprom", std::to_string(failures), failures ? "FAIL" : "ok"});
      }
      continue;
    }
    requireReady(pc, n, "the bridge test");
    pc.set(d, prop::STATUS, STATUS_TEST);
    // The six codes that invert one or two phases; the measurement of each takes about 50 ms.
    static constexpr int kCodes[] = {22, 25, 26, 37, 38, 41};
    static constexpr const char* kPattern[] = {"C", "B", "B+C", "A", "A+C", "A+B"};
    for (size_t i = 0; i < 6; ++i) {
      pc.set(d, prop::AUX_OUTPUT, kCodes[i]);
      // 25 samples, one per wait(1) of two ticks; the node answers meanwhile.
      pc.waitNodeTime(n, std::chrono::milliseconds(80));
      const int32_t mn = pc.get(n, 35), mx = pc.get(n, 36), mean = pc.get(n, 37), sd = pc.get(n, 38);
      if (s.json()) {
        s.out() << JsonObject().num("node", n).str("test", "fet").num("code", kCodes[i])
                       .str("inverted", kPattern[i]).num("min", static_cast<int64_t>(mn))
                       .num("max", static_cast<int64_t>(mx)).num("mean", static_cast<int64_t>(mean))
                       .num("stdev", static_cast<int64_t>(sd)).text() << "\n";
      } else {
        rows.push_back({std::to_string(n), std::to_string(kCodes[i]), kPattern[i], std::to_string(mn),
                        std::to_string(mx), std::to_string(mean), std::to_string(sd)});
      }
    }
    pc.set(d, prop::STATUS, STATUS_READY);
    pc.set(d, prop::MODE, 0);
  }
  if (!s.json()) {
    if (a.name == "eeprom") printTable(s.out(), {"node", "test", "failures", "result"}, rows);
    else printTable(s.out(), {"node", "code", "inverted", "min", "max", "mean", "stdev"}, rows);
  }
  if (failed) throw Failure(Exit::kRefused, "the EEPROM test found failed read-backs: saved settings "
                                        "on this node are not safe; check or replace the EEPROM");
}

}  // namespace

void runVerb(const std::string& path, Session& s, VerbArgs& a) {
  s.selection();  // a malformed -n or -g is a usage error before anything touches the bus
  if (path == "props") return verbProps(s);
  if (path == "scan") return verbScan(s);
  if (path == "get") return verbGet(s, a);
  if (path == "set") return verbSet(s, a);
  if (path == "save") return verbSaveLoad(s, a, true);
  if (path == "load") return verbSaveLoad(s, a, false);
  if (path == "status") return verbStatus(s);
  if (path == "mode") return verbMode(s, a);
  if (path == "stop") return verbStop(s);
  if (path == "send") return verbSend(s, a);
  if (path == "reset") return verbReset(s);
  if (path == "script") return verbScript(s, a);
  if (path == "watch") return verbWatch(s, a);
  if (path == "home") return verbHome(s, a);
  if (path == "move") return verbMove(s, a);
  if (path == "calibrate") return verbCalibrate(s, a);
  if (path == "selftest") return verbSelftest(s, a);
  if (path == "monitor") return verbMonitor(s, a);
  if (path == "config dump") return verbConfigDump(s, a);
  if (path == "config restore") return verbConfigRestore(s, a);
  if (path == "log record") return verbLogRecord(s, a);
  if (path == "log dump") return verbLogDump(s, a);
  if (path.starts_with("canopen ")) return verbCanopen(path.substr(8), s, a);
  throw Failure(Exit::kUsage, "unknown verb " + path);
}

}  // namespace tavrix::cli
