// The CANopen verbs: enter, nmt, sdo read/write, pdo show/map, sync, hb watch.
#include <cstdio>

#include "firmware/properties/property_table.hpp"
#include "sim/bus/candump.hpp"
#include "tools/tavrix/canopen.hpp"
#include "tools/tavrix/errors.hpp"
#include "tools/tavrix/json.hpp"
#include "tools/tavrix/monitor.hpp"
#include "tools/tavrix/verbs_detail.hpp"

namespace tavrix::cli {

namespace {

std::string hex(uint32_t v, int digits) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*X", digits, v);
  return b;
}

// Refuses to send frames that a node still in the property protocol would take as a request
// (an NMT command is a two-byte frame and switches it; SYNC reaches it as a request to node 0):
// a get of FIRMWARE_ID answered in the property protocol shows such a node.
void requireNoPropertyNodes(Session& s, const Selection& sel, const std::string& verb) {
  PropertyClient pc = s.properties();
  std::vector<Destination> probe = sel.destinations;
  if (probe.empty()) probe.push_back({Destination::Kind::kAll, 0});
  for (const Destination& d : probe) {
    const auto replies = pc.getAll(d, prop::FIRMWARE_ID);
    if (replies.empty()) continue;
    const int n = replies.front().node;
    throw Failure(Exit::kRefused,
                  "node " + std::to_string(n) + " speaks the property protocol, and `" + verb +
                      "` would reach it as a property frame (a two-byte frame switches it to "
                      "CANopen for good); switch it on purpose with `tavrix -n " +
                      std::to_string(n) + " canopen enter`, or give --force");
  }
}

uint16_t parseIndex(const std::string& t) {
  const int64_t v = parseInteger(t, "the object index");
  if (v < 0 || v > 0xFFFF) throw Failure(Exit::kUsage, "object index " + t + " is outside 0..0xFFFF");
  return static_cast<uint16_t>(v);
}
uint8_t parseSub(const std::string& t) {
  const int64_t v = parseInteger(t, "the sub-index");
  if (v < 0 || v > 0xFF) throw Failure(Exit::kUsage, "sub-index " + t + " is outside 0..255");
  return static_cast<uint8_t>(v);
}

SdoType typeOf(const std::string& t) {
  const auto ty = parseSdoType(t);
  if (!ty) throw Failure(Exit::kUsage, "unknown type " + t + ": u8, i8, u16, i16, u32, i32 or str4");
  return *ty;
}

void enter(Session& s) {
  const Selection sel = s.explicitSelection("canopen enter");
  PropertyClient pc = s.properties();
  CanopenClient co = s.canopen();
  Bus& bus = s.bus();
  for (const Destination& d : sel.destinations) {
    if (d.group()) {
      throw Failure(Exit::kUsage, "`canopen enter` takes nodes (-n 5, -n all), not groups");
    }
    if (d.single()) {
      if (pc.getAll(d, prop::FIRMWARE_ID).empty()) {
        try {
          co.read(d.number, 0x1000, 0);
          s.err() << "node " << d.number << " already speaks CANopen\n";
          continue;
        } catch (const Failure&) {
          throw Failure(Exit::kTimeout, "node " + std::to_string(d.number) + " answers in neither "
                                            "protocol on " + bus.describe() + ": `tavrix scan` lists "
                                            "the nodes; is the twin running? `tavrix-sim serve --node " +
                                            std::to_string(d.number) + "`");
        }
      }
    }
    if (!s.confirm("Switch " + d.text() + " to CANopen until its next reset?")) {
      throw Failure(Exit::kRefused, "switch of " + d.text() +
                                        " not confirmed: answer y on a terminal, or give --yes");
    }
    // A two-byte frame that is not the reset frame: to the node's own number, or NMT identifier 0
    // with command 0 (which CANopen nodes ignore) for every node.
    CanMessage m;
    m.id = d.field();
    m.length = 2;
    bus.send(m);
    // The slave starts with a heartbeat.
    std::vector<int> beat;
    const auto deadline = Clock::now() + s.timeout() + std::chrono::milliseconds(400);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      const auto r = bus.receive(left);
      if (!r || r->message.id < 0x701 || r->message.id > 0x77F || r->message.length != 1) continue;
      const int n = static_cast<int>(r->message.id - 0x700);
      if (d.single() && n != d.number) continue;
      s.err() << "node " << n << ": CANopen, " << heartbeatStateName(r->message.data[0]) << "\n";
      beat.push_back(n);
      if (d.single()) break;
    }
    if (beat.empty()) {
      throw Failure(Exit::kTimeout, "no heartbeat after the switch of " + d.text() + " on " +
                                        bus.describe() + "; `tavrix scan` shows what answers");
    }
  }
}

