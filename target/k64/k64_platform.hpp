// The platform interface on the real chip: register-level drivers for FlexCAN0, the two DSPI
// masters, the FTM1 tick, FTM0 + PDB0 + ADC0/ADC1, the ports, the oscillator, interrupt masking
// and the system reset.
//
// Each driver is one static instance (see main.cpp). Operations run in the contexts the platform
// interface names; each driver's interrupt entry (onInterrupt...) is called from its vector with
// the application whose events it raises.
#pragma once

#include <cstdint>

#include "firmware/platform/platform.hpp"

namespace tavrix::k64 {

// NVIC: priority level of one interrupt, pending clear, enable.
void nvicSetLevel(uint32_t irq, uint8_t level);
void nvicClearPending(uint32_t irq);
void nvicEnable(uint32_t irq);
void nvicDisable(uint32_t irq);

class K64Cpu final : public platform::Cpu {
 public:
  void PE_low_level_init() override;
  void Cpu_EnablePeripheralClocks() override;
  [[noreturn]] void Cpu_SystemReset() override;
  void OSC_SetCapLoad(uint8_t bits) override;
  // Nothing to do on the chip: interrupts arrive by themselves.
  void Cpu_Relax() override {}

 protected:
  uint8_t Cpu_ReadMaskAndBlock() override;
  void Cpu_RestoreMask(uint8_t mask) override;
};

class FlexCan0 final : public platform::Can2 {
 public:
  explicit FlexCan0(platform::Cpu& cpu) : cpu_(cpu) {}

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

  // Context: ISR, level 7 (message buffers): reads and clears the buffer flags at once, then the
  // transmit events, then the receive events, each in ascending buffer order.
  void onMessageBuffers(platform::PlatformEvents& app);
  // Context: ISR, level 7 (bus off).
  void onBusOff(platform::PlatformEvents& app);
  // Context: ISR, level 7 (error).
  void onError(platform::PlatformEvents& app);
  // Context: ISR, level 7 (transmit warning, receive warning, wake-up; never enabled).
  void onWarningOrWakeUp();

  static constexpr uint8_t kMaxDataLen = 8;
  static constexpr uint8_t kBuffersNumber = 5;
  static constexpr uint32_t kRxBufferMask = 0x1E;
  static constexpr uint32_t kTxBufferMask = 0x01;
  static constexpr uint32_t kInitialMask = 0x107C0000;

  bool EnUser = false;
  volatile uint32_t ErrorMask = 0;   // error-status bits seen by the error interrupt
  volatile uint32_t IntFlagReg = 0;  // buffer flags seen by the message-buffer interrupt

 private:
  void enterFreeze();
  void leaveFreeze();
  platform::LDD_TUserData* user_ = nullptr;
  platform::Cpu& cpu_;
};

// One DSPI master with its FIFOs off: a block is one chip-select cycle, moved a frame at a time by
// the receive-complete interrupt (each frame sent clocks one frame in).
class DspiMaster {
 public:
  DspiMaster(uintptr_t base, uint32_t ctar, uint32_t irq, uint8_t level, platform::Cpu& cpu)
      : base_(base), ctar_(ctar), irq_(irq), level_(level), cpu_(cpu) {}

  // Context: main loop (start-up).
  void init();
  // Context: main loop (or the control interrupt for the rotor sensor).
  platform::LDD_TError sendBlock(const uint8_t* bytes, const uint16_t* words, uint16_t size);
  platform::LDD_TError receiveBlock(uint8_t* bytes, uint16_t* words, uint16_t size);
  uint16_t received() const { return rxDone_; }
  bool idle() const { return txDone_ >= txSize_; }

  // Context: ISR, the master's level. One finished frame: store what came in, push the next.
  // Returns the events to raise.
  struct Events {
    bool blockSent = false;
    bool blockReceived = false;
    bool error = false;
  };
  Events onInterrupt();

  volatile uint8_t errFlags = 0;  // bit 0: receive overrun

 private:
  void push(uint16_t index);

