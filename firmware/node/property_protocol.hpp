// Property protocol: gets and sets of the property table over CAN, addressed by node or group.
//
// Request byte 0 is the property number k (get) or 0x80 | k (set); a set carries its value in
// bytes 2..3 (or 2..5 for a 32-bit property), little-endian. Only gets are answered, in place, in
// the received frame: identifier 0x400 | (node << 5) | 6, byte 0 = 0x80 | k, byte 1 = 0, the value
// in bytes 2..3 (Length 4) or 2..5 (Length 6). A few numbers run commands or return live values.
//
// Runs in the main loop only; it is re-entered through commands that wait (homing, measurements),
// whose waiting loops keep dispatching frames.
#pragma once

#include <cstdint>

#include "firmware/platform/types.hpp"

namespace tavrix {

class Node;

class PropertyProtocol {
 public:
  // Reply identifier: group flag, source = own node number, group 6.
  static constexpr uint32_t kReplyGroup = 6;
  // Actions of ACTION (29) and CALIBRATE (33).
  static constexpr uint8_t kActionHome = 13;
  static constexpr uint8_t kActionEepromTest = 24;
  static constexpr uint8_t kActionHaltAndEepromTest = 25;
  static constexpr uint8_t kCalibrateOffset = 61;
  static constexpr uint8_t kCalibrateCurrentZero = 62;
  static constexpr int32_t kEepromTestBytes = 1024;
  static constexpr uint32_t kSetCurrentDelay_ticks = 15;
  static constexpr uint32_t kWriteOffsetDelay_ticks = 5000;
  static constexpr int32_t kStatsSamples = 25;

  explicit PropertyProtocol(Node& node) : node_(node) {}

  // Context: main loop.
  // Handles one frame in place. Returns 0; bit 7 of Data[0] then tells whether the frame is now a
  // reply to send (set) or is to be dropped (clear).
  int32_t parseTavrixCAN(platform::LDD_CAN_TFrame* Frame);

  // Context: main loop (software-timer callback, 15 ticks after a set of STEP_CURRENT).
  // Copies STEP_CURRENT into TORQUE.
  void parseSetCurrent();

  // The identifier every reply carries.
  uint32_t replyId() const;

 private:
  // Context: main loop. The 16-bit answer of a get of a 16-bit number.
  int16_t get16(int32_t k) const;
  // Context: main loop.
  void set(int32_t k, const uint8_t* data);
  // Context: main loop. Save (write) or load (read) property n with the 4/2-byte rule.
  void save(int16_t n);
  void load(int16_t n);

  Node& node_;
};

namespace callbacks {
// Software-timer callback: PropertyProtocol::parseSetCurrent of the node.
void parseSetCurrent(Node& node);
}  // namespace callbacks

}  // namespace tavrix
