// A node on the fake platform switched to CANopen, with a small SDO/NMT/SYNC client (host only).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "firmware/canopen/canopen.hpp"
#include "firmware/node/testing/node_harness.hpp"

namespace tavrix::testing {

inline constexpr uint8_t kNode = 5;
inline constexpr uint32_t kNoAnswer = 0xDEADDEAD;  // read/write: the node sent no single answer

// Byte size an SDO download to an object of this size code must carry.
inline uint8_t downloadLength(uint8_t sizeCode) {
  return sizeCode == canopen::SIZE_U8 ? 5 : sizeCode == canopen::SIZE_U16 ? 6 : 8;
}

class CanOpenHarness {
 public:
  CanOpenHarness() { h.node.property[prop::NODE_ID] = kNode; }

  // Writes the program image of every persistent row into its EEPROM slot, as a "save" right
  // after the first start would (a blank memory holds 0xFF everywhere).
  void storeImage() {
    int k = 0;
    for (const canopen::OdRow& r : canopen::kObjectDictionary) {
      if (!canopen::isPersistent(r) || r.idx == 0) continue;
      put32(static_cast<uint16_t>(canopen::kStoreAddress + 4 * k++), r.initial);
    }
  }
  void put32(uint16_t address, uint32_t v) {
    for (int b = 0; b < 4; ++b) h.fake.eeprom.mem[address + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  uint32_t get32(uint16_t address) const {
    uint32_t v = 0;
    for (int b = 3; b >= 0; --b) v = v << 8 | h.fake.eeprom.mem[address + b];
    return v;
  }

  // The switch to CANopen with an NMT frame (handled as the first CANopen frame); returns what
  // the node sent meanwhile.
  std::vector<CanFrame> start(std::initializer_list<uint8_t> nmt = {0x01, kNode}) {
    return h.handle(dataFrame(0x000, nmt));
  }
  std::vector<CanFrame> nmt(uint8_t command, uint8_t target) {
    return h.handle(dataFrame(0x000, {command, target}));
  }
  std::vector<CanFrame> frame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    return h.handle(dataFrame(id, bytes));
  }
  std::vector<CanFrame> sync() { return h.handle(dataFrame(0x080, {})); }

  // A raw SDO request of `length` bytes: cs, index, sub-index, data.
  std::vector<CanFrame> sdo(uint8_t cs, uint16_t idx, uint8_t sub, uint32_t data, uint8_t length) {
    CanFrame f;
    f.id = 0x600u + kNode;
    f.length = length;
    f.data = {cs,
              static_cast<uint8_t>(idx & 0xFF),
              static_cast<uint8_t>(idx >> 8),
              sub,
              static_cast<uint8_t>(data),
              static_cast<uint8_t>(data >> 8),
              static_cast<uint8_t>(data >> 16),
              static_cast<uint8_t>(data >> 24)};
    return h.handle(f);
  }

  static uint32_t payload(const CanFrame& f) {
    return static_cast<uint32_t>(f.data[4] | f.data[5] << 8 | f.data[6] << 16) |
           static_cast<uint32_t>(f.data[7]) << 24;
  }

  // Upload: the value, or the abort code with bit 0 of `*aborted` set; kNoAnswer when the node
  // did not answer with exactly one frame.
  uint32_t read(uint16_t idx, uint8_t sub, bool* aborted = nullptr) {
    const auto replies = sdo(0x40, idx, sub, 0, 8);
    if (replies.size() != 1 || replies[0].id != 0x580u + kNode || replies[0].length != 8) {
      return kNoAnswer;
    }
    if (aborted != nullptr) *aborted = replies[0].data[0] == 0x80;
    return payload(replies[0]);
  }
  // Download with the exact length of the object's size code: 0 when acknowledged, else the
  // abort code (kNoAnswer: no single answer).
  uint32_t write(uint16_t idx, uint8_t sub, uint32_t value) {
    const int32_t row = h.node.canopen.parseFindEntry(idx, sub);
    const uint8_t length =
        row < 0 ? 8 : downloadLength(h.node.canopen.co_data[row].bits & canopen::BITS_SIZE_MASK);
    return writeLength(idx, sub, value, length);
  }
  uint32_t writeLength(uint16_t idx, uint8_t sub, uint32_t value, uint8_t length) {
    const auto replies = sdo(0x22, idx, sub, value, length);
    if (replies.size() != 1 || replies[0].id != 0x580u + kNode) return kNoAnswer;
    return replies[0].data[0] == 0x60 ? 0 : payload(replies[0]);
  }

  co_data_struct& row(uint16_t idx, uint8_t sub) {
    const int32_t r = h.node.canopen.parseFindEntry(idx, sub);
    EXPECT_GE(r, 0) << std::hex << idx << " sub " << int(sub);
    return h.node.canopen.co_data[r < 0 ? 0 : r];
  }

  NodeHarness h;
};

}  // namespace tavrix::testing
