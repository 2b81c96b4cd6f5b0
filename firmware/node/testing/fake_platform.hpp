// A fake platform for the node's unit tests (host only).
//
// Each driver component records its calls; the CAN fake serves scripted frames and results and
// keeps the frames sent; the SM3 fake is a serial EEPROM answering the real command set byte by
// byte (write enable, write, read, read status with a write cycle of a few status polls). Events
// are delivered by calling the node's handlers directly. Cpu_Relax counts turns, runs scheduled
// actions (so waits end) and aborts a test that spins far too long. Cpu_SystemReset leaves the
// process with kResetExitCode, for death tests.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "firmware/platform/platform.hpp"

namespace tavrix {
class Node;
}

namespace tavrix::testing {

inline constexpr int kResetExitCode = 42;

// "PTB0" etc.
std::string pinName(platform::Pin pin);

// One frame as the fake CAN controller holds it.
struct CanFrame {
  uint32_t id = 0;
  uint8_t type = platform::LDD_CAN_DATA_FRAME;
  uint8_t length = 0;
  std::array<uint8_t, 8> data = {};
};
CanFrame dataFrame(uint32_t id, std::initializer_list<uint8_t> bytes);

class FakeCpu final : public platform::Cpu {
 public:
  explicit FakeCpu(std::vector<std::string>& log) : log_(log) {}
  void PE_low_level_init() override { log_.push_back("PE_low_level_init"); }
  void Cpu_EnablePeripheralClocks() override { log_.push_back("Cpu_EnablePeripheralClocks"); }
  [[noreturn]] void Cpu_SystemReset() override;
  void OSC_SetCapLoad(uint8_t bits) override { capLoads.push_back(bits); }
  void Cpu_Relax() override;

  // Runs `action` at the `turns`-th Cpu_Relax from now.
  void schedule(uint64_t turns, std::function<void()> action);
  // Runs at every Cpu_Relax (after the scheduled actions).
  std::function<void()> onRelax;

  bool masked = false;
  uint64_t relaxCount = 0;
  uint64_t relaxLimit = 50'000'000;  // a test spinning longer is hung
  std::vector<uint8_t> capLoads;

 protected:
  uint8_t Cpu_ReadMaskAndBlock() override;
  void Cpu_RestoreMask(uint8_t mask) override;

 private:
  std::vector<std::string>& log_;
  std::multimap<uint64_t, std::function<void()>> scheduled_;
};

class FakeCan final : public platform::Can2 {
 public:
  explicit FakeCan(std::vector<std::string>& log) : log_(log) {}

  // One scripted answer of CAN2_ReadFrame: `busyReads` answers 8 first, then `result` with the
  // frame (results 0 and 13) or without it (others).
  struct Read {
    CanFrame frame;
    platform::LDD_TError result = platform::ERR_OK;
    int busyReads = 0;
  };
  void queue(uint8_t buffer, Read read) { rx[buffer].push_back(read); }

  platform::LDD_TDeviceData* CAN2_Init(platform::LDD_TUserData*) override;
  platform::LDD_TError CAN2_Disable(platform::LDD_TDeviceData*) override;
  platform::LDD_TError CAN2_Enable(platform::LDD_TDeviceData*) override;
  platform::LDD_TError CAN2_SetAcceptanceMask(platform::LDD_TDeviceData*, uint8_t BufferIdx,
                                              uint32_t AccMask) override;
  platform::LDD_TError CAN2_SetRxBufferID(platform::LDD_TDeviceData*, uint8_t BufferIdx,
                                          uint32_t MessageID) override;
  platform::LDD_TError CAN2_SendFrame(platform::LDD_TDeviceData*, uint8_t BufferIdx,
                                      platform::LDD_CAN_TFrame* Frame) override;
  platform::LDD_TError CAN2_ReadFrame(platform::LDD_TDeviceData*, uint8_t BufferIdx,
                                      platform::LDD_CAN_TFrame* Frame) override;

  std::array<std::deque<Read>, platform::kCanBufferCount> rx;
  std::vector<CanFrame> sent;
  int sendBusy = 0;  // the next sends answer 8 this many times
  int sendBusyAnswers = 0;
  int readCalls = 0;
  bool enabled = true;  // as after CAN2_Init, so tests need not run start-up
  uint32_t mask = 0;
  std::array<uint32_t, platform::kCanBufferCount> rxIds = {};