void nmt(Session& s, VerbArgs& a) {
  const Selection sel = s.explicitSelection("canopen nmt");
  const auto cmd = parseNmtCommand(a.name);
  for (const Destination& d : sel.destinations) {
    if (d.group()) throw Failure(Exit::kUsage, "NMT addresses nodes (-n 5, -n all), not groups");
  }
  if (!a.force) requireNoPropertyNodes(s, sel, "canopen nmt");
  CanopenClient co = s.canopen();
  for (const Destination& d : sel.destinations) {
    co.nmt(*cmd, static_cast<int>(d.field()));
    s.err() << "NMT " << a.name << " -> " << (d.single() ? d.text() : "all nodes") << "\n";
  }
}

void sdoRead(Session& s, VerbArgs& a) {
  const uint16_t index = parseIndex(a.index_text);
  const uint8_t sub = parseSub(a.sub_text);
  std::optional<SdoType> type;
  if (!a.type.empty()) type = typeOf(a.type);
  else if (!a.eds.empty()) {
    type = edsType(a.eds, index, sub);
    if (!type) throw Failure(Exit::kUsage, a.eds + " has no object " + hex(index, 4) + " sub " + std::to_string(sub));
  }
  const std::vector<int> nodes = s.explicitNodes("canopen sdo read");
  CanopenClient co = s.canopen();
  for (int n : nodes) {
    const uint32_t v = co.read(n, index, sub);
    const std::string text = type ? formatSdoValue(*type, v) : hex(v, 8) + " (" + std::to_string(v) + ")";
    if (s.json()) {
      JsonObject o;
      o.num("node", n).str("index", hex(index, 4)).num("sub", sub).num("raw", static_cast<int64_t>(v));
      if (type) o.str("type", sdoTypeName(*type)).str("value", formatSdoValue(*type, v));
      s.out() << o.text() << "\n";
    } else {
      s.out() << "node " << n << " " << hex(index, 4) << " sub " << static_cast<int>(sub) << " = " << text << "\n";
    }
  }
}

void sdoWrite(Session& s, VerbArgs& a) {
  const uint16_t index = parseIndex(a.index_text);
  const uint8_t sub = parseSub(a.sub_text);
  const SdoType type = typeOf(a.type);
  const uint32_t value = parseSdoValue(type, a.value);
  if (a.dlc != 0 && a.dlc != 8) throw Failure(Exit::kUsage, "--dlc takes 8 (the standard frame length)");
  const std::vector<int> nodes = s.explicitNodes("canopen sdo write");
  CanopenClient co = s.canopen();
  for (int n : nodes) {
    const uint32_t echo = co.write(n, index, sub, type, value, a.dlc == 8);
    s.err() << "node " << n << " " << hex(index, 4) << " sub " << static_cast<int>(sub) << " <- "
            << formatSdoValue(type, value) << " (node holds " << hex(echo, 8) << ")\n";
  }
}

std::string mappingText(uint32_t e) {
  return hex(e >> 16, 4) + ":" + std::to_string((e >> 8) & 0xFF) + ":" + std::to_string(e & 0xFF);
}

