#include "tools/tavrix/canopen.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>

#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {

namespace {

struct AbortText {
  uint32_t code;
  const char* text;
};
// The common abort codes of CiA 301.
constexpr AbortText kAborts[] = {
    {0x05030000, "toggle bit not alternated"},
    {0x05040000, "SDO protocol timed out"},
    {0x05040001, "client/server command specifier not valid or unknown"},
    {0x05040002, "invalid block size (this node: data length does not match the object's size)"},
    {0x05040003, "invalid sequence number"},
    {0x05040004, "CRC error"},
    {0x05040005, "out of memory"},
    {0x06010000, "unsupported access to an object"},
    {0x06010001, "attempt to read a write-only object"},
    {0x06010002, "attempt to write a read-only object"},
    {0x06020000, "object does not exist in the object dictionary"},
    {0x06040041, "object cannot be mapped to the PDO"},
    {0x06040042, "number and length of the objects to be mapped would exceed the PDO length"},
    {0x06040043, "general parameter incompatibility"},
    {0x06040047, "general internal incompatibility in the device"},
    {0x06060000, "access failed due to a hardware error"},
    {0x06070010, "data type does not match, length of service parameter does not match"},
    {0x06070012, "data type does not match, length of service parameter too high"},
    {0x06070013, "data type does not match, length of service parameter too low"},
    {0x06090011, "sub-index does not exist"},
    {0x06090030, "invalid value for parameter"},
    {0x06090031, "value of parameter written too high"},
    {0x06090032, "value of parameter written too low"},
    {0x06090036, "maximum value is less than minimum value"},
    {0x060A0023, "resource not available: SDO connection"},
    {0x08000000, "general error"},
    {0x08000020, "data cannot be transferred or stored to the application"},
    {0x08000021, "data cannot be transferred or stored because of local control"},
    {0x08000022, "data cannot be transferred or stored because of the present device state"},
    {0x08000023, "object dictionary dynamic generation fails or no object dictionary is present"},
    {0x08000024, "no data available"},
};

std::string hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}
std::string hex4(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%04X", v);
  return b;
}

}  // namespace

std::string sdoAbortText(uint32_t code) {
  for (const AbortText& a : kAborts) {
    if (a.code == code) return a.text;
  }
  return "unknown abort code";
}

std::optional<uint8_t> parseNmtCommand(std::string_view t) {
  if (t == "start") return 0x01;
  if (t == "stop") return 0x02;
  if (t == "preop") return 0x80;
  if (t == "reset-node") return 0x81;
  if (t == "reset-comm") return 0x82;
  return std::nullopt;
}

std::string nmtCommandName(uint8_t c) {
  switch (c) {
    case 0x01: return "start";
    case 0x02: return "stop";
    case 0x80: return "preop";
    case 0x81: return "reset-node";
    case 0x82: return "reset-comm";
    default: return "command " + hex4(c).substr(4);
  }
}

std::string heartbeatStateName(uint8_t s) {
  switch (s) {
    case 0: return "boot-up";
    case 4: return "stopped";
    case 5: return "operational";
    case 127: return "pre-operational";
    default: return "state " + std::to_string(s);
  }
}

std::optional<SdoType> parseSdoType(std::string_view t) {
  if (t == "u8") return SdoType::kU8;
  if (t == "i8") return SdoType::kI8;
  if (t == "u16") return SdoType::kU16;
  if (t == "i16") return SdoType::kI16;
  if (t == "u32") return SdoType::kU32;
  if (t == "i32") return SdoType::kI32;
  if (t == "str4") return SdoType::kStr4;
  return std::nullopt;
}

int sdoTypeSize(SdoType t) {
  switch (t) {
    case SdoType::kU8: case SdoType::kI8: return 1;
    case SdoType::kU16: case SdoType::kI16: return 2;
    default: return 4;
  }
}

std::string sdoTypeName(SdoType t) {
  constexpr const char* names[] = {"u8", "i8", "u16", "i16", "u32", "i32", "str4"};
  return names[static_cast<int>(t)];
}

