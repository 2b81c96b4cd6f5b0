#include "firmware/node/testing/fake_platform.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "firmware/node/node.hpp"

namespace tavrix::testing {

using platform::LDD_CAN_TFrame;
using platform::LDD_TDeviceData;
using platform::LDD_TError;
using platform::LDD_TUserData;

namespace {
// Distinct non-null handles, so a handle mix-up shows.
int canHandle, sm1Handle, sm3Handle, ti1Handle;

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}
}  // namespace

std::string pinName(platform::Pin pin) {
  return std::string("PT") + static_cast<char>('A' + pin.port) + std::to_string(pin.bit);
}

CanFrame dataFrame(uint32_t id, std::initializer_list<uint8_t> bytes) {
  CanFrame f;
  f.id = id;
  f.length = static_cast<uint8_t>(bytes.size());
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 8), f.data.begin());
  return f;
}

// ---- Cpu ----------------------------------------------------------------------------------------

void FakeCpu::Cpu_SystemReset() {
  std::fflush(nullptr);
  std::_Exit(kResetExitCode);
}

void FakeCpu::Cpu_Relax() {
  ++relaxCount;
  if (relaxCount > relaxLimit) {
    std::fprintf(stderr, "fake platform: Cpu_Relax called %llu times: the test hangs\n",
                 static_cast<unsigned long long>(relaxCount));
    std::abort();
  }
  while (!scheduled_.empty() && scheduled_.begin()->first <= relaxCount) {
    auto action = std::move(scheduled_.begin()->second);
    scheduled_.erase(scheduled_.begin());
    action();
  }
  if (onRelax) onRelax();
}

void FakeCpu::schedule(uint64_t turns, std::function<void()> action) {
  scheduled_.emplace(relaxCount + turns, std::move(action));
}

uint8_t FakeCpu::Cpu_ReadMaskAndBlock() {
  const uint8_t was = masked ? 1 : 0;
  masked = true;
  return was;
}

void FakeCpu::Cpu_RestoreMask(uint8_t mask) {
  masked = mask != 0;
}

// ---- CAN ----------------------------------------------------------------------------------------

LDD_TDeviceData* FakeCan::CAN2_Init(LDD_TUserData*) {
  log_.push_back("CAN2_Init");
  enabled = true;
  mask = 0x107C0000;
  rxIds.fill(0x7FF);
  return &canHandle;
}

LDD_TError FakeCan::CAN2_Disable(LDD_TDeviceData*) {
  log_.push_back("CAN2_Disable");
  enabled = false;
  return platform::ERR_OK;
}

LDD_TError FakeCan::CAN2_Enable(LDD_TDeviceData*) {
  log_.push_back("CAN2_Enable");
  enabled = true;
  return platform::ERR_OK;
}

LDD_TError FakeCan::CAN2_SetAcceptanceMask(LDD_TDeviceData*, uint8_t BufferIdx, uint32_t AccMask) {
  log_.push_back("CAN2_SetAcceptanceMask " + std::to_string(BufferIdx) + " " + hex(AccMask));
  if (enabled) return platform::ERR_NOTAVAIL;
  if (BufferIdx > platform::kCanMaxBufferIndex) return platform::ERR_BUFFER_INDEX;
  mask = AccMask;
  return platform::ERR_OK;
}

LDD_TError FakeCan::CAN2_SetRxBufferID(LDD_TDeviceData*, uint8_t BufferIdx, uint32_t MessageID) {
  log_.push_back("CAN2_SetRxBufferID " + std::to_string(BufferIdx) + " " + hex(MessageID));
  if (!enabled) return platform::ERR_DISABLED;
  if (BufferIdx > platform::kCanMaxBufferIndex) return platform::ERR_BUFFER_INDEX;
  if (BufferIdx == 0) return platform::ERR_BUFFER_KIND;
  rxIds[BufferIdx] = MessageID;
  return platform::ERR_OK;
}

LDD_TError FakeCan::CAN2_SendFrame(LDD_TDeviceData*, uint8_t BufferIdx, LDD_CAN_TFrame* Frame) {
  if (!enabled) return platform::ERR_DISABLED;
  if (BufferIdx != 0) return BufferIdx > 4 ? platform::ERR_BUFFER_INDEX : platform::ERR_BUFFER_KIND;
  if (Frame->Length > 8) return platform::ERR_LENGTH;
  if (Frame->FrameType > 2) return platform::ERR_FRAME_TYPE;
  if (sendBusy > 0) {
    --sendBusy;
    ++sendBusyAnswers;
    return platform::ERR_BUSY;
  }
  CanFrame f;
  f.id = Frame->MessageID;
  f.type = Frame->FrameType;
  f.length = Frame->Length;
  if (Frame->FrameType != platform::LDD_CAN_REMOTE_FRAME) {
    std::copy_n(Frame->Data, Frame->Length, f.data.begin());
  }
  sent.push_back(f);
  return platform::ERR_OK;
}