void pdoShow(Session& s) {
  const std::vector<int> nodes = s.explicitNodes("canopen pdo show");
  CanopenClient co = s.canopen();
  for (int n : nodes) {
    std::vector<std::vector<std::string>> rows;
    for (int dir = 0; dir < 2; ++dir) {
      for (uint16_t i = 0; i < 4; ++i) {
        const uint16_t comm = static_cast<uint16_t>((dir ? 0x1800 : 0x1400) + i);
        const uint16_t map = static_cast<uint16_t>((dir ? 0x1A00 : 0x1600) + i);
        const uint32_t cob = co.read(n, comm, 1);
        const uint32_t type = co.read(n, comm, 2) & 0xFF;
        const uint32_t count = co.read(n, map, 0) & 0xFF;
        std::string mapping;
        for (uint32_t k = 1; k <= count && k <= 4; ++k) {
          mapping += (mapping.empty() ? "" : " ") + mappingText(co.read(n, map, static_cast<uint8_t>(k)));
        }
        const std::string name = std::string(dir ? "tpdo" : "rpdo") + std::to_string(i + 1);
        const bool enabled = !(cob & 0x80000000u) && cob != 0;
        if (s.json()) {
          s.out() << JsonObject().num("node", n).str("pdo", name).num("cob_id", static_cast<int64_t>(cob))
                         .boolean("enabled", enabled).num("transmission", static_cast<int64_t>(type))
                         .str("mapping", mapping).text() << "\n";
        } else {
          rows.push_back({name, hex(cob, 8), enabled ? "yes" : "no", std::to_string(type),
                          mapping.empty() ? "-" : mapping});
        }
      }
    }
    if (!s.json()) {
      s.out() << "node " << n << "\n";
      printTable(s.out(), {"pdo", "cob-id", "enabled", "type", "mapping (index:sub:bits)"}, rows);
    }
  }
}

void pdoMap(Session& s, VerbArgs& a) {
  const bool tx = a.direction == "tpdo";
  const uint16_t i = static_cast<uint16_t>(a.pdo_number - 1);
  const uint16_t comm = static_cast<uint16_t>((tx ? 0x1800 : 0x1400) + i);
  const uint16_t map = static_cast<uint16_t>((tx ? 0x1A00 : 0x1600) + i);
  if (a.entries.size() > 4) throw Failure(Exit::kUsage, "a PDO maps at most 4 objects");
  std::vector<uint32_t> entries;
  int bits = 0;
  for (const std::string& e : a.entries) {
    const size_t c1 = e.find(':'), c2 = e.find(':', c1 == std::string::npos ? 0 : c1 + 1);
    if (c1 == std::string::npos || c2 == std::string::npos) {
      throw Failure(Exit::kUsage, "mapping entry " + e + " is not INDEX:SUB:BITS (e.g. 0x6060:0:32)");
    }
    const uint16_t idx = parseIndex(e.substr(0, c1));
    const uint8_t sub = parseSub(e.substr(c1 + 1, c2 - c1 - 1));
    const int64_t len = parseInteger(e.substr(c2 + 1), "the bit length");
    if (len != 8 && len != 16 && len != 32) {
      throw Failure(Exit::kUsage, "mapping entry " + e + ": the bit length is 8, 16 or 32");
    }
    bits += static_cast<int>(len);
    entries.push_back(static_cast<uint32_t>(idx) << 16 | static_cast<uint32_t>(sub) << 8 |
                      static_cast<uint32_t>(len));
  }
  if (bits > 64) throw Failure(Exit::kUsage, "the mapped objects need " + std::to_string(bits) +
                                                 " bits; a PDO carries 64");
  const int type = a.transmission >= 0 ? a.transmission : (tx ? 1 : 255);
  if (type > 255) throw Failure(Exit::kUsage, "--transmission is 0..255");
  const std::vector<int> nodes = s.explicitNodes("canopen pdo map");
  CanopenClient co = s.canopen();
  for (int n : nodes) {
    const uint32_t cob = a.cob_id_text.empty()
                             ? static_cast<uint32_t>((tx ? 0x180 : 0x200) + 0x100 * i + n)
                             : static_cast<uint32_t>(parseInteger(a.cob_id_text, "--cob-id"));
    // The usual procedure: disable, type, clear the mapping, map, count, enable.
    co.write(n, comm, 1, SdoType::kU32, cob | 0x80000000u, false);
    co.write(n, comm, 2, SdoType::kU8, static_cast<uint32_t>(type), false);
    co.write(n, map, 0, SdoType::kU8, 0, false);
    for (size_t k = 0; k < entries.size(); ++k) {
      co.write(n, map, static_cast<uint8_t>(k + 1), SdoType::kU32, entries[k], false);
    }
    co.write(n, map, 0, SdoType::kU8, static_cast<uint32_t>(entries.size()), false);
    co.write(n, comm, 1, SdoType::kU32, cob, false);
    s.err() << "node " << n << ": " << a.direction << a.pdo_number << " on " << hex(cob, 3)
            << ", type " << type << ", " << entries.size() << " objects; keep it with `tavrix -n "
            << n << " canopen sdo write 0x1010 1 --type str4 save`\n";
  }
}

