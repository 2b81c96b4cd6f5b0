#include "tools/tavrix/monitor.hpp"

#include <cstdio>

#include "firmware/node/logger.hpp"
#include "firmware/properties/property_table.hpp"
#include "sim/bus/candump.hpp"
#include "tools/tavrix/bus.hpp"
#include "tools/tavrix/canopen.hpp"
#include "tools/tavrix/json.hpp"
#include "tools/tavrix/property_protocol.hpp"

namespace tavrix::cli {

namespace {

using sim::CanMessage;


std::string hex(uint32_t v, int digits) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*X", digits, v);
  return b;
}

uint32_t le32(const CanMessage& m, int from) {
  uint32_t v = 0;
  for (int i = 0; i < 4 && from + i < 8; ++i) v |= static_cast<uint32_t>(m.data[from + i]) << (8 * i);
  return v;
}

std::string bytesText(const CanMessage& m, int from) {
  std::string s;
  char b[4];
  for (int i = from; i < m.dataBytes(); ++i) {
    std::snprintf(b, sizeof b, "%s%02X", s.empty() ? "" : " ", m.data[i]);
    s += b;
  }
  return s.empty() ? "(no data)" : s;
}

std::string printable4(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>(v >> (8 * i));
    if (c < 0x20 || c > 0x7E) return "";
    s += c;
  }
  return " \"" + s + "\"";
}

std::string object(const CanMessage& m) {
  return hex(static_cast<uint32_t>(m.data[1] | m.data[2] << 8), 4) + " sub " +
         std::to_string(m.data[3]);
}

std::string named(int k) {
  const std::string n = propertyName(k);
  return n == std::to_string(k) ? "property " + n : n + " (" + std::to_string(k) + ")";
}

std::string destinationText(uint32_t id) {
  const uint32_t field = id & 0x1F;
  if (id & 0x400) return "group " + std::to_string(field);
  return field == 0 ? "every node" : "node " + std::to_string(field);
}

// What a set does besides storing, for the commands an operator meets most.
std::string setMeaning(int k, int32_t v) {
  switch (k) {
    case prop::SAVE: case prop::SAVE_ALT: return "save " + named(v);
    case prop::LOAD: return "load " + named(v);
    case prop::MODE: return "mode " + modeName(v & 0xFF);
    case prop::STATUS:
      return v == 0 ? "STATUS = 0: restart" : v == 4 ? "STATUS = 4: test, bridge idle"
                                                      : "STATUS = " + std::to_string(v);
    case prop::ACTION:
      switch (v & 0xFF) {
        case 13: return "ACTION 13: home";
        case 24: return "ACTION 24: EEPROM test";
        case 25: return "ACTION 25: halt and EEPROM test";
        default: return "ACTION " + std::to_string(v & 0xFF) + ": nothing";
      }
    case prop::CALIBRATE:
      switch (v & 0xFF) {
        case 61: return "CALIBRATE 61: find the electrical offset";
        case 62: return "CALIBRATE 62: measure the current-sense zero";
        default: return "CALIBRATE " + std::to_string(v & 0xFF) + ": nothing";
      }
    case prop::STEP_CURRENT:
      if (v == 2) return "STEP_CURRENT = 2: logger dump (and torque 2 in 15 ms)";
      if (v > 2) return "STEP_CURRENT = " + std::to_string(v) + ": logger records, torque step";
      return "STEP_CURRENT = " + std::to_string(v);
    case prop::SCALED_TARGET: return "move to scaled " + std::to_string(v & 0xFFFF);
    case prop::PROFILE_START: return "profile start, TRAVEL = " + std::to_string(v);
    default: return named(k) + " = " + std::to_string(v);
  }
}

}  // namespace

bool TrafficDecoder::propertyShape(const CanMessage& m) const {
  if (m.extended || m.remote || m.id > 0x7FF) return false;
  const uint32_t group = m.id & 0x1F;
  if (m.id & 0x400) {
    if (group == 6) return parseReply(m).has_value();
    if (Logger::dumpPosition(group) >= 0 && m.length == 4) return true;
    if (group > 1) return false;
  }
  return m.length >= 1 && m.length != 2;
}

