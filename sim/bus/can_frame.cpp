#include "sim/bus/can_frame.hpp"

namespace tavrix::sim {
namespace {

void putBits(std::vector<uint8_t>& bits, uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) bits.push_back(static_cast<uint8_t>((value >> i) & 1u));
}

}  // namespace

std::vector<uint8_t> canFrameHeadBits(const CanMessage& m) {
  std::vector<uint8_t> bits;
  bits.reserve(54 + 64);
  const uint32_t rtr = m.remote ? 1 : 0;
  bits.push_back(0);  // start of frame
  if (m.extended) {
    putBits(bits, m.id >> 18, 11);
    bits.push_back(1);  // SRR, recessive
    bits.push_back(1);  // IDE
    putBits(bits, m.id & 0x3FFFFu, 18);
    bits.push_back(static_cast<uint8_t>(rtr));
    bits.push_back(0);  // r1
    bits.push_back(0);  // r0
  } else {
    putBits(bits, m.id, 11);
    bits.push_back(static_cast<uint8_t>(rtr));
    bits.push_back(0);  // IDE
    bits.push_back(0);  // r0
  }
  putBits(bits, m.length & 0xFu, 4);
  for (uint8_t i = 0; i < m.dataBytes(); ++i) putBits(bits, m.data[i], 8);
  return bits;
}

uint16_t canCrc15(const std::vector<uint8_t>& bits) {
  uint16_t crc = 0;
  for (const uint8_t bit : bits) {
    const bool next = (bit != 0) != (((crc >> 14) & 1u) != 0);
    crc = static_cast<uint16_t>((crc << 1) & 0x7FFFu);
    if (next) crc ^= 0x4599u;
  }
  return crc;
}

std::vector<uint8_t> canStuffedBits(const CanMessage& m) {
  std::vector<uint8_t> raw = canFrameHeadBits(m);
  putBits(raw, canCrc15(raw), 15);
  std::vector<uint8_t> out;
  out.reserve(raw.size() + raw.size() / 4 + 1);
  uint8_t last = 2;  // no previous bit
  int run = 0;
  for (const uint8_t bit : raw) {
    out.push_back(bit);
    run = (bit == last) ? run + 1 : 1;
    last = bit;
    if (run == 5) {
      // The stuff bit starts the next run.
      last = static_cast<uint8_t>(bit ^ 1u);
      out.push_back(last);
      run = 1;
    }
  }
  return out;
}

uint32_t canFrameBitCount(const CanMessage& m) {
  return static_cast<uint32_t>(canStuffedBits(m).size()) + kCanUnstuffedTailBits;
}

uint32_t canArbitrationKey(const CanMessage& m) {
  const uint32_t rtr = m.remote ? 1 : 0;
  if (!m.extended) return ((m.id & 0x7FFu) << 21) | (rtr << 20);
  return (((m.id >> 18) & 0x7FFu) << 21) | (1u << 20) | (1u << 19) | ((m.id & 0x3FFFFu) << 1) | rtr;
}

bool canMessageValid(const CanMessage& m) {
  const uint32_t limit = m.extended ? kCanExtendedIdLimit : kCanStandardIdLimit;
  return m.id < limit && m.length <= 15;
}

}  // namespace tavrix::sim
