// Turns fuzz input bytes into a timed sequence of CAN frames, and back, so the seed corpus can be
// written from readable frame lists.
//
// Each frame takes: one flags byte (bit 0 extended, bit 1 remote, bits 7..4 length code 0..15),
// two identifier bytes (standard, low 11 bits) or four (extended, low 29 bits), little-endian,
// min(length code, 8) data bytes unless remote, and one byte of delay before the next frame in
// units of 10 us. A truncated last frame is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/bus/can_message.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::fuzz {

struct TimedFrame {
  sim::SimTime at_clk;
  sim::CanMessage message;
};

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

inline void encodeFrame(std::vector<uint8_t>& out, const sim::CanMessage& m, uint8_t gap_10us) {
  out.push_back(static_cast<uint8_t>((m.extended ? 1 : 0) | (m.remote ? 2 : 0) | (m.length << 4)));
  const size_t idBytes = m.extended ? 4 : 2;
  for (size_t b = 0; b < idBytes; ++b) out.push_back(static_cast<uint8_t>(m.id >> (8 * b)));
  for (size_t b = 0; b < m.dataBytes(); ++b) out.push_back(m.data[b]);
  out.push_back(gap_10us);
}

}  // namespace tavrix::fuzz