int TrafficDecoder::propertyNode(const CanMessage& m) const {
  if (m.id & 0x400) {
    const uint32_t group = m.id & 0x1F;
    return group > 1 ? static_cast<int>((m.id >> 5) & 0x1F) : -1;
  }
  return (m.id & 0x1F) == 0 ? -1 : static_cast<int>(m.id & 0x1F);
}

bool TrafficDecoder::canopenShape(const CanMessage& m) const {
  if (m.extended || m.remote || m.id > 0x7FF) return false;
  const uint32_t node = m.id & 0x7F;
  if (m.id == 0) return m.length == 2;
  if (m.id == 0x080 || m.id == 0x100) return true;
  if (node == 0) return false;
  if (m.id < 0x081) return false;                       // no CANopen service here
  if (m.id < 0x100) return true;                        // EMCY
  if (m.id >= 0x180 && m.id < 0x580) return true;       // PDOs
  if (m.id >= 0x580 && m.id < 0x600) return m.length == 8;
  if (m.id >= 0x600 && m.id < 0x680) return m.length >= 4;
  if (m.id >= 0x700 && m.id < 0x780) return m.length == 1;
  return false;
}

TrafficDecoder::Decoded TrafficDecoder::decodeProperty(const CanMessage& m) {
  Decoded d;
  d.protocol = "property";
  const uint32_t group = m.id & 0x1F;
  const int source = static_cast<int>((m.id >> 5) & 0x1F);
  if ((m.id & 0x400) && group == 6) {
    const auto r = parseReply(m);
    d.kind = "reply";
    d.node = r->node;
    d.text = "reply from node " + std::to_string(r->node) + ": " + named(r->property) + " = " +
             std::to_string(r->value);
    if (r->property == prop::STATUS) d.text += " (" + statusName(r->value) + ")";
    if (r->property == prop::MODE) d.text += " (" + modeName(r->value) + ")";
    mode_[static_cast<size_t>(r->node)] = NodeMode::kProperty;
    return d;
  }
  if ((m.id & Logger::kGroupFlag) && Logger::dumpPosition(group) >= 0) {
    const int pos = Logger::dumpPosition(group);
    d.protocol = "logger";
    d.kind = "word";
    d.node = source;
    d.text = "log word " + std::to_string(pos) + " from node " + std::to_string(source) + ": " +
             std::to_string(static_cast<int32_t>(le32(m, 0)));
    mode_[static_cast<size_t>(source)] = NodeMode::kProperty;
    return d;
  }
  const int k = m.data[0] & 0x7F;
  const std::string to = " -> " + destinationText(m.id) +
                         (source ? " (from " + std::to_string(source) + ")" : "");
  d.node = propertyNode(m);
  if (!(m.data[0] & 0x80)) {
    d.kind = "get";
    d.text = "get " + named(k) + to;
    return d;
  }
  d.kind = "set";
  const int w = setWidth(k);
  const int need = w == 32 ? 6 : 4;
  int32_t v = w == 32 ? static_cast<int32_t>(le32(m, 2))
                      : static_cast<int16_t>(m.data[2] | m.data[3] << 8);
  d.text = "set " + setMeaning(k, v) + to;
  if (m.length < need) d.text += " [short frame: the node reads stale bytes]";
  return d;
}

