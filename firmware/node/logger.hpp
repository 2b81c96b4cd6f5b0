// Data logger: records the current loop's inner signals once per control cycle into a RAM buffer
// and afterwards sends the buffer over CAN, one 32-bit word per frame.
//
// STEP_CURRENT (property[37]) steers it: above 2 the control interrupt appends one 18-word record
// per control cycle (logRecord) until the buffer is full; at 2 the software timer sends one word
// every second tick (logDump) until all recorded words have left; anything else is idle.
//
// The buffer is not part of the Node. Its owner hands it to the node at construction: on the chip
// it is one static array in a section of its own at the start of the upper RAM, apart from all
// other data; on the host each node of a twin holds its own, so nodes in one process never share a
// record.
#pragma once

#include <cstdint>

#include "firmware/math/arith.hpp"
#include "firmware/platform/types.hpp"

namespace tavrix {

class Node;

// Words of one record and of the whole buffer: 834 records of 18 words.
inline constexpr int16_t kLogWordsPerRecord = 18;
inline constexpr int16_t kLogRecords = 834;
inline constexpr int16_t kLogBufferWords = kLogRecords * kLogWordsPerRecord;  // 15 012

// The storage of one node's log.
struct LogBuffer {
  int32_t word[kLogBufferWords];
};

class Logger {
 public:
  // STEP_CURRENT: above this the logger records, at it the logger dumps.
  static constexpr int16_t kDump = 2;
  // Identifier of a dump frame: the group flag, the node number in the five-bit source field
  // (bits 5..9) and the word's record position in the five-bit group field (bits 0..4).
  static constexpr uint32_t kGroupFlag = 0x400;
  static constexpr uint32_t kSourceShift = 5;
  static constexpr uint32_t kFieldMask = 0x1F;
  // Group field of a dump frame for positions 0..15 of a record: 16 + position. Positions 16 and
  // 17 would carry into the source field; they use groups 14 and 15, which no node listens to.
  static constexpr uint32_t kGroupFirstWords = 16;
  static constexpr uint32_t kGroupLastTwoWords = 14;
  static constexpr int16_t kFirstWordsCount = 16;

  Logger(Node& node, LogBuffer& buffer);
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Context: ISR, level 5 (PWM period), at the end of the motion-loop work of the control cycle.
  // Appends one record of the drive's current-loop signals while recording. (A template only so
  // that it is compiled where the control interrupt calls it, with the drive complete.)
  template <class N = Node>
  void logRecord() {
    const auto& drive = static_cast<N&>(node_).drive;
    recordSignals(drive.foc, drive.motor.velocity, drive.patterns.useEstimate);
  }

  // Context: ISR, level 5 (PWM period).
  // Appends one record while recording: the current control's signals and observer states from
  // `foc`, the raw velocity and the untrusted-samples flag. A record that no longer fits ends the
  // recording instead (STEP_CURRENT = 0). No calls, 18 stores.
  template <class Foc>
  void recordSignals(const Foc& foc, int32_t velocity, int16_t useEstimate) {
    if (control_ <= kDump) return;
    if (logCount > kLogBufferWords - kLogWordsPerRecord) {
      control_ = 0;
      return;
    }
    int32_t* const w = base32 + logCount;
    w[0] = foc.pwm32.f32A;
    w[1] = foc.pwm32.f32B;
    w[2] = foc.pwm32.f32C;
    w[3] = foc.iAbcFbck.f32A;
    w[4] = foc.iAbcFbck.f32B;
    w[5] = foc.iAbcFbck.f32C;
    w[6] = foc.iDQReq.f32D;
    w[7] = foc.iDQReq.f32Q;
    w[8] = foc.iDQFbck.f32D;
    w[9] = foc.iDQFbck.f32Q;
    w[10] = foc.uDQReq.f32D;
    w[11] = foc.uDQReq.f32Q;
    w[12] = foc.observer.x_d;
    w[13] = foc.observer.x11;
    w[14] = foc.observer.x21;
    w[15] = math::wrapMul32(velocity, 11);
    w[16] = useEstimate;
    w[17] = foc.thRotEl;
    logCount = static_cast<int16_t>(logCount + kLogWordsPerRecord);
  }

  // Context: main loop (software-timer callback, every second tick).
  // Registers itself again for the next tick but one, then sends one word while dumping.
  void logDump();

  // The standard identifier of the dump frame carrying record position `position` (0..17) of
  // node `nodeId`: group flag, source field = node number, group field by position. The source
  // field is five bits wide: a node number is kept to it, so the identifier stays a standard one
  // whatever the property holds.
  static constexpr uint32_t dumpIdentifier(int16_t nodeId, int16_t position) {
    const uint32_t group =
        position < kFirstWordsCount
            ? kGroupFirstWords + static_cast<uint32_t>(position)
            : kGroupLastTwoWords + static_cast<uint32_t>(position - kFirstWordsCount);
    const uint32_t source = static_cast<uint32_t>(nodeId) & kFieldMask;
    return kGroupFlag | source << kSourceShift | (group & kFieldMask);
  }

  // The record position (0..17) a dump frame's group field stands for; -1 for the groups 0..13,
  // which no dump frame uses.
  static constexpr int dumpPosition(uint32_t group) {
    group &= kFieldMask;
    if (group >= kGroupFirstWords) return static_cast<int>(group - kGroupFirstWords);
    if (group >= kGroupLastTwoWords) {
      return kFirstWordsCount + static_cast<int>(group - kGroupLastTwoWords);
    }
    return -1;
  }

  // The node number in the source field of a frame with the group flag.
  static constexpr int dumpSource(uint32_t identifier) {
    return static_cast<int>(identifier >> kSourceShift & kFieldMask);
  }

  // First word of the buffer; never changes.
  int32_t* const base32;
  // Words in the buffer while recording; words still to send while dumping. Owner: the control
  // interrupt while recording, the main loop while dumping (the two never act at the same time).
  int16_t logCount = 0;
  // Next word to send.
  int32_t* dataptr;
  // Position 0..17 of the next word to send within its record; kept across dumps.
  int16_t datamod = 0;

 private:
  Node& node_;
  int16_t& control_;  // STEP_CURRENT
  platform::LDD_CAN_TFrame frame_;
  uint8_t data_[8] = {};
};

namespace callbacks {
// Software-timer callback: Logger::logDump of the node.
void logDump(Node& node);
}  // namespace callbacks

}  // namespace tavrix
