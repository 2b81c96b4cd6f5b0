#include "firmware/node/comm_ring.hpp"

#include <cstring>

#include "firmware/node/node.hpp"

namespace tavrix {

using platform::LDD_CAN_TFrame;
using platform::LDD_TError;

CommRing::CommRing(Node& node) : node_(node) {
  for (uint8_t i = 0; i < kSlots; ++i) commRing[i].Data = slotData(i);
  discard_.Data = discardData_;
}

uint8_t CommRing::unreadFrames() const {
  return static_cast<uint8_t>(added.load(std::memory_order_acquire) -
                              taken.load(std::memory_order_acquire));
}

// Context: ISR, level 7 (CAN message buffers).
LDD_TError CommRing::readFrameIsr(uint8_t BufferIdx, LDD_CAN_TFrame* frame) {
  LDD_TError result;
  // Result 8 lasts only while the controller finishes writing the buffer.
  while ((result = node_.hw.can2.CAN2_ReadFrame(node_.CANdevice, BufferIdx, frame)) ==
         platform::ERR_BUSY) {
    node_.hw.cpu.Cpu_Relax();
  }
  return result;
}

// Context: ISR, level 7 (CAN message buffers).
int32_t CommRing::commRingAdd(uint8_t BufferIdx) {
  const uint8_t slot = head.load(std::memory_order_relaxed);
  const bool full = static_cast<uint32_t>(added.load(std::memory_order_relaxed) -
                                          taken.load(std::memory_order_acquire)) >= kSlots;
  if (full || inUse[slot].load(std::memory_order_acquire)) {
    // No slot that may be written: take the frame out of the controller anyway, so the buffer is
    // re-armed for the next one, and drop it.
    const LDD_TError result = readFrameIsr(BufferIdx, &discard_);
    if (result == platform::ERR_OK || result == platform::ERR_OVERRUN) {
      dropped.store(dropped.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    return 0;
  }

  LDD_CAN_TFrame* frame = &commRing[slot];
  frame->Data = slotData(slot);
  // The driver copies only the received length (none for a remote frame): bytes it does not
  // write read as zero rather than as left-overs of an earlier frame.
  std::memset(frame->Data, 0, 8);
  const LDD_TError result = readFrameIsr(BufferIdx, frame);
  // 13: the buffer was overrun, but the frame read is the newest one and complete. Anything else
  // (10: nothing there) leaves the slot unpublished and head where it is.
  if (result != platform::ERR_OK && result != platform::ERR_OVERRUN) return 0;

  // Publish: the slot is complete before head and the count move.
  head.store(next(slot), std::memory_order_release);
  added.store(added.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return 0;
}

// Context: main loop.
LDD_CAN_TFrame* CommRing::commRingRead() {
  const uint32_t takenNow = taken.load(std::memory_order_relaxed);
  if (added.load(std::memory_order_acquire) == takenNow) return nullptr;
  const uint8_t slot = tail.load(std::memory_order_relaxed);
  // Marked in use before the slot leaves the unread count, so the producer never sees it free.
  inUse[slot].store(true, std::memory_order_release);
  tail.store(next(slot), std::memory_order_release);
  taken.store(takenNow + 1, std::memory_order_release);
  return &commRing[slot];
}

// Context: main loop.
void CommRing::commRingRelease(LDD_CAN_TFrame* frame) {
  const auto slot = static_cast<uint8_t>(frame - commRing);
  if (slot < kSlots) inUse[slot].store(false, std::memory_order_release);
}

// Context: main loop (also nested inside waiting operations).
void CommRing::commHandle() {
  LDD_CAN_TFrame* slot = commRingRead();
  if (slot == nullptr) return;
  // The frame is handled (and its reply built) in a copy on this call's stack, and its slot is
  // free again at once. Operations that wait (homing, the self-tests) handle further frames
  // nested inside this one: a slot held for the whole wait would block the ring's writer there,
  // and every frame after the next seven would be dropped until the wait ended.
  uint8_t data[8];
  std::memcpy(data, slot->Data, sizeof data);
  LDD_CAN_TFrame copy = *slot;
  copy.Data = data;
  commRingRelease(slot);
  LDD_CAN_TFrame* const frame = &copy;
  platform::Platform& hw = node_.hw;

  if (frame->Length == 2 && parseMode == 0) {
    // The identifier is compared with the node number as the number converts to 32 bits.
    const auto own = static_cast<uint32_t>(static_cast<int32_t>(node_.property[prop::NODE_ID]));
    if (frame->MessageID == own && frame->Data[0] == kResetByte0 && frame->Data[1] == kResetByte1) {
      hw.cpu.Cpu_SystemReset();
    }
    // Any other two-byte frame switches to CANopen for good; it is then handled as the first
    // CANopen frame below.
    parseMode = 1;
    hw.can2.CAN2_Disable(node_.CANdevice);
    hw.can2.CAN2_SetAcceptanceMask(node_.CANdevice, 1, kCanOpenAcceptanceMask);
    hw.can2.CAN2_Enable(node_.CANdevice);
    node_.canopen.parseInitCO();
  }

  if (parseMode == 0) {
    const int32_t result = node_.protocol.parseTavrixCAN(frame);
    if (result == 0 && (frame->Data[0] & 0x80) != 0) {
      while (hw.can2.CAN2_SendFrame(node_.CANdevice, 0, frame) != platform::ERR_OK) {
        hw.cpu.Cpu_Relax();
      }
    }
  } else {
    node_.canopen.parseCO(frame);
  }
}

}  // namespace tavrix
