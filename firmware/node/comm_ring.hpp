// Received-frame ring and protocol dispatch.
//
// The CAN receive interrupt copies each frame into one of eight slots (commRingAdd); the main loop
// takes one frame per commHandle, copies it out of its slot (which is free again at once) and hands
// the copy to the property protocol or, after the switch, to the CANopen slave; the reply is built
// in the copy. Waiting operations call commHandle nested inside the handling of a frame, so the
// ring keeps serving frames while a homing or a self-test runs.
//
// Single producer, single consumer, lock-free:
//  - the interrupt writes `head`, `added`, `dropped` and the slot at `head` (only while that slot
//  is
//    neither unread nor in use);
//  - the main loop writes `tail`, `taken`, `parseMode` and the in-use marks.
// A frame that arrives while all eight slots are unread or in use is read out of the controller
// (so its buffer is re-armed) and dropped; `head` never overtakes `tail`.
#pragma once

#include <atomic>
#include <cstdint>

#include "firmware/platform/types.hpp"

namespace tavrix {

class Node;

class CommRing {
 public:
  static constexpr uint8_t kSlots = 8;
  // Two-byte frame that restarts a node in property mode, sent to the node's own identifier.
  static constexpr uint8_t kResetByte0 = 0x5A;
  static constexpr uint8_t kResetByte1 = 0xA6;
  // Acceptance mask of CANopen mode, register format: identifier bits 6..0 compared.
  static constexpr uint32_t kCanOpenAcceptanceMask = 0x01FC0000;

  explicit CommRing(Node& node);

  // Context: ISR, level 7 (CAN message buffers).
  // Reads the frame of receive buffer BufferIdx into the slot at `head` and publishes it. Result 8
  // (controller still writing) is retried; 13 (overrun) keeps the newest frame; 10 (empty) and
  // any other failure publish nothing. Returns 0.
  int32_t commRingAdd(uint8_t BufferIdx);

  // Context: main loop.
  // The oldest unread slot, now marked in use, or null when the ring is empty. The caller hands it
  // back with commRingRelease once it has finished with it.
  platform::LDD_CAN_TFrame* commRingRead();
  // Context: main loop.
  void commRingRelease(platform::LDD_CAN_TFrame* frame);

  // Context: main loop (also nested inside waiting operations).
  // Takes at most one frame and handles it completely: reset frame, protocol switch, property
  // protocol with its reply, or the CANopen slave.
  void commHandle();

  // Diagnostics.
  uint8_t headSlot() const { return head.load(std::memory_order_relaxed); }
  uint8_t tailSlot() const { return tail.load(std::memory_order_relaxed); }
  uint32_t droppedFrames() const { return dropped.load(std::memory_order_relaxed); }
  uint8_t unreadFrames() const;

  // The slots and their data areas: slot i owns the 8 bytes of words 2i and 2i + 1.
  platform::LDD_CAN_TFrame commRing[kSlots] = {};
  uint32_t dataBuffer[2 * kSlots] = {};

  // 0: property protocol; 1: CANopen, until the next reset. Owner: main loop.
  int8_t parseMode = 0;

 private:
  static uint8_t next(uint8_t slot) { return static_cast<uint8_t>((slot + 1) % kSlots); }
  uint8_t* slotData(uint8_t slot) { return reinterpret_cast<uint8_t*>(&dataBuffer[2 * slot]); }
  // Context: ISR, level 7. One CAN2_ReadFrame into `frame`, waiting out result 8.
  platform::LDD_TError readFrameIsr(uint8_t BufferIdx, platform::LDD_CAN_TFrame* frame);

  Node& node_;
  std::atomic<uint8_t> head{0};      // next slot to write; owner: CAN interrupt
  std::atomic<uint32_t> added{0};    // frames published (wraps); owner: CAN interrupt
  std::atomic<uint32_t> dropped{0};  // frames dropped for want of a free slot; owner: CAN interrupt
  std::atomic<uint8_t> tail{0};      // next slot to hand out; owner: main loop
  std::atomic<uint32_t> taken{0};    // frames handed out (wraps); owner: main loop
  std::atomic<bool> inUse[kSlots] = {};  // handed out, handling not finished; owner: main loop
  // Where a frame that has no slot is read to, so its receive buffer is re-armed. Owner: CAN
  // interrupt.
  platform::LDD_CAN_TFrame discard_ = {};
  uint8_t discardData_[8] = {};
};

}  // namespace tavrix
