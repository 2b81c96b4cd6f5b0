// The two DSPI masters with their FIFOs off (one frame buffered each way) and the SM1/SM3 drivers
// on top of them.
//
// A send block is one chip-select cycle: select, the chip-select-to-clock delay, the frames with
// the between-frames delay after each but the last, the clock-to-release delay, release; the next
// cycle selects no earlier than the between-frames delay after the release. The driver hands
// frames to the controller's one-frame transmit buffer as it empties: the first two at once, each
// further one when its predecessor starts shifting. A send block counts as sent, and the next one
// is accepted, once its last frame has been handed over.
//
// Each frame clocks one frame in; while a receive block is armed it is stored at once (the
// simulated driver takes every frame as it arrives, so the receive overflow of the chip cannot
// happen and the error flags stay 0); with none armed it is discarded. The completed receive block
// raises the block-received event through the master's interrupt, as does the handed-over send
// block its block-sent event.
#pragma once

#include <cstdint>
#include <optional>

#include "firmware/platform/platform.hpp"
#include "sim/mcu/chip_core.hpp"
#include "sim/mcu/gpio.hpp"
#include "sim/mcu/spi_device.hpp"

namespace tavrix::sim {

struct DspiTiming {
  uint8_t frame_bits;
  SimTime frame_clk;           // the frame's clocks on the wire
  SimTime cs_to_clock_clk;     // chip select to first clock
  SimTime clock_to_cs_clk;     // last clock to chip-select release
  SimTime between_frames_clk;  // between frames, and from a release to the next select
  uint8_t level;               // interrupt level
  Irq irq;
  platform::Pin pins[4];  // chip select, clock, data out, data in (pin function 2)
};

// SPI0: 8-bit frames at 5 MHz (8 clocks per bit); 100 ns, 200 ns and 100 ns delays.
inline constexpr DspiTiming kSpi0Timing{
    8, 64, 4, 8, 4, platform::kLevelSpi0, Irq::kSpi0, {{3, 0}, {3, 1}, {3, 2}, {3, 3}}};
// SPI1: 16-bit frames at 10 MHz (4 clocks per bit); all three delays 50 ns.
inline constexpr DspiTiming kSpi1Timing{
    16, 64, 2, 2, 2, platform::kLevelSpi1, Irq::kSpi1, {{1, 10}, {1, 11}, {1, 16}, {1, 17}}};

class DspiMaster {
 public:
  DspiMaster(ChipCore& core, GpioPorts& gpio, const DspiTiming& timing);
  DspiMaster(const DspiMaster&) = delete;
  DspiMaster& operator=(const DspiMaster&) = delete;

  // The device on chip select 0; null leaves the data-in line floating high (all ones).
  void attachDevice(SpiDevice* device) { device_ = device; }
  SpiDevice* device() const { return device_; }

  // Context: ISR at the master's level: raises the pending block events.
  void isr();
  bool irqAsserted() const { return sent_event_ || received_event_; }

  // Power-on state: idle, chip select released (the device sees a release if it was selected),
  // interrupt off.
  void powerOnReset();

  // Observation.
  bool chipSelectAsserted() const { return cs_asserted_; }
  bool idle() const { return !shifter_ && !tx_buffer_ && !cs_asserted_ && !sendInProgress(); }
  uint64_t framesTransferred() const { return frames_; }
  uint64_t chipSelectCycles() const { return cs_cycles_; }
  uint64_t framesDiscarded() const { return discarded_; }
  uint8_t errorFlags() const { return error_flags_; }

 protected:
  platform::LDD_TDeviceData* init(platform::LDD_TUserData* user_data);
  // Exactly one of the two pointers is used, by the frame width.
  platform::LDD_TError sendBlock(const uint8_t* bytes, const uint16_t* words, uint16_t size);
  platform::LDD_TError receiveBlock(uint8_t* bytes, uint16_t* words, uint16_t size);
  uint16_t receivedDataNum() const { return rx_.count; }