LDD_TError FakeCan::CAN2_ReadFrame(LDD_TDeviceData*, uint8_t BufferIdx, LDD_CAN_TFrame* Frame) {
  ++readCalls;
  if (BufferIdx > 4) return platform::ERR_BUFFER_INDEX;
  if (BufferIdx == 0) return platform::ERR_BUFFER_KIND;
  auto& q = rx[BufferIdx];
  if (q.empty()) return platform::ERR_RXEMPTY;
  Read& r = q.front();
  if (r.busyReads > 0) {
    --r.busyReads;
    return platform::ERR_BUSY;
  }
  const Read read = r;
  q.pop_front();
  if (read.result != platform::ERR_OK && read.result != platform::ERR_OVERRUN) return read.result;
  Frame->MessageID = read.frame.id;
  Frame->FrameType = read.frame.type;
  Frame->Length = read.frame.length;
  // The controller's data area is 8 bytes, whatever the length code says.
  if (read.frame.type != platform::LDD_CAN_REMOTE_FRAME) {
    std::copy_n(read.frame.data.begin(), std::min<uint8_t>(read.frame.length, 8), Frame->Data);
  }
  return read.result;
}

// ---- SM1 ----------------------------------------------------------------------------------------

LDD_TDeviceData* FakeSm1::SM1_Init(LDD_TUserData*) {
  log_.push_back("SM1_Init");
  return &sm1Handle;
}

LDD_TError FakeSm1::SM1_SendBlock(LDD_TDeviceData*, const uint16_t* BufferPtr, uint16_t Size) {
  if (sendBusy > 0) {
    --sendBusy;
    return platform::ERR_BUSY;
  }
  log_.push_back("SM1_SendBlock " + std::to_string(Size));
  sentBlocks.emplace_back(BufferPtr, BufferPtr + Size);
  for (uint16_t i = 0; i < rxSize_ && i < Size; ++i) rxBuf_[i] = answer;
  rxBuf_ = nullptr;
  rxSize_ = 0;
  if (onBlockReceived) onBlockReceived();
  return platform::ERR_OK;
}

LDD_TError FakeSm1::SM1_ReceiveBlock(LDD_TDeviceData*, uint16_t* BufferPtr, uint16_t Size) {
  log_.push_back("SM1_ReceiveBlock " + std::to_string(Size));
  rxBuf_ = BufferPtr;
  rxSize_ = Size;
  return platform::ERR_OK;
}

// ---- EEPROM on SM3 ------------------------------------------------------------------------------

LDD_TDeviceData* FakeEeprom::SM3_Init(LDD_TUserData*) {
  log_.push_back("SM3_Init");
  return &sm3Handle;
}

LDD_TError FakeEeprom::SM3_ReceiveBlock(LDD_TDeviceData*, uint8_t* BufferPtr, uint16_t Size) {
  if (rxBuf_ != nullptr && rxCount_ < rxSize_) return platform::ERR_BUSY;
  rxBuf_ = BufferPtr;
  rxSize_ = Size;
  rxCount_ = 0;
  return platform::ERR_OK;
}