TrafficDecoder::Decoded TrafficDecoder::decodeCanopen(const CanMessage& m) {
  Decoded d;
  d.protocol = "canopen";
  const int node = static_cast<int>(m.id & 0x7F);
  if (m.id == 0) {
    d.kind = "nmt";
    d.node = m.data[1];
    d.text = "NMT " + nmtCommandName(m.data[0]) + " -> " +
             (m.data[1] ? "node " + std::to_string(m.data[1]) : std::string("all nodes"));
    if (m.data[0] == 0x81) {
      // A reset node brings the node(s) back to the property protocol.
      if (m.data[1]) mode_[m.data[1] & 0x7F] = NodeMode::kProperty;
      else mode_.fill(NodeMode::kProperty);
    }
    return d;
  }
  if (m.id == 0x080) {
    d.kind = "sync";
    d.text = "SYNC";
    return d;
  }
  if (m.id == 0x100) {
    d.kind = "time";
    d.text = "TIME";
    return d;
  }
  d.node = node;
  if (m.id < 0x100) {
    d.kind = "emcy";
    d.text = "EMCY from node " + std::to_string(node) + ": code " +
             hex(static_cast<uint32_t>(m.data[0] | m.data[1] << 8), 4) + ", error register " +
             hex(m.data[2], 2);
    mode_[static_cast<size_t>(node)] = NodeMode::kCanopen;
    return d;
  }
  if (m.id < 0x580) {
    const uint32_t fc = m.id >> 7;  // 3 TPDO1, 4 RPDO1, 5 TPDO2, ... 10 RPDO4
    const bool tx = fc % 2 == 1;
    const uint32_t n = (fc - 3) / 2 + 1;
    d.kind = "pdo";
    d.text = std::string(tx ? "TPDO" : "RPDO") + std::to_string(n) + (tx ? " from" : " to") +
             " node " + std::to_string(node) + ": " + bytesText(m, 0);
    if (tx) mode_[static_cast<size_t>(node)] = NodeMode::kCanopen;
    return d;
  }
  if (m.id < 0x600) {
    d.kind = "sdo";
    mode_[static_cast<size_t>(node)] = NodeMode::kCanopen;
    const uint32_t v = le32(m, 4);
    const std::string who = "SDO from node " + std::to_string(node) + ": " + object(m);
    if (m.data[0] == 0x80) {
      d.text = who + " aborted, " + hex(v, 8) + " " + sdoAbortText(v);
    } else if ((m.data[0] & 0xE0) == 0x40) {
      d.text = who + " = " + hex(v, 8) + " (" + std::to_string(v) + ")" + printable4(v);
    } else if (m.data[0] == 0x60) {
      d.text = who + " written, now " + hex(v, 8);
    } else {
      d.text = who + " command byte " + hex(m.data[0], 2);
    }
    return d;
  }
  if (m.id < 0x680) {
    d.kind = "sdo";
    const std::string to = " -> node " + std::to_string(node);
    const uint8_t cs = m.data[0];
    if (cs == 0x40) {
      d.text = "SDO read " + object(m) + to;
    } else if ((cs & 0xF2) == 0x22) {
      const int n = m.length - 4;
      uint32_t v = 0;
      for (int i = 0; i < n && i < 4; ++i) v |= static_cast<uint32_t>(m.data[4 + i]) << (8 * i);
      d.text = "SDO write " + object(m) + " = " + hex(v, 2 * (n > 0 ? n : 1)) + " (" +
               std::to_string(m.length) + "-byte frame)" + to;
    } else if (cs == 0x80) {
      d.text = "SDO abort sent by the master " + object(m) + ", " + hex(le32(m, 4), 8) + to;
    } else {
      d.text = "SDO request with command byte " + hex(cs, 2) + " " + object(m) + to;
    }
    return d;
  }
  d.kind = "heartbeat";
  d.text = "heartbeat from node " + std::to_string(node) + ": " + heartbeatStateName(m.data[0]);
  mode_[static_cast<size_t>(node)] = NodeMode::kCanopen;
  return d;
}