 private:
  std::vector<std::string>& log_;
};

class FakeSm1 final : public platform::Sm1 {
 public:
  explicit FakeSm1(std::vector<std::string>& log) : log_(log) {}
  platform::LDD_TDeviceData* SM1_Init(platform::LDD_TUserData*) override;
  platform::LDD_TError SM1_SendBlock(platform::LDD_TDeviceData*, const uint16_t* BufferPtr,
                                     uint16_t Size) override;
  platform::LDD_TError SM1_ReceiveBlock(platform::LDD_TDeviceData*, uint16_t* BufferPtr,
                                        uint16_t Size) override;
  uint16_t SM1_GetReceivedDataNum(platform::LDD_TDeviceData*) override { return 0; }

  int sendBusy = 0;  // the next sends answer 8 this many times
  std::vector<std::vector<uint16_t>> sentBlocks;
  // Every accepted send fills the armed receive block with `answer` (the rotor encoder's frame)
  // and then runs `onBlockReceived` (the harness raises the SPI1 event there).
  uint16_t answer = 0;
  std::function<void()> onBlockReceived;

 private:
  std::vector<std::string>& log_;
  uint16_t* rxBuf_ = nullptr;
  uint16_t rxSize_ = 0;
};

// A serial EEPROM with 16-bit byte addresses behind the SPI0 master.
class FakeEeprom final : public platform::Sm3 {
 public:
  static constexpr size_t kSize = 65536;
  explicit FakeEeprom(std::vector<std::string>& log) : mem(kSize, 0xFF), log_(log) {}

  platform::LDD_TDeviceData* SM3_Init(platform::LDD_TUserData*) override;
  platform::LDD_TError SM3_SendBlock(platform::LDD_TDeviceData*, const uint8_t* BufferPtr,
                                     uint16_t Size) override;
  platform::LDD_TError SM3_ReceiveBlock(platform::LDD_TDeviceData*, uint8_t* BufferPtr,
                                        uint16_t Size) override;
  uint16_t SM3_GetReceivedDataNum(platform::LDD_TDeviceData*) override { return rxCount_; }
  bool SM3_IsIdle(platform::LDD_TDeviceData*) override { return true; }

  void put16(uint16_t address, uint16_t value);
  uint16_t get16(uint16_t address) const;

  std::vector<uint8_t> mem;
  int writeCyclePolls = 2;    // status reads that still show busy after each write
  bool stuckBusy = false;     // the busy bit never clears
  bool ignoreWrites = false;  // the array is never changed
  int writesUntilCut = -1;    // >= 0: that many more writes land, the later ones are lost
  int sendBusy = 0;           // the next sends answer 8 this many times
  bool writeEnabled = false;
  int statusReads = 0;
  std::vector<std::vector<uint8_t>> transfers;  // every chip-select cycle, bytes sent

 private:
  std::vector<std::string>& log_;
  int busyPolls_ = 0;
  uint8_t* rxBuf_ = nullptr;
  uint16_t rxSize_ = 0;
  uint16_t rxCount_ = 0;
};

class FakeTi1 final : public platform::Ti1 {
 public:
  explicit FakeTi1(std::vector<std::string>& log) : log_(log) {}
  platform::LDD_TDeviceData* TI1_Init(platform::LDD_TUserData*) override;
  void FTM1_SetModulo(uint16_t modulo) override { modulos.push_back(modulo); }
  std::vector<uint16_t> modulos;

