#include "sim/mcu/dspi.hpp"

#include <algorithm>

namespace tavrix::sim {

using platform::ERR_BUSY;
using platform::ERR_OK;
using platform::LDD_TError;

namespace {
constexpr uint8_t kSpiPinMux = 2;
}

DspiMaster::DspiMaster(ChipCore& core, GpioPorts& gpio, const DspiTiming& timing)
    : core_(core),
      gpio_(gpio),
      timing_(timing),
      frame_mask_(static_cast<uint16_t>((1u << timing.frame_bits) - 1)) {}

platform::LDD_TDeviceData* DspiMaster::init(platform::LDD_TUserData* user_data) {
  core_.countCall();
  powerOnReset();
  user_data_ = user_data;
  core_.nvic().setPriority(timing_.irq, timing_.level);
  core_.nvic().enable(timing_.irq, true);
  for (const platform::Pin& pin : timing_.pins) gpio_.PORT_SetMux(pin, kSpiPinMux);
  return this;
}

LDD_TError DspiMaster::sendBlock(const uint8_t* bytes, const uint16_t* words, uint16_t size) {
  core_.countCall();
  if (sendInProgress()) return ERR_BUSY;
  tx_ = SendBlock{bytes, words, size, 0};
  fillTxBuffer();
  advance();
  return ERR_OK;
}

LDD_TError DspiMaster::receiveBlock(uint8_t* bytes, uint16_t* words, uint16_t size) {
  core_.countCall();
  // The earlier block stays armed; this request is ignored.
  if (rx_.armed) return ERR_BUSY;
  rx_ = ReceiveBlock{bytes, words, size, 0, size > 0};
  if (size == 0) {
    received_event_ = true;
    core_.raise(timing_.irq);
  }
  return ERR_OK;
}

void DspiMaster::fillTxBuffer() {
  if (tx_buffer_ || !sendInProgress()) return;
  const uint16_t index = tx_.handed++;
  uint16_t data = 0;  // a null buffer sends zeros rather than reading through it
  if (tx_.bytes != nullptr) {
    data = tx_.bytes[index];
  } else if (tx_.words != nullptr) {
    data = tx_.words[index];
  }
  const bool last = tx_.handed == tx_.size;
  tx_buffer_ = TxFrame{static_cast<uint16_t>(data & frame_mask_), last};
  if (last) {
    sent_event_ = true;
    core_.raise(timing_.irq);
  }
}

void DspiMaster::advance() {
  if (core_.queue().pending(event_)) return;  // a select, frame or release is under way
  if (!shifter_) {
    if (!tx_buffer_) return;
    shifter_ = tx_buffer_;
    tx_buffer_.reset();
    fillTxBuffer();
  }
  if (cs_asserted_) {
    // The next frame of the same chip-select cycle.
    event_ = core_.scheduleAfter(timing_.between_frames_clk + timing_.frame_clk, [this] {
      event_ = EventId{};
      frameEnd();
    });
    return;
  }
  SimTime select_at = core_.now();
  if (ever_released_) select_at = std::max(select_at, cs_release_clk_ + timing_.between_frames_clk);
  event_ = core_.schedule(select_at, [this] {
    cs_asserted_ = true;
    ++cs_cycles_;
    if (device_ != nullptr) device_->select(core_.now());
    event_ = core_.scheduleAfter(timing_.cs_to_clock_clk + timing_.frame_clk, [this] {
      event_ = EventId{};
      frameEnd();
    });
  });
}

void DspiMaster::frameEnd() {
  const TxFrame frame = *shifter_;
  shifter_.reset();
  const uint16_t in = device_ != nullptr ? device_->transfer(frame.data, core_.now()) : 0xFFFF;
  ++frames_;
  store(static_cast<uint16_t>(in & frame_mask_));
  if (!frame.last) {
    advance();
    return;
  }
  event_ = core_.scheduleAfter(timing_.clock_to_cs_clk, [this] {
    event_ = EventId{};
    cs_asserted_ = false;
    cs_release_clk_ = core_.now();
    ever_released_ = true;
    if (device_ != nullptr) device_->deselect(core_.now());
    advance();
  });
}

void DspiMaster::store(uint16_t frame) {
  if (!rx_.armed) {
    ++discarded_;
    return;
  }
  if (rx_.bytes != nullptr) {
    rx_.bytes[rx_.count] = static_cast<uint8_t>(frame);
  } else if (rx_.words != nullptr) {
    rx_.words[rx_.count] = frame;
  }
  if (++rx_.count == rx_.size) {
    rx_.armed = false;
    received_event_ = true;
    core_.raise(timing_.irq);
  }
}

void DspiMaster::isr() {
  platform::PlatformEvents& app = *core_.app();
  if (sent_event_) {
    sent_event_ = false;
    raiseBlockSent(app, user_data_);
  }
  if (received_event_) {
    received_event_ = false;
    raiseBlockReceived(app, user_data_);
  }
}

void DspiMaster::powerOnReset() {
  core_.cancel(event_);
  if (cs_asserted_ && device_ != nullptr) device_->deselect(core_.now());
  user_data_ = nullptr;
  tx_ = SendBlock{};
  rx_ = ReceiveBlock{};
  tx_buffer_.reset();
  shifter_.reset();
  cs_asserted_ = false;
  ever_released_ = false;
  cs_release_clk_ = 0;
  sent_event_ = false;
  received_event_ = false;
  error_flags_ = 0;
}

platform::LDD_TDeviceData* Spi0Master::SM3_Init(platform::LDD_TUserData* UserDataPtr) {
  return init(UserDataPtr);
}
LDD_TError Spi0Master::SM3_SendBlock(platform::LDD_TDeviceData*, const uint8_t* BufferPtr,
                                     uint16_t Size) {
  return sendBlock(BufferPtr, nullptr, Size);
}
LDD_TError Spi0Master::SM3_ReceiveBlock(platform::LDD_TDeviceData*, uint8_t* BufferPtr,
                                        uint16_t Size) {
  return receiveBlock(BufferPtr, nullptr, Size);
}
uint16_t Spi0Master::SM3_GetReceivedDataNum(platform::LDD_TDeviceData*) {
  core_.countCall();
  return receivedDataNum();
}
bool Spi0Master::SM3_IsIdle(platform::LDD_TDeviceData*) {
  core_.countCall();
  return idle();
}
void Spi0Master::raiseBlockSent(platform::PlatformEvents& app, platform::LDD_TUserData* user) {
  app.SM3_OnBlockSent(user);
}
void Spi0Master::raiseBlockReceived(platform::PlatformEvents& app, platform::LDD_TUserData* user) {
  app.SM3_OnBlockReceived(user);
}

platform::LDD_TDeviceData* Spi1Master::SM1_Init(platform::LDD_TUserData* UserDataPtr) {
  return init(UserDataPtr);
}
LDD_TError Spi1Master::SM1_SendBlock(platform::LDD_TDeviceData*, const uint16_t* BufferPtr,
                                     uint16_t Size) {
  return sendBlock(nullptr, BufferPtr, Size);
}
LDD_TError Spi1Master::SM1_ReceiveBlock(platform::LDD_TDeviceData*, uint16_t* BufferPtr,
                                        uint16_t Size) {
  return receiveBlock(nullptr, BufferPtr, Size);
}
uint16_t Spi1Master::SM1_GetReceivedDataNum(platform::LDD_TDeviceData*) {
  core_.countCall();
  return receivedDataNum();
}
void Spi1Master::raiseBlockSent(platform::PlatformEvents& app, platform::LDD_TUserData* user) {
  app.SM1_OnBlockSent(user);
}
void Spi1Master::raiseBlockReceived(platform::PlatformEvents& app, platform::LDD_TUserData* user) {
  app.SM1_OnBlockReceived(user);
}

}  // namespace tavrix::sim