  virtual void raiseBlockSent(platform::PlatformEvents& app, platform::LDD_TUserData* user) = 0;
  virtual void raiseBlockReceived(platform::PlatformEvents& app, platform::LDD_TUserData* user) = 0;
  ~DspiMaster() = default;

  ChipCore& core_;

 private:
  struct TxFrame {
    uint16_t data;
    bool last;  // last frame of its block: chip select is released after it
  };
  struct SendBlock {
    const uint8_t* bytes = nullptr;
    const uint16_t* words = nullptr;
    uint16_t size = 0;
    uint16_t handed = 0;
  };
  struct ReceiveBlock {
    uint8_t* bytes = nullptr;
    uint16_t* words = nullptr;
    uint16_t size = 0;
    uint16_t count = 0;
    bool armed = false;
  };

  bool sendInProgress() const { return tx_.handed < tx_.size; }
  void fillTxBuffer();
  void advance();
  void frameEnd();
  void store(uint16_t frame);

  GpioPorts& gpio_;
  const DspiTiming& timing_;
  SpiDevice* device_ = nullptr;
  platform::LDD_TUserData* user_data_ = nullptr;
  uint16_t frame_mask_;

  SendBlock tx_;
  ReceiveBlock rx_;
  std::optional<TxFrame> tx_buffer_;
  std::optional<TxFrame> shifter_;  // the frame being clocked (or waiting for its select delay)
  bool cs_asserted_ = false;
  SimTime cs_release_clk_ = 0;
  bool ever_released_ = false;
  EventId event_{};
  bool sent_event_ = false;
  bool received_event_ = false;
  uint8_t error_flags_ = 0;
  uint64_t frames_ = 0;
  uint64_t cs_cycles_ = 0;
  uint64_t discarded_ = 0;
};

// SM3 on SPI0: the serial EEPROM, byte buffers.
class Spi0Master final : public DspiMaster, public platform::Sm3 {
 public:
  Spi0Master(ChipCore& core, GpioPorts& gpio) : DspiMaster(core, gpio, kSpi0Timing) {}
  // Context: main loop.
  platform::LDD_TDeviceData* SM3_Init(platform::LDD_TUserData* UserDataPtr) override;
  platform::LDD_TError SM3_SendBlock(platform::LDD_TDeviceData* handle, const uint8_t* BufferPtr,
                                     uint16_t Size) override;
  platform::LDD_TError SM3_ReceiveBlock(platform::LDD_TDeviceData* handle, uint8_t* BufferPtr,
                                        uint16_t Size) override;
  uint16_t SM3_GetReceivedDataNum(platform::LDD_TDeviceData* handle) override;
  bool SM3_IsIdle(platform::LDD_TDeviceData* handle) override;

 private:
  void raiseBlockSent(platform::PlatformEvents& app, platform::LDD_TUserData* user) override;
  void raiseBlockReceived(platform::PlatformEvents& app, platform::LDD_TUserData* user) override;
};

// SM1 on SPI1: the rotor-position sensor, 16-bit word buffers.
class Spi1Master final : public DspiMaster, public platform::Sm1 {
 public:
  Spi1Master(ChipCore& core, GpioPorts& gpio) : DspiMaster(core, gpio, kSpi1Timing) {}
  // Context: main loop at start-up, then the control interrupt.
  platform::LDD_TDeviceData* SM1_Init(platform::LDD_TUserData* UserDataPtr) override;
  platform::LDD_TError SM1_SendBlock(platform::LDD_TDeviceData* handle, const uint16_t* BufferPtr,
                                     uint16_t Size) override;
  platform::LDD_TError SM1_ReceiveBlock(platform::LDD_TDeviceData* handle, uint16_t* BufferPtr,
                                        uint16_t Size) override;
  uint16_t SM1_GetReceivedDataNum(platform::LDD_TDeviceData* handle) override;

 private:
  void raiseBlockSent(platform::PlatformEvents& app, platform::LDD_TUserData* user) override;
  void raiseBlockReceived(platform::PlatformEvents& app, platform::LDD_TUserData* user) override;
};

}  // namespace tavrix::sim