 private:
  std::vector<std::string>& log_;
};

class FakeMotorTimer final : public platform::MotorTimer {
 public:
  explicit FakeMotorTimer(std::vector<std::string>& log) : log_(log) {}
  void FTM0_Init(int16_t MODULO) override;
  void FTM0_SetCompareValues(const int16_t* values) override;
  void FTM0_RestartPeriod() override { ++restarts; }
  void FTM0_SetModulo(int16_t MODULO) override { modulos.push_back(MODULO); }
  void FTM0_ClearOverflowFlag() override { ++overflowClears; }
  void PDB0_SetDelaysAndArm(uint16_t adc0A, uint16_t adc0B, uint16_t adc1A,
                            uint16_t adc1B) override {
    pdbArms.push_back({adc0A, adc0B, adc1A, adc1B});
  }
  void PDB0_Disarm() override { ++pdbDisarms; }
  void ADC1_SelectChannels(uint8_t channelA, uint8_t channelB) override {
    adc1Channels.emplace_back(channelA, channelB);
  }
  void ADC1_SelectInputSet(platform::AdcInputSet set) override { adc1InputSet = set; }
  uint16_t ADC1_ReadOnDemand() override { return 0; }
  bool ADC_IsComplete(platform::AdcUnit unit, platform::AdcConversion c) override;
  uint16_t ADC_ReadResult(platform::AdcUnit unit, platform::AdcConversion c) override;

  // Completes conversion c of `unit` with `value`.
  void complete(platform::AdcUnit unit, platform::AdcConversion c, uint16_t value);

  std::vector<int16_t> modulos;
  std::vector<std::array<int16_t, 6>> compareSets;  // every compare set written, channels 0..5
  int restarts = 0;                                 // FTM0_RestartPeriod calls
  std::vector<std::array<uint16_t, 4>> pdbArms;     // delays ADC0 A, B, ADC1 A, B of each arming
  std::vector<std::pair<uint8_t, uint8_t>> adc1Channels;  // ADC1 A, B channel selections
  int overflowClears = 0;
  int pdbDisarms = 0;
  platform::AdcInputSet adc1InputSet = platform::AdcInputSet::a;

 private:
  std::vector<std::string>& log_;
  bool complete_[2][2] = {};
  uint16_t result_[2][2] = {};
};

class FakeGpio final : public platform::Gpio {
 public:
  FakeGpio(std::vector<std::string>& log, FakeCpu& cpu) : log_(log), cpu_(cpu) {}
  void GPIO_SetOutput(platform::Pin pin, bool high) override;
  bool GPIO_GetOutputLatch(platform::Pin pin) override { return state(pin).latch; }
  void GPIO_SetDirection(platform::Pin pin, bool output) override;
  bool GPIO_GetInput(platform::Pin pin) override { return state(pin).latch; }
  void PORT_SetMux(platform::Pin pin, uint8_t function) override;

  struct PinState {
    bool latch = false;
    bool output = false;
    uint8_t mux = 0;
  };
  struct Op {
    std::string what;  // "PTC1=1", "PTC1 out", "PTC1 mux1"
    bool masked;       // inside the critical section
  };
  PinState& state(platform::Pin pin) { return pins_[pinName(pin)]; }
  std::vector<Op> ops;

 private:
  std::vector<std::string>& log_;
  FakeCpu& cpu_;
  std::map<std::string, PinState> pins_;
};

// The whole fake platform. `log` holds the calls of every component in order (driver calls,
// EEPROM reads and writes as "EE_READ <address> <n>" / "EE_WRITE <address> <n>", pin levels).
class FakePlatform {
 public:
  FakePlatform() = default;
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  // Queues `read` on receive buffer `buffer` and raises the receive event on `node`.
  void receive(Node& node, uint8_t buffer, FakeCan::Read read);
  void receive(Node& node, uint8_t buffer, const CanFrame& frame) {
    receive(node, buffer, FakeCan::Read{frame});
  }
  // One tick on `node`.
  void tick(Node& node);

  // True when `expected` occur in `log` in this order (other entries may lie between).
  bool logHasInOrder(const std::vector<std::string>& expected) const;
  // Index of the first log entry equal to `entry`, or -1.
  int logIndex(const std::string& entry) const;

  std::vector<std::string> log;
  FakeCpu cpu{log};
  FakeCan can{log};
  FakeSm1 sm1{log};
  FakeEeprom eeprom{log};
  FakeTi1 ti1{log};
  FakeMotorTimer motorTimer{log};
  FakeGpio gpio{log, cpu};
  platform::Platform platform{can, sm1, eeprom, ti1, cpu, motorTimer, gpio};
};

}  // namespace tavrix::testing