std::string formatSdoValue(SdoType t, uint32_t raw) {
  switch (t) {
    case SdoType::kU8: return std::to_string(raw & 0xFF);
    case SdoType::kI8: return std::to_string(static_cast<int8_t>(raw & 0xFF));
    case SdoType::kU16: return std::to_string(raw & 0xFFFF);
    case SdoType::kI16: return std::to_string(static_cast<int16_t>(raw & 0xFFFF));
    case SdoType::kU32: return std::to_string(raw);
    case SdoType::kI32: return std::to_string(static_cast<int32_t>(raw));
    case SdoType::kStr4: {
      std::string s;
      for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(raw >> (8 * i));
        if (c == 0) break;
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
      }
      return "\"" + s + "\"";
    }
  }
  return "";
}

uint32_t parseSdoValue(SdoType t, std::string_view text) {
  const auto bad = [&](const std::string& range) {
    return Failure(Exit::kUsage, "value " + std::string(text) + " does not fit type " +
                                     sdoTypeName(t) + " (" + range + ")");
  };
  if (t == SdoType::kStr4) {
    if (text.size() > 4) throw bad("at most four characters");
    uint32_t v = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      v |= static_cast<uint32_t>(static_cast<uint8_t>(text[i])) << (8 * i);
    }
    return v;
  }
  int64_t v = 0;
  std::string_view s = text;
  bool neg = false;
  if (s.starts_with('-')) {
    neg = true;
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.starts_with("0x") || s.starts_with("0X")) {
    base = 16;
    s.remove_prefix(2);
  }
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (s.empty() || ec != std::errc() || p != s.data() + s.size()) throw bad("not a number");
  if (neg) v = -v;
  int64_t lo = 0, hi = 0;
  switch (t) {
    case SdoType::kU8: lo = 0; hi = 0xFF; break;
    case SdoType::kI8: lo = -128; hi = 127; break;
    case SdoType::kU16: lo = 0; hi = 0xFFFF; break;
    case SdoType::kI16: lo = -32768; hi = 32767; break;
    case SdoType::kU32: lo = 0; hi = 0xFFFFFFFF; break;
    case SdoType::kI32: lo = INT32_MIN; hi = INT32_MAX; break;
    case SdoType::kStr4: break;
  }
  if (v < lo || v > hi) throw bad(std::to_string(lo) + ".." + std::to_string(hi));
  const uint32_t mask = sdoTypeSize(t) == 4 ? 0xFFFFFFFFu : (1u << (8 * sdoTypeSize(t))) - 1;
  return static_cast<uint32_t>(v) & mask;
}

std::optional<SdoType> edsType(const std::string& path, uint16_t index, uint8_t sub) {
  std::ifstream in(path);
  if (!in) throw Failure(Exit::kUsage, "cannot read EDS file " + path);
  char want_sub[32], want_var[16];
  std::snprintf(want_sub, sizeof want_sub, "[%04Xsub%X]", index, sub);
  std::snprintf(want_var, sizeof want_var, "[%04X]", index);
  const auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  const std::string ws = upper(want_sub), wv = upper(want_var);
  std::string line, section;
  std::optional<uint32_t> sub_type, var_type;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.starts_with('[')) {
      section = upper(line);
      continue;
    }
    if (section != ws && section != wv) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos || upper(line.substr(0, eq)) != "DATATYPE") continue;
    const std::string v = line.substr(eq + 1);
    const uint32_t dt = static_cast<uint32_t>(std::stoul(v, nullptr, 0));
    (section == ws ? sub_type : var_type) = dt;
  }
  const auto dt = sub_type ? sub_type : (sub == 0 ? var_type : std::nullopt);
  if (!dt) return std::nullopt;
  switch (*dt) {
    case 0x0001: case 0x0005: return SdoType::kU8;
    case 0x0002: return SdoType::kI8;
    case 0x0003: return SdoType::kI16;
    case 0x0006: return SdoType::kU16;
    case 0x0004: return SdoType::kI32;
    case 0x0007: return SdoType::kU32;
    case 0x0009: return SdoType::kStr4;
    default: return SdoType::kU32;
  }
}

CanMessage sdoUploadRequest(int node, uint16_t index, uint8_t sub) {
  CanMessage m;
  m.id = 0x600u + static_cast<uint32_t>(node);
  m.length = 8;
  m.data = {0x40, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), sub, 0, 0, 0, 0};
  return m;
}