LDD_TError FakeEeprom::SM3_SendBlock(LDD_TDeviceData*, const uint8_t* BufferPtr, uint16_t Size) {
  if (sendBusy > 0) {
    --sendBusy;
    return platform::ERR_BUSY;
  }
  // One chip-select cycle, answered byte by byte.
  std::vector<uint8_t> out(BufferPtr, BufferPtr + Size);
  std::vector<uint8_t> in(Size, 0xFF);
  transfers.push_back(out);
  const uint8_t cmd = Size > 0 ? out[0] : 0;
  const bool busy = stuckBusy || busyPolls_ > 0;
  const auto address = static_cast<uint16_t>(Size >= 3 ? (out[1] << 8 | out[2]) : 0);
  const auto n = static_cast<uint16_t>(Size >= 3 ? Size - 3 : 0);
  if (cmd == 0x05) {
    ++statusReads;
    if (Size >= 2) in[1] = static_cast<uint8_t>((busy ? 0x01 : 0x00) | (writeEnabled ? 0x02 : 0));
    if (busyPolls_ > 0) --busyPolls_;
  } else if (busy) {
    // A memory in its write cycle ignores everything but the status read.
  } else if (cmd == 0x06 && Size == 1) {
    writeEnabled = true;
  } else if (cmd == 0x02 && Size >= 3) {
    log_.push_back("EE_WRITE " + std::to_string(address) + " " + std::to_string(n));
    if (writeEnabled) {
      const bool cut = writesUntilCut == 0;
      if (writesUntilCut > 0) --writesUntilCut;
      if (!ignoreWrites && !cut) {
        for (uint16_t i = 0; i < n; ++i) mem[(address + i) % kSize] = out[3 + i];
      }
      busyPolls_ = writeCyclePolls;
    }
    writeEnabled = false;
  } else if (cmd == 0x03 && Size >= 3) {
    log_.push_back("EE_READ " + std::to_string(address) + " " + std::to_string(n));
    for (uint16_t i = 0; i < n; ++i) in[3 + i] = mem[(address + i) % kSize];
  }
  for (uint8_t b : in) {
    if (rxBuf_ != nullptr && rxCount_ < rxSize_) rxBuf_[rxCount_++] = b;
  }
  return platform::ERR_OK;
}

void FakeEeprom::put16(uint16_t address, uint16_t value) {
  mem[address] = static_cast<uint8_t>(value & 0xFF);
  mem[(address + 1u) % kSize] = static_cast<uint8_t>(value >> 8);
}

uint16_t FakeEeprom::get16(uint16_t address) const {
  return static_cast<uint16_t>(mem[address] | mem[(address + 1u) % kSize] << 8);
}

// ---- tick, PWM/ADC, GPIO ------------------------------------------------------------------------

LDD_TDeviceData* FakeTi1::TI1_Init(LDD_TUserData*) {
  log_.push_back("TI1_Init");
  return &ti1Handle;
}

void FakeMotorTimer::FTM0_Init(int16_t MODULO) {
  log_.push_back("FTM0_Init " + std::to_string(MODULO));
}

void FakeMotorTimer::FTM0_SetCompareValues(const int16_t* values) {
  std::array<int16_t, 6> set{};
  std::copy_n(values, 6, set.begin());
  compareSets.push_back(set);
}

bool FakeMotorTimer::ADC_IsComplete(platform::AdcUnit unit, platform::AdcConversion c) {
  return complete_[static_cast<int>(unit)][static_cast<int>(c)];
}

uint16_t FakeMotorTimer::ADC_ReadResult(platform::AdcUnit unit, platform::AdcConversion c) {
  complete_[static_cast<int>(unit)][static_cast<int>(c)] = false;
  return result_[static_cast<int>(unit)][static_cast<int>(c)];
}

void FakeMotorTimer::complete(platform::AdcUnit unit, platform::AdcConversion c, uint16_t value) {
  complete_[static_cast<int>(unit)][static_cast<int>(c)] = true;
  result_[static_cast<int>(unit)][static_cast<int>(c)] = value;
}

void FakeGpio::GPIO_SetOutput(platform::Pin pin, bool high) {
  state(pin).latch = high;
  const std::string what = pinName(pin) + "=" + (high ? "1" : "0");
  ops.push_back({what, cpu_.masked});
  log_.push_back(what);
}

void FakeGpio::GPIO_SetDirection(platform::Pin pin, bool output) {
  state(pin).output = output;
  ops.push_back({pinName(pin) + (output ? " out" : " in"), cpu_.masked});
}

void FakeGpio::PORT_SetMux(platform::Pin pin, uint8_t function) {
  state(pin).mux = function;
  ops.push_back({pinName(pin) + " mux" + std::to_string(function), cpu_.masked});
}

// ---- the whole platform -------------------------------------------------------------------------

void FakePlatform::receive(Node& node, uint8_t buffer, FakeCan::Read read) {
  can.queue(buffer, read);
  node.CAN2_OnFullRxBuffer(nullptr, buffer);
}

void FakePlatform::tick(Node& node) {
  node.TI1_OnInterrupt(nullptr);
}

bool FakePlatform::logHasInOrder(const std::vector<std::string>& expected) const {
  auto it = log.begin();
  for (const std::string& e : expected) {
    it = std::find(it, log.end(), e);
    if (it == log.end()) return false;
    ++it;
  }
  return true;
}

int FakePlatform::logIndex(const std::string& entry) const {
  const auto it = std::find(log.begin(), log.end(), entry);
  return it == log.end() ? -1 : static_cast<int>(it - log.begin());
}

}  // namespace tavrix::testing
