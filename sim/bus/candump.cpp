#include "sim/bus/candump.hpp"

#include <limits>
#include <stdexcept>
#include <utility>

namespace tavrix::sim {
namespace {

constexpr uint32_t kStandardIdMax = 0x7FF;
constexpr uint32_t kExtendedIdMax = 0x1FFFFFFF;
constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendHex(std::string& out, uint32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out += kHexDigits[(value >> shift) & 0xF];
}

void appendDecimal(std::string& out, int64_t value, size_t min_digits) {
  const std::string digits = std::to_string(value);
  if (digits.size() < min_digits) out.append(min_digits - digits.size(), '0');
  out += digits;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<uint32_t> parseHex(std::string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    const int d = hexValue(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits off the next blank-separated token of `s`.
std::string_view nextToken(std::string_view& s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  size_t n = 0;
  while (n < s.size() && !isBlank(s[n])) ++n;
  const std::string_view token = s.substr(0, n);
  s.remove_prefix(n);
  return token;
}

// `(SECONDS.FRACTION)` -> microseconds.
std::optional<int64_t> parseTimestamp(std::string_view t) {
  if (t.size() < 4 || t.front() != '(' || t.back() != ')') return std::nullopt;
  t = t.substr(1, t.size() - 2);
  const size_t dot = t.find('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view sec = t.substr(0, dot);
  const std::string_view frac = t.substr(dot + 1);
  if (frac.empty() || frac.size() > 6) return std::nullopt;
  constexpr int64_t kMaxSeconds =
      (std::numeric_limits<int64_t>::max() - (kMicrosPerSecond - 1)) / kMicrosPerSecond;
  int64_t seconds = 0;
  for (char c : sec) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
    if (seconds > kMaxSeconds) return std::nullopt;
  }
  int64_t micros = 0;
  for (size_t i = 0; i < 6; ++i) {
    int digit = 0;
    if (i < frac.size()) {
      if (frac[i] < '0' || frac[i] > '9') return std::nullopt;
      digit = frac[i] - '0';
    }
    micros = micros * 10 + digit;
  }
  return seconds * kMicrosPerSecond + micros;
}

// A length code above 8 written as `_X` after 8 bytes (or after `R8`).
std::optional<uint8_t> parseRawLengthCode(std::string_view s) {
  if (s.size() != 2 || s[0] != '_') return std::nullopt;
  const int code = hexValue(s[1]);
  if (code <= 8) return std::nullopt;
  return static_cast<uint8_t>(code);
}

// `ID#DATA`, `ID#R`, `ID#Rn`, `ID#R8_X`, `ID#DATA_X`.
std::optional<CanMessage> parseFrame(std::string_view f) {
  const size_t hash = f.find('#');
  if (hash == std::string_view::npos) return std::nullopt;
  const std::string_view id_text = f.substr(0, hash);
  std::string_view payload = f.substr(hash + 1);
  CanMessage m;
  const std::optional<uint32_t> id = parseHex(id_text);
  if (!id) return std::nullopt;
  if (id_text.size() == 3 && *id <= kStandardIdMax) {
    m.extended = false;
  } else if (id_text.size() == 8 && *id <= kExtendedIdMax) {
    m.extended = true;
  } else {
    return std::nullopt;
  }
  m.id = *id;
  if (!payload.empty() && (payload[0] == 'R' || payload[0] == 'r')) {
    m.remote = true;
    payload.remove_prefix(1);
    if (payload.empty()) return m;
    const int code = hexValue(payload[0]);
    if (code < 0 || code > 8) return std::nullopt;
    m.length = static_cast<uint8_t>(code);
    payload.remove_prefix(1);
    if (payload.empty()) return m;
    const std::optional<uint8_t> raw = code == 8 ? parseRawLengthCode(payload) : std::nullopt;
    if (!raw) return std::nullopt;
    m.length = *raw;
    return m;
  }
  const size_t underscore = payload.find('_');
  const std::string_view hex = payload.substr(0, underscore);
  if (hex.size() % 2 != 0 || hex.size() > 16) return std::nullopt;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = hexValue(hex[i]);
    const int lo = hexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    m.data[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
  }
  m.length = static_cast<uint8_t>(hex.size() / 2);
  if (underscore != std::string_view::npos) {
    const std::optional<uint8_t> raw =
        m.length == 8 ? parseRawLengthCode(payload.substr(underscore)) : std::nullopt;
    if (!raw) return std::nullopt;
    m.length = *raw;
  }
  return m;
}

}  // namespace

std::string formatCandumpLine(int64_t micros, const CanMessage& m, std::string_view iface) {
  if (micros < 0) throw std::invalid_argument("candump time before zero");
  if (m.id > (m.extended ? kExtendedIdMax : kStandardIdMax)) {
    throw std::invalid_argument("CAN identifier too wide for its kind");
  }
  if (m.length > 15) throw std::invalid_argument("CAN length code above 15");
  if (iface.empty()) throw std::invalid_argument("empty CAN interface name");
  for (char c : iface) {
    if (isBlank(c)) throw std::invalid_argument("blank in CAN interface name");
  }

  std::string out;
  out.reserve(48 + iface.size());
  out += '(';
  appendDecimal(out, micros / kMicrosPerSecond, 10);
  out += '.';
  appendDecimal(out, micros % kMicrosPerSecond, 6);
  out += ") ";
  out += iface;
  out += ' ';
  appendHex(out, m.id, m.extended ? 8 : 3);
  out += '#';
  if (m.remote) {
    out += 'R';
    if (m.length > 8) {
      out += "8_";
      out += kHexDigits[m.length];
    } else if (m.length != 0) {
      out += kHexDigits[m.length];
    }
    return out;
  }
  for (uint8_t i = 0; i < m.dataBytes(); ++i) appendHex(out, m.data[i], 2);
  if (m.length > 8) {
    out += '_';
    out += kHexDigits[m.length];
  }
  return out;
}

std::optional<CandumpLine> parseCandumpLine(std::string_view line) {
  std::string_view rest = trim(line);
  const std::string_view time_text = nextToken(rest);
  const std::string_view iface = nextToken(rest);
  const std::string_view frame_text = nextToken(rest);
  const std::string_view direction = nextToken(rest);
  if (!trim(rest).empty()) return std::nullopt;
  if (!direction.empty() && direction != "R" && direction != "T" && direction != "r" &&
      direction != "t") {
    return std::nullopt;
  }
  if (iface.empty() || frame_text.empty()) return std::nullopt;
  const std::optional<int64_t> micros = parseTimestamp(time_text);
  if (!micros) return std::nullopt;
  const std::optional<CanMessage> message = parseFrame(frame_text);
  if (!message) return std::nullopt;
  return CandumpLine{*micros, std::string(iface), *message};
}

std::string candumpLineError(std::string_view line) {
  std::string_view rest = trim(line);
  const std::string_view time_text = nextToken(rest);
  const std::string_view iface = nextToken(rest);
  const std::string_view frame_text = nextToken(rest);
  const std::string_view direction = nextToken(rest);
  if (!trim(rest).empty()) return "unexpected text after the frame";
  if (time_text.empty()) return "empty line";
  if (!parseTimestamp(time_text)) {
    return "timestamp '" + std::string(time_text) +
           "' is not (SECONDS.FRACTION) with 1 to 6 digits of fraction";
  }
  if (iface.empty()) return "no interface name after the timestamp";
  if (frame_text.empty()) return "no frame after the interface name";
  if (!direction.empty() && direction != "R" && direction != "T" && direction != "r" &&
      direction != "t") {
    return "'" + std::string(direction) + "' after the frame is not a direction (R or T)";
  }
  const size_t hash = frame_text.find('#');
  if (hash == std::string_view::npos) return "frame '" + std::string(frame_text) + "' has no '#'";
  const std::string_view id_text = frame_text.substr(0, hash);
  const std::optional<uint32_t> id = parseHex(id_text);
  if (!id || (id_text.size() != 3 && id_text.size() != 8) ||
      (id_text.size() == 3 && *id > kStandardIdMax) ||
      (id_text.size() == 8 && *id > kExtendedIdMax)) {
    return "identifier '" + std::string(id_text) +
           "' is neither 3 hex digits up to 7FF nor 8 up to 1FFFFFFF";
  }
  if (frame_text.substr(hash + 1).starts_with("#")) return "CAN FD frames are not carried";
  if (!parseFrame(frame_text)) {
    return "data '" + std::string(frame_text.substr(hash + 1)) +
           "' is not up to 8 bytes of hex digit pairs (or R for a remote frame)";
  }
  return {};
}

CandumpScript readCandumpScript(std::istream& in) {
  CandumpScript script;
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string_view text = trim(line);
    if (text.empty() || text.front() == '#') continue;
    std::optional<CandumpLine> parsed = parseCandumpLine(text);
    if (!parsed) {
      script.error_line = number;
      break;
    }
    script.lines.push_back(std::move(*parsed));
  }
  return script;
}

}  // namespace tavrix::sim