CanMessage sdoDownloadRequest(int node, uint16_t index, uint8_t sub, SdoType t, uint32_t value,
                              bool dlc8) {
  const int size = sdoTypeSize(t);
  CanMessage m;
  m.id = 0x600u + static_cast<uint32_t>(node);
  m.length = static_cast<uint8_t>(dlc8 ? 8 : 4 + size);
  // Expedited, size indicated, n = number of unused bytes.
  m.data[0] = static_cast<uint8_t>(0x23 | ((4 - size) << 2));
  m.data[1] = static_cast<uint8_t>(index);
  m.data[2] = static_cast<uint8_t>(index >> 8);
  m.data[3] = sub;
  for (int i = 0; i < size; ++i) m.data[4 + i] = static_cast<uint8_t>(value >> (8 * i));
  return m;
}

CanMessage nmtFrame(uint8_t command, int node) {
  CanMessage m;
  m.id = 0;
  m.length = 2;
  m.data[0] = command;
  m.data[1] = static_cast<uint8_t>(node);
  return m;
}

namespace {
constexpr std::chrono::milliseconds kStoreTimeout{10000};
}  // namespace

uint32_t CanopenClient::transfer(int node, const CanMessage& request, uint8_t expect,
                                 const char* what) {
  const uint16_t index = static_cast<uint16_t>(request.data[1] | request.data[2] << 8);
  const uint8_t sub = request.data[3];
  const std::string object = hex4(index) + " sub " + std::to_string(sub);
  bus_.send(request);
  // A store (0x1010) answers only after every persistent row has been written to the EEPROM.
  const bool store = index == 0x1010 && expect == 0x60;
  const auto deadline = Clock::now() + (store ? std::max(timeout_, kStoreTimeout) : timeout_);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const auto r = bus_.receive(left);
    if (!r) break;
    const CanMessage& m = r->message;
    if (m.extended || m.id != 0x580u + static_cast<uint32_t>(node)) continue;
    if (m.length < 8) {
      throw Failure(Exit::kProtocol, "node " + std::to_string(node) + " answered the SDO " +
                                         what + " of " + object + " with a " +
                                         std::to_string(m.length) + "-byte frame");
    }
    const uint32_t word = static_cast<uint32_t>(m.data[4]) | m.data[5] << 8 | m.data[6] << 16 |
                          static_cast<uint32_t>(m.data[7]) << 24;
    const uint16_t ridx = static_cast<uint16_t>(m.data[1] | m.data[2] << 8);
    if (m.data[0] == 0x80) {
      // An abort is final: the standard leaves it unconfirmed, so nothing is sent back.
      throw Failure(Exit::kSdoAbort, "node " + std::to_string(node) + " aborted the SDO " +
                                         what + " of " + object + ": " + hex8(word) + " " +
                                         sdoAbortText(word));
    }
    if (ridx != index || m.data[3] != sub) continue;  // the answer to another transfer
    const bool ok = expect == 0x40 ? (m.data[0] & 0xE0) == 0x40 : m.data[0] == 0x60;
    if (!ok) {
      throw Failure(Exit::kProtocol,
                    "node " + std::to_string(node) + " answered the SDO " + what + " of " +
                        object + " with command byte " + hex4(m.data[0]).substr(4) +
                        " (segmented transfers are not supported by this tool)");
    }
    return word;
  }
  throw Failure(Exit::kTimeout,
                "node " + std::to_string(node) + " did not answer the SDO " + what + " of " +
                    object + " within " + std::to_string(timeout_.count()) + " ms on " +
                    bus_.describe() + ": is it in CANopen mode (`tavrix -n " +
                    std::to_string(node) + " canopen enter`) and not stopped (`tavrix -n " +
                    std::to_string(node) + " canopen nmt preop`)?");
}

uint32_t CanopenClient::read(int node, uint16_t index, uint8_t sub) {
  return transfer(node, sdoUploadRequest(node, index, sub), 0x40, "read");
}

uint32_t CanopenClient::write(int node, uint16_t index, uint8_t sub, SdoType t, uint32_t value,
                              bool dlc8) {
  return transfer(node, sdoDownloadRequest(node, index, sub, t, value, dlc8), 0x60, "write");
}

}  // namespace tavrix::cli
