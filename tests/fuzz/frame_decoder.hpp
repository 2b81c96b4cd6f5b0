// Turns fuzz input bytes into a timed sequence of CAN frames (and an optional header naming a
// second node and a fault), and back, so the seed corpus can be written from readable lists.
//
// Header (optional): present when the first byte has both bits 2 and 3 set, which no frame's
// flags byte has (those bits are unused there), so inputs without it read as before. Four bytes:
//   byte 0: bits 3..2 = 11 (marker); bit 0: a second node is on the bus; bits 7..4: its number,
//           6 + 2 x (bits 7..4) modulo 32 (an even number, never the first node's 5);
//   byte 1: bits 2..0: fault code (0, 7: none; 1 EEPROM absent; 2 EEPROM stuck busy; 3 EEPROM
//           bit flips on read; 4 encoder absent; 5 encoder stuck; 6 power cut with a restart from
//           the EEPROM images); bits 4..3: fault target (0: the first node, 1: the second, 2 and
//           3: both);
//   byte 2: fault start after power-on, in units of 250 us;
//   byte 3: fault duration in units of 250 us; 0: to the end of the run (a power cut has none).
//
// Each frame then takes: one flags byte (bit 0 extended, bit 1 remote, bits 7..4 length code
// 0..15), two identifier bytes (standard, low 11 bits) or four (extended, low 29 bits),
// little-endian, min(length code, 8) data bytes unless remote, and one byte of delay before the
// next frame in units of 10 us. A truncated last frame is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/bus/can_message.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::fuzz {

struct TimedFrame {
  sim::SimTime at_clk;  // after the first frame
  sim::CanMessage message;
};

enum class FaultCode : uint8_t {
  kNone = 0,
  kEepromAbsent = 1,
  kEepromStuck = 2,
  kEepromBitFlips = 3,
  kEncoderAbsent = 4,
  kEncoderStuck = 5,
  kPowerCut = 6,
};

struct InputHeader {
  static constexpr uint8_t kMarker = 0x0C;
  static constexpr size_t kBytes = 4;
  static constexpr sim::SimTime kTimeUnit_clk = sim::fromMicros(250);
  static constexpr int kFirstNode = 5;

  bool secondNode = false;
  int secondNodeId = 6;
  FaultCode fault = FaultCode::kNone;
  uint8_t faultTarget = 0;  // 0 first node, 1 second node, 2 both
  sim::SimTime faultStart_clk = 0;
  sim::SimTime faultDuration_clk = 0;  // 0: to the end
};

struct Input {
  InputHeader header;
  std::vector<TimedFrame> frames;
};

inline bool hasHeader(const uint8_t* data, size_t size) {
  return size >= 1 && (data[0] & InputHeader::kMarker) == InputHeader::kMarker;
}

inline std::vector<TimedFrame> decodeFrames(const uint8_t* data, size_t size) {
  std::vector<TimedFrame> out;
  size_t i = 0;
  sim::SimTime at = 0;
  while (i < size) {
    const uint8_t flags = data[i++];
    sim::CanMessage m;
    m.extended = (flags & 1) != 0;
    m.remote = (flags & 2) != 0;
    m.length = static_cast<uint8_t>(flags >> 4);
    const size_t idBytes = m.extended ? 4 : 2;
    const size_t dataBytes = m.remote ? 0 : (m.length > 8 ? 8 : m.length);
    if (i + idBytes + dataBytes + 1 > size) break;
    uint32_t id = 0;
    for (size_t b = 0; b < idBytes; ++b) id |= static_cast<uint32_t>(data[i + b]) << (8 * b);
    i += idBytes;
    m.id = id & (m.extended ? 0x1FFFFFFFu : 0x7FFu);
    for (size_t b = 0; b < dataBytes; ++b) m.data[b] = data[i + b];
    i += dataBytes;
    out.push_back({at, m});
    at += sim::fromMicros(10 * static_cast<int64_t>(data[i++]));
  }
  return out;
}

// The header (when present, a short one counts as absent) and the frames after it.
inline Input decodeInput(const uint8_t* data, size_t size) {
  Input in;
  if (hasHeader(data, size) && size >= InputHeader::kBytes) {
    InputHeader& h = in.header;
    h.secondNode = (data[0] & 1) != 0;
    h.secondNodeId = (6 + 2 * (data[0] >> 4)) % 32;
    const uint8_t code = data[1] & 7;
    h.fault = code == 7 ? FaultCode::kNone : static_cast<FaultCode>(code);
    const uint8_t target = (data[1] >> 3) & 3;
    h.faultTarget = target >= 2 ? 2 : target;
    h.faultStart_clk = InputHeader::kTimeUnit_clk * data[2];
    h.faultDuration_clk = InputHeader::kTimeUnit_clk * data[3];
    data += InputHeader::kBytes;
    size -= InputHeader::kBytes;
  }
  in.frames = decodeFrames(data, size);
  return in;
}

inline void encodeHeader(std::vector<uint8_t>& out, const InputHeader& h) {
  const int sel = ((h.secondNodeId - 6 + 32) % 32) / 2;
  out.push_back(static_cast<uint8_t>(InputHeader::kMarker | (h.secondNode ? 1 : 0) | sel << 4));
  out.push_back(static_cast<uint8_t>(static_cast<uint8_t>(h.fault) | h.faultTarget << 3));
  out.push_back(static_cast<uint8_t>(h.faultStart_clk / InputHeader::kTimeUnit_clk));
  out.push_back(static_cast<uint8_t>(h.faultDuration_clk / InputHeader::kTimeUnit_clk));
}

inline void encodeFrame(std::vector<uint8_t>& out, const sim::CanMessage& m, uint8_t gap_10us) {
  out.push_back(static_cast<uint8_t>((m.extended ? 1 : 0) | (m.remote ? 2 : 0) | (m.length << 4)));
  const size_t idBytes = m.extended ? 4 : 2;
  for (size_t b = 0; b < idBytes; ++b) out.push_back(static_cast<uint8_t>(m.id >> (8 * b)));
  for (size_t b = 0; b < m.dataBytes(); ++b) out.push_back(m.data[b]);
  out.push_back(gap_10us);
}

}  // namespace tavrix::fuzz