void syncVerb(Session& s, VerbArgs& a) {
  if (a.period_ms <= 0) throw Failure(Exit::kUsage, "--period must be at least 1 ms");
  const Selection sel = s.selection();
  if (!a.force) requireNoPropertyNodes(s, sel, "canopen sync");
  Bus& bus = s.bus();
  TrafficDecoder decoder(TrafficDecoder::Protocol::kCanopen);
  CanMessage sync;
  sync.id = 0x080;
  sync.length = 0;
  for (int64_t i = 0; a.count < 0 || i < a.count; ++i) {
    bus.send(sync);
    const auto end = Clock::now() + std::chrono::milliseconds(a.period_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) break;
      const auto r = bus.receive(left);
      if (!r) break;
      if (s.json()) s.out() << decoder.describeJson(r->message, r->micros) << "\n";
      else s.out() << "SYNC " << i + 1 << ": " << frameText(r->message) << "  " << decoder.describe(r->message) << "\n";
    }
  }
}

void hbWatch(Session& s, VerbArgs& a) {
  const Selection sel = s.selection();
  std::vector<bool> want(128, sel.destinations.empty());
  for (const Destination& d : sel.destinations) {
    if (d.single()) want[static_cast<size_t>(d.number)] = true;
    else want.assign(128, true);
  }
  Bus& bus = s.bus();
  const auto start = Clock::now();
  bool hinted = false;
  for (int64_t seen = 0; a.count < 0 || seen < a.count;) {
    // Nodes send heartbeats only with a producer time: say so once when nothing comes.
    if (seen == 0 && !hinted && Clock::now() - start > std::chrono::seconds(3)) {
      s.err() << "no heartbeat within 3 s on " << bus.describe() << "; a node sends them in "
              << "CANopen only, with a producer time in 0x1017 (e.g. `tavrix -n N canopen sdo "
                 "write 0x1017 0 --type u16 1000`); still watching (Ctrl-C ends)\n" << std::flush;
      hinted = true;
    }
    const auto r = bus.receive(std::chrono::milliseconds(200));
    if (!r) continue;
    const CanMessage& m = r->message;
    if (m.extended || m.id < 0x701 || m.id > 0x77F || m.length != 1) continue;
    const int n = static_cast<int>(m.id - 0x700);
    if (!want[static_cast<size_t>(n)]) continue;
    ++seen;
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", std::chrono::duration<double>(Clock::now() - start).count());
    if (s.json()) {
      s.out() << JsonObject().raw("time_s", t).num("node", n).num("state", m.data[0])
                     .str("state_name", heartbeatStateName(m.data[0])).text() << "\n" << std::flush;
    } else {
      s.out() << t << "  node " << n << "  " << heartbeatStateName(m.data[0]) << "\n" << std::flush;
    }
  }
}

}  // namespace

void verbCanopen(const std::string& path, Session& s, VerbArgs& a) {
  if (path == "enter") return enter(s);
  if (path == "nmt") return nmt(s, a);
  if (path == "sdo read") return sdoRead(s, a);
  if (path == "sdo write") return sdoWrite(s, a);
  if (path == "pdo show") return pdoShow(s);
  if (path == "pdo map") return pdoMap(s, a);
  if (path == "sync") return syncVerb(s, a);
  if (path == "hb watch") return hbWatch(s, a);
  throw Failure(Exit::kUsage, "unknown verb canopen " + path);
}

}  // namespace tavrix::cli