  uintptr_t base_;
  uint32_t ctar_;
  uint32_t irq_;
  uint8_t level_;
  platform::Cpu& cpu_;
  // Send block: frames handed to the controller and frames finished on the wire.
  const uint8_t* txBytes_ = nullptr;
  const uint16_t* txWords_ = nullptr;
  volatile uint16_t txSize_ = 0;
  volatile uint16_t txHanded_ = 0;
  volatile uint16_t txDone_ = 0;
  // Receive block.
  uint8_t* rxBytes_ = nullptr;
  uint16_t* rxWords_ = nullptr;
  volatile uint16_t rxSize_ = 0;
  volatile uint16_t rxDone_ = 0;
  volatile bool rxArmed_ = false;
};

// SPI1, the rotor sensor: 16-bit frames.
class Dspi1Sensor final : public platform::Sm1 {
 public:
  explicit Dspi1Sensor(platform::Cpu& cpu);
  platform::LDD_TDeviceData* SM1_Init(platform::LDD_TUserData* UserDataPtr) override;
  platform::LDD_TError SM1_SendBlock(platform::LDD_TDeviceData* handle, const uint16_t* BufferPtr,
                                     uint16_t Size) override;
  platform::LDD_TError SM1_ReceiveBlock(platform::LDD_TDeviceData* handle, uint16_t* BufferPtr,
                                        uint16_t Size) override;
  uint16_t SM1_GetReceivedDataNum(platform::LDD_TDeviceData* handle) override;
  // Context: ISR, level 2.
  void onInterrupt(platform::PlatformEvents& app);

 private:
  DspiMaster master_;
  platform::LDD_TUserData* user_ = nullptr;
};

// SPI0, the serial EEPROM: 8-bit frames.
class Dspi0Eeprom final : public platform::Sm3 {
 public:
  explicit Dspi0Eeprom(platform::Cpu& cpu);
  platform::LDD_TDeviceData* SM3_Init(platform::LDD_TUserData* UserDataPtr) override;
  platform::LDD_TError SM3_SendBlock(platform::LDD_TDeviceData* handle, const uint8_t* BufferPtr,
                                     uint16_t Size) override;
  platform::LDD_TError SM3_ReceiveBlock(platform::LDD_TDeviceData* handle, uint8_t* BufferPtr,
                                        uint16_t Size) override;
  uint16_t SM3_GetReceivedDataNum(platform::LDD_TDeviceData* handle) override;
  bool SM3_IsIdle(platform::LDD_TDeviceData* handle) override;
  // Context: ISR, level 7.
  void onInterrupt(platform::PlatformEvents& app);

 private:
  DspiMaster master_;
  platform::LDD_TUserData* user_ = nullptr;
};

// The 1 ms tick on FTM1.
class Ftm1Tick final : public platform::Ti1 {
 public:
  platform::LDD_TDeviceData* TI1_Init(platform::LDD_TUserData* UserDataPtr) override;
  void FTM1_SetModulo(uint16_t modulo) override;
  // Context: ISR, level 10: acknowledges the overflow, then the tick event.
  void onInterrupt(platform::PlatformEvents& app);

 private:
  platform::LDD_TUserData* user_ = nullptr;
};

// FTM0 (PWM), PDB0 (sampling instants), ADC0 and ADC1.
class MotorDrive final : public platform::MotorTimer {
 public:
  explicit MotorDrive(platform::Cpu& cpu) : cpu_(cpu) {}
  void FTM0_Init(int16_t MODULO) override;
  void FTM0_SetCompareValues(const int16_t values[6]) override;
  void FTM0_RestartPeriod() override;
  void FTM0_SetModulo(int16_t MODULO) override;
  void FTM0_ClearOverflowFlag() override;
  void PDB0_SetDelaysAndArm(uint16_t adc0A, uint16_t adc0B, uint16_t adc1A,
                            uint16_t adc1B) override;
  void PDB0_Disarm() override;
  void ADC1_SelectChannels(uint8_t channelA, uint8_t channelB) override;
  void ADC1_SelectInputSet(platform::AdcInputSet set) override;
  uint16_t ADC1_ReadOnDemand() override;
  bool ADC_IsComplete(platform::AdcUnit unit, platform::AdcConversion conversion) override;
  uint16_t ADC_ReadResult(platform::AdcUnit unit, platform::AdcConversion conversion) override;

  // Counter limits of a PWM period of MODULO counts: start value -MODULO/2, modulo MODULO/2 - 1.
  static uint16_t startValue(int16_t MODULO);
  static uint16_t moduloValue(int16_t MODULO);

 private:
  platform::Cpu& cpu_;
  uint16_t start_ = 0;  // the start value in force, reloaded by FTM0_RestartPeriod
};

class Ports final : public platform::Gpio {
 public:
  void GPIO_SetOutput(platform::Pin pin, bool high) override;
  bool GPIO_GetOutputLatch(platform::Pin pin) override;
  void GPIO_SetDirection(platform::Pin pin, bool output) override;
  bool GPIO_GetInput(platform::Pin pin) override;
  void PORT_SetMux(platform::Pin pin, uint8_t function) override;
};

}  // namespace tavrix::k64