TrafficDecoder::Decoded TrafficDecoder::decode(const CanMessage& m) {
  if (m.extended || m.remote) {
    return {"unknown", m.remote ? "remote" : "extended", -1,
            m.remote ? "remote frame (neither protocol uses them)"
                     : "extended frame (neither protocol uses them)"};
  }
  if (forced_ == Protocol::kCanopen) {
    if (canopenShape(m)) return decodeCanopen(m);
    return {"unknown", "unknown", -1, "not a CANopen frame this node uses"};
  }
  // Two data bytes: in property mode the switch to CANopen, or the reset frame.
  if (m.length == 2 && forced_ != Protocol::kProperty) {
    const bool flag = m.id & 0x400;
    const uint32_t field = m.id & 0x1F;
    const bool accepted = flag ? field <= 1 : true;
    const int target = (!flag && field != 0) ? static_cast<int>(field) : -1;
    const bool target_canopen = target >= 0 && mode_[static_cast<size_t>(target)] == NodeMode::kCanopen;
    if (accepted && !flag && m.id == field && field != 0 && m.data[0] == 0x5A &&
        m.data[1] == 0xA6 && !target_canopen) {
      mode_[field] = NodeMode::kProperty;
      return {"switch", "reset", target, "reset frame: node " + std::to_string(field) + " restarts"};
    }
    bool any_property = false;
    for (const NodeMode n : mode_) any_property |= n != NodeMode::kCanopen;
    std::string switched;
    if (accepted && !target_canopen && (target >= 0 || any_property)) {
      switched = target >= 0 ? "switches node " + std::to_string(target) + " to CANopen until reset"
                             : "switches every node in property mode to CANopen until reset";
      if (target >= 0) {
        mode_[static_cast<size_t>(target)] = NodeMode::kCanopen;
      } else {
        for (NodeMode& n : mode_) {
          if (n != NodeMode::kCanopen) n = NodeMode::kCanopen;
        }
      }
    }
    if (m.id == 0) {
      Decoded d = decodeCanopen(m);
      if (!switched.empty()) d.text += "; " + switched;
      return d;
    }
    if (!switched.empty()) return {"switch", "switch", target, "two-byte frame: " + switched};
  }
  if (forced_ == Protocol::kProperty) {
    if (propertyShape(m)) return decodeProperty(m);
    return {"unknown", "unknown", -1, "not a property-protocol frame"};
  }
  const bool p = propertyShape(m), c = canopenShape(m);
  if (p && !c) {
    const int pn = propertyNode(m);
    const bool ignored = pn >= 0 && mode_[static_cast<size_t>(pn)] == NodeMode::kCanopen;
    Decoded d = decodeProperty(m);
    if (ignored) d.text += " (ignored: node " + std::to_string(pn) + " speaks CANopen)";
    return d;
  }
  if (c && !p) return decodeCanopen(m);
  if (p && c) {
    const int cn = static_cast<int>(m.id & 0x7F);
    const int pn = propertyNode(m);
    if (mode_[static_cast<size_t>(cn)] == NodeMode::kCanopen) return decodeCanopen(m);
    if (pn >= 0 && mode_[static_cast<size_t>(pn)] == NodeMode::kProperty) return decodeProperty(m);
    const bool answer_shape = (m.id >= 0x580 && m.id < 0x600) || (m.id >= 0x700);
    return answer_shape ? decodeCanopen(m) : decodeProperty(m);
  }
  if (m.id & 0x400) {
    return {"unknown", "unknown", -1,
            "frame to " + destinationText(m.id) + ", which no node listens to"};
  }
  return {"unknown", "unknown", -1, "frame neither protocol explains"};
}

std::string TrafficDecoder::describe(const CanMessage& m) { return decode(m).text; }

std::string TrafficDecoder::describeJson(const CanMessage& m, int64_t micros) {
  const Decoded d = decode(m);
  JsonObject o;
  char t[32];
  std::snprintf(t, sizeof t, "%lld.%06lld", static_cast<long long>(micros / 1000000),
                static_cast<long long>(micros % 1000000));
  o.raw("time", t);
  o.str("frame", frameText(m));
  o.str("protocol", d.protocol);
  o.str("kind", d.kind);
  if (d.node >= 0) o.num("node", d.node);
  o.str("text", d.text);
  return o.text();
}

}  // namespace tavrix::cli
