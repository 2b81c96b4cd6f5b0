#include "sim/mcu/flexcan.hpp"

#include <algorithm>

#include "sim/bus/can_frame.hpp"

namespace tavrix::sim {

using platform::ERR_BUFFER_INDEX;
using platform::ERR_BUFFER_KIND;
using platform::ERR_BUSY;
using platform::ERR_DISABLED;
using platform::ERR_FRAME_TYPE;
using platform::ERR_LENGTH;
using platform::ERR_NOTAVAIL;
using platform::ERR_OK;
using platform::ERR_OVERRUN;
using platform::ERR_RXEMPTY;
using platform::LDD_CAN_MESSAGE_ID_EXT;
using platform::LDD_TError;

namespace {

constexpr uint32_t kExtendedIdMask = 0x1FFFFFFF;
constexpr uint32_t kStandardIdMask = 0x7FF;
constexpr uint8_t kCanPinMux = 2;  // PTB18 transmit, PTB19 receive
constexpr platform::Pin kCanTxPin{1, 18};
constexpr platform::Pin kCanRxPin{1, 19};

// The identifier as it sits in a buffer's ID word: a standard identifier at bits 28..18.
uint32_t idRegister(bool extended, uint32_t id) {
  return extended ? id : id << 18;
}

bool isIndex(uint8_t index) {
  return index <= platform::kCanMaxBufferIndex;
}
bool isRxIndex(uint8_t index) {
  return ((FlexCan::kRxBufferMask >> index) & 1u) != 0;
}
bool isTxIndex(uint8_t index) {
  return ((FlexCan::kTxBufferMask >> index) & 1u) != 0;
}

}  // namespace

FlexCan::FlexCan(ChipCore& core, GpioPorts& gpio, CanBus* bus)
    : core_(core), gpio_(gpio), bus_(bus) {}

platform::LDD_TDeviceData* FlexCan::CAN2_Init(platform::LDD_TUserData* UserDataPtr) {
  core_.countCall();
  // The soft reset passes through freeze mode, which waits for a frame on the bus to end.
  waitWhileTransmitting();
  user_data_ = UserDataPtr;
  buffers_[0] = Buffer{};
  buffers_[0].code = Code::kTxIdle;
  for (uint8_t i = 1; i < platform::kCanBufferCount; ++i) {
    buffers_[i] = Buffer{};
    buffers_[i].code = Code::kRxEmpty;
    buffers_[i].id = kInitialRxId;
  }
  mask_ = kInitialMask;
  en_user_ = true;
  frozen_ = false;
  iflag_ = 0;
  imask_ = kAllBuffers;
  int_flag_reg_ = 0;
  error_mask_ = 0;
  error_status_ = 0;
  time_stamp_epoch_clk_ = core_.now();
  for (const Irq irq : {Irq::kCanMessageBuffer, Irq::kCanBusOff, Irq::kCanError}) {
    core_.nvic().setPriority(irq, platform::kLevelCan);
    core_.nvic().enable(irq, true);
  }
  gpio_.PORT_SetMux(kCanTxPin, kCanPinMux);
  gpio_.PORT_SetMux(kCanRxPin, kCanPinMux);
  return this;
}

LDD_TError FlexCan::CAN2_Disable(platform::LDD_TDeviceData*) {
  core_.countCall();
  if (!en_user_) return ERR_OK;
  en_user_ = false;
  // Freeze is acknowledged only once a frame of ours on the bus has ended.
  waitWhileTransmitting();
  frozen_ = true;
  imask_ = 0;
  return ERR_OK;
}

LDD_TError FlexCan::CAN2_Enable(platform::LDD_TDeviceData*) {
  core_.countCall();
  if (en_user_) return ERR_OK;
  en_user_ = true;
  frozen_ = false;
  iflag_ = 0;
  imask_ = kAllBuffers;
  error_status_ = 0;
  if (buffers_[0].code == Code::kTxPending && bus_ != nullptr) bus_->requestSend();
  return ERR_OK;
}

LDD_TError FlexCan::CAN2_SetAcceptanceMask(platform::LDD_TDeviceData*,
                                           platform::LDD_CAN_TBufferIndex BufferIdx,
                                           uint32_t AccMask) {
  core_.countCall();
  if (!frozen_) return ERR_NOTAVAIL;
  if (!isIndex(BufferIdx)) return ERR_BUFFER_INDEX;
  mask_ = AccMask;
  return ERR_OK;
}

LDD_TError FlexCan::CAN2_SetRxBufferID(platform::LDD_TDeviceData*,
                                       platform::LDD_CAN_TBufferIndex BufferIdx,
                                       platform::LDD_CAN_TMessageID MessageID) {
  core_.countCall();
  if (!en_user_) return ERR_DISABLED;
  if (!isIndex(BufferIdx)) return ERR_BUFFER_INDEX;
  if (!isRxIndex(BufferIdx)) return ERR_BUFFER_KIND;
  Buffer& b = buffers_[BufferIdx];
  b.extended = (MessageID & LDD_CAN_MESSAGE_ID_EXT) != 0;
  b.id = MessageID & (b.extended ? kExtendedIdMask : kStandardIdMask);
  // Rewriting the identifier deactivates and re-arms the buffer: an unread frame is dropped.
  b.code = Code::kRxEmpty;
  return ERR_OK;
}

LDD_TError FlexCan::CAN2_SendFrame(platform::LDD_TDeviceData*,
                                   platform::LDD_CAN_TBufferIndex BufferIdx,
                                   platform::LDD_CAN_TFrame* Frame) {
  core_.countCall();
  if (!en_user_) return ERR_DISABLED;
  if (!isIndex(BufferIdx)) return ERR_BUFFER_INDEX;
  if (!isTxIndex(BufferIdx)) return ERR_BUFFER_KIND;
  if (Frame->Length > kMaxDataLen) return ERR_LENGTH;
  if (Frame->FrameType > platform::LDD_CAN_RESPONSE_FRAME) return ERR_FRAME_TYPE;
  Buffer& b = buffers_[BufferIdx];
  if (b.code != Code::kTxIdle) return ERR_BUSY;

  CanMessage m{};
  m.extended = (Frame->MessageID & LDD_CAN_MESSAGE_ID_EXT) != 0;
  m.id = Frame->MessageID & (m.extended ? kExtendedIdMask : kStandardIdMask);
  if (Frame->FrameType == platform::LDD_CAN_REMOTE_FRAME) {
    m.remote = true;
    m.length = 0;
  } else {
    m.length = Frame->Length;
    // A null data pointer sends zeros rather than reading through it.
    if (Frame->Data != nullptr) std::copy_n(Frame->Data, m.length, m.data.begin());
  }
  b.message = m;
  b.extended = m.extended;
  b.id = m.id;
  if (Frame->FrameType == platform::LDD_CAN_RESPONSE_FRAME) {
    b.code = Code::kTxAnswer;
  } else {
    b.code = Code::kTxPending;
    if (bus_ != nullptr) bus_->requestSend();
  }
  return ERR_OK;
}

LDD_TError FlexCan::CAN2_ReadFrame(platform::LDD_TDeviceData*,
                                   platform::LDD_CAN_TBufferIndex BufferIdx,
                                   platform::LDD_CAN_TFrame* Frame) {
  core_.countCall();
  if (!en_user_) return ERR_DISABLED;
  if (!isIndex(BufferIdx)) return ERR_BUFFER_INDEX;
  if (!isRxIndex(BufferIdx)) return ERR_BUFFER_KIND;
  Buffer& b = buffers_[BufferIdx];
  if (b.code != Code::kRxFull && b.code != Code::kRxOverrun) return ERR_RXEMPTY;

  const CanMessage& m = b.message;
  Frame->MessageID = m.id | (m.extended ? LDD_CAN_MESSAGE_ID_EXT : 0);
  Frame->FrameType = m.remote ? platform::LDD_CAN_REMOTE_FRAME : platform::LDD_CAN_DATA_FRAME;
  // The length code as received (9..15 possible); never more than the 8-byte data area copied.
  Frame->Length = m.length;
  Frame->TimeStamp = b.time_stamp;
  if (!m.remote && Frame->Data != nullptr) {
    std::copy_n(m.data.begin(), m.dataBytes(), Frame->Data);
  }
  const LDD_TError result = b.code == Code::kRxOverrun ? ERR_OVERRUN : ERR_OK;
  b.code = Code::kRxEmpty;
  return result;
}

const CanMessage* FlexCan::pendingFrame() {
  if (!en_user_ || frozen_ || buffers_[0].code != Code::kTxPending) return nullptr;
  return &buffers_[0].message;
}

void FlexCan::onTransmitStarted(SimTime, SimTime) {
  buffers_[0].code = Code::kTxOnBus;
}

void FlexCan::onTransmitted(const CanMessage&, SimTime) {
  buffers_[0].code = Code::kTxIdle;
  flagBuffer(0);
  core_.touch();
}

bool FlexCan::matches(const Buffer& b, const CanMessage& m) const {
  if (b.code != Code::kRxEmpty && b.code != Code::kRxFull && b.code != Code::kRxOverrun) {
    return false;
  }
  if (b.extended != m.extended) return false;
  const uint32_t diff = idRegister(b.extended, b.id) ^ idRegister(m.extended, m.id);
  return (diff & mask_ & kExtendedIdMask) == 0;
}

void FlexCan::onReceived(const CanMessage& m, SimTime end_clk) {
  if (!en_user_ || frozen_) {
    ++frames_ignored_;
    return;
  }
  Buffer& tx = buffers_[0];
  if (m.remote && tx.code == Code::kTxAnswer && tx.extended == m.extended && tx.id == m.id) {
    tx.code = Code::kTxPending;
    if (bus_ != nullptr) bus_->requestSend();
  }

  int empty_match = -1;
  int last_match = -1;
  for (uint8_t i = 1; i < platform::kCanBufferCount; ++i) {
    if (!matches(buffers_[i], m)) continue;
    if (empty_match < 0 && buffers_[i].code == Code::kRxEmpty) empty_match = i;
    last_match = i;
  }
  if (last_match < 0) {
    ++frames_ignored_;
    return;
  }
  const int index = empty_match >= 0 ? empty_match : last_match;
  Buffer& b = buffers_[static_cast<size_t>(index)];
  b.code = empty_match >= 0 ? Code::kRxFull : Code::kRxOverrun;
  b.message = m;
  b.time_stamp =
      static_cast<uint16_t>(((end_clk - time_stamp_epoch_clk_) / kCanBitTime_clk) & 0xFFFF);
  ++frames_received_;
  flagBuffer(static_cast<uint8_t>(index));
  core_.touch();
}

void FlexCan::flagBuffer(uint8_t index) {
  iflag_ = static_cast<uint8_t>(iflag_ | (1u << index));
  if ((imask_ >> index) & 1u) core_.raise(Irq::kCanMessageBuffer);
}

void FlexCan::messageBufferIsr() {
  const uint8_t flags = iflag_ & imask_;
  iflag_ = static_cast<uint8_t>(iflag_ & ~flags);
  int_flag_reg_ |= flags;
  platform::PlatformEvents* app = core_.app();
  for (uint8_t i = 0; i < platform::kCanBufferCount; ++i) {
    if ((flags & kTxBufferMask) & (1u << i)) app->CAN2_OnFreeTxBuffer(user_data_, i);
  }
  for (uint8_t i = 0; i < platform::kCanBufferCount; ++i) {
    if ((flags & kRxBufferMask) & (1u << i)) app->CAN2_OnFullRxBuffer(user_data_, i);
  }
}

void FlexCan::busOffIsr() {
  core_.app()->CAN2_OnBusOff(user_data_);
}

void FlexCan::errorIsr() {
  error_mask_ |= error_status_;
  error_status_ = 0;
  core_.app()->CAN2_OnError(user_data_);
}

void FlexCan::waitWhileTransmitting() {
  while (buffers_[0].code == Code::kTxOnBus) core_.cpu().Cpu_Relax();
}

void FlexCan::powerOnReset() {
  if (bus_ != nullptr) bus_->abortTransmission(*this);
  user_data_ = nullptr;
  buffers_ = {};
  mask_ = 0;
  en_user_ = false;
  frozen_ = false;
  iflag_ = 0;
  imask_ = 0;
  int_flag_reg_ = 0;
  error_mask_ = 0;
  error_status_ = 0;
  time_stamp_epoch_clk_ = core_.now();
}

uint32_t FlexCan::bufferId(uint8_t index) const {
  const Buffer& b = buffers_[index];
  return b.id | (b.extended ? LDD_CAN_MESSAGE_ID_EXT : 0);
}

}  // namespace tavrix::sim
