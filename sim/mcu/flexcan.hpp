// FlexCAN0 as the CAN2 driver sees it: five message buffers (0 transmits, 1..4 receive), one
// global acceptance mask in register format, freeze mode, and the message-buffer interrupt.
//
// Reception: a frame matches a receive buffer when its kind (standard/extended) equals the
// buffer's and its identifier agrees with the buffer's in every bit set in the mask; the remote
// bit is never compared. The first matching empty buffer in ascending order takes it; when none
// is empty the last matching buffer is overwritten and marked overrun. The controller writes a
// buffer in no time, so a read never finds it busy. The time stamp is a 16-bit count of bit
// times (1 us) since the last CAN2_Init. Frames of this controller are not received back.
//
// Transmission: buffer 0 holds one frame; it joins every arbitration until its transmission has
// ended on the bus, and stays busy (8) until then. A response frame waits for a remote frame of
// its identifier and is sent then. No bus errors are simulated, so bus-off and error interrupts
// never occur; their handlers exist with the driver's bookkeeping.
#pragma once

#include <array>
#include <cstdint>

#include "firmware/platform/platform.hpp"
#include "sim/bus/can_bus.hpp"
#include "sim/mcu/chip_core.hpp"
#include "sim/mcu/gpio.hpp"

namespace tavrix::sim {

class FlexCan final : public platform::Can2, public CanEndpoint {
 public:
  static constexpr uint32_t kInitialMask = 0x107C0000;  // identifier mask 0x41F
  static constexpr uint32_t kInitialRxId = 0x7FF;
  static constexpr uint8_t kRxBufferMask = 0x1E;  // buffers 1..4
  static constexpr uint8_t kTxBufferMask = 0x01;  // buffer 0
  static constexpr uint8_t kAllBuffers = 0x1F;
  static constexpr uint8_t kMaxDataLen = 8;

  enum class Code : uint8_t {
    kInactive,   // power-on: not a receive buffer yet, and no frame
    kRxEmpty,    // armed, waiting for a frame
    kRxFull,     // holds an unread frame
    kRxOverrun,  // holds an unread frame that replaced another unread one
    kTxIdle,     // transmit buffer free
    kTxPending,  // frame waiting for the bus
    kTxAnswer,   // response frame waiting for its remote request
    kTxOnBus,    // frame being transmitted
  };

  FlexCan(ChipCore& core, GpioPorts& gpio, CanBus* bus);

  // Context: main loop, except CAN2_ReadFrame (message-buffer interrupt).
  platform::LDD_TDeviceData* CAN2_Init(platform::LDD_TUserData* UserDataPtr) override;
  platform::LDD_TError CAN2_Disable(platform::LDD_TDeviceData* handle) override;
  platform::LDD_TError CAN2_Enable(platform::LDD_TDeviceData* handle) override;
  platform::LDD_TError CAN2_SetAcceptanceMask(platform::LDD_TDeviceData* handle,
                                              platform::LDD_CAN_TBufferIndex BufferIdx,
                                              uint32_t AccMask) override;
  platform::LDD_TError CAN2_SetRxBufferID(platform::LDD_TDeviceData* handle,
                                          platform::LDD_CAN_TBufferIndex BufferIdx,
                                          platform::LDD_CAN_TMessageID MessageID) override;
  platform::LDD_TError CAN2_SendFrame(platform::LDD_TDeviceData* handle,
                                      platform::LDD_CAN_TBufferIndex BufferIdx,
                                      platform::LDD_CAN_TFrame* Frame) override;
  platform::LDD_TError CAN2_ReadFrame(platform::LDD_TDeviceData* handle,
                                      platform::LDD_CAN_TBufferIndex BufferIdx,
                                      platform::LDD_CAN_TFrame* Frame) override;

  // Context: scheduler (the bus).
  const CanMessage* pendingFrame() override;
  void onTransmitStarted(SimTime start_clk, SimTime end_clk) override;
  void onTransmitted(const CanMessage& m, SimTime end_clk) override;
  void onReceived(const CanMessage& m, SimTime end_clk) override;

  // Context: ISR, level 7. Reads and clears all buffer flags at once, then raises the free-TX
  // events and the full-RX events, each in ascending buffer order.
  void messageBufferIsr();
  bool messageBufferIrqAsserted() const { return (iflag_ & imask_) != 0; }
  void busOffIsr();
  void errorIsr();

  void powerOnReset();

  // Observation.
  bool enabled() const { return en_user_; }
  bool frozen() const { return frozen_; }
  uint32_t acceptanceMask() const { return mask_; }
  Code bufferCode(uint8_t index) const { return buffers_[index].code; }
  // The buffer's identifier in MessageID format (bit 31 set for an extended one).
  uint32_t bufferId(uint8_t index) const;
  uint8_t interruptFlags() const { return iflag_; }
  uint32_t IntFlagReg() const { return int_flag_reg_; }
  uint32_t ErrorMask() const { return error_mask_; }
  uint64_t framesReceived() const { return frames_received_; }
  uint64_t framesIgnored() const { return frames_ignored_; }  // no buffer matched, or frozen

 private:
  struct Buffer {
    Code code = Code::kInactive;
    bool extended = false;
    uint32_t id = 0;  // 11 or 29 bits
    CanMessage message{};
    uint16_t time_stamp = 0;
  };

  bool matches(const Buffer& b, const CanMessage& m) const;
  void waitWhileTransmitting();
  void flagBuffer(uint8_t index);

  ChipCore& core_;
  GpioPorts& gpio_;
  CanBus* bus_;
  platform::LDD_TUserData* user_data_ = nullptr;
  std::array<Buffer, platform::kCanBufferCount> buffers_{};
  uint32_t mask_ = 0;
  bool en_user_ = false;
  bool frozen_ = false;
  uint8_t iflag_ = 0;
  uint8_t imask_ = 0;
  uint32_t int_flag_reg_ = 0;
  uint32_t error_mask_ = 0;
  uint32_t error_status_ = 0;
  SimTime time_stamp_epoch_clk_ = 0;
  uint64_t frames_received_ = 0;
  uint64_t frames_ignored_ = 0;
};

}  // namespace tavrix::sim
