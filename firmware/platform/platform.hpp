// The platform interface: the only way firmware reaches hardware.
//
// One small interface per driver component, under the components' operation names, result codes
// and event names. The simulated chip (sim/mcu) and the real chip (target/k64) implement them; the
// node is constructed with a Platform bundling one of each, and the platform raises events by
// calling the node's PlatformEvents handlers in interrupt context.
//
// The interfaces have protected, non-virtual destructors: nothing is ever deleted through them
// (no heap), and a virtual destructor would drag operator delete into the firmware.
#pragma once

#include <cstdint>

#include "firmware/platform/types.hpp"

namespace tavrix::platform {

// CAN controller (FlexCAN0): buffer 0 transmits, buffers 1..4 receive, one global acceptance mask.
// All operations are called from the main loop except CAN2_ReadFrame (CAN interrupt, level 7).
class Can2 {
 public:
  virtual LDD_TDeviceData* CAN2_Init(LDD_TUserData* UserDataPtr) = 0;
  virtual LDD_TError CAN2_Disable(LDD_TDeviceData* handle) = 0;
  virtual LDD_TError CAN2_Enable(LDD_TDeviceData* handle) = 0;
  // AccMask in register format: standard identifier bit k at bit k + 18.
  virtual LDD_TError CAN2_SetAcceptanceMask(LDD_TDeviceData* handle,
                                            LDD_CAN_TBufferIndex BufferIdx, uint32_t AccMask) = 0;
  virtual LDD_TError CAN2_SetRxBufferID(LDD_TDeviceData* handle, LDD_CAN_TBufferIndex BufferIdx,
                                        LDD_CAN_TMessageID MessageID) = 0;
  virtual LDD_TError CAN2_SendFrame(LDD_TDeviceData* handle, LDD_CAN_TBufferIndex BufferIdx,
                                    LDD_CAN_TFrame* Frame) = 0;
  virtual LDD_TError CAN2_ReadFrame(LDD_TDeviceData* handle, LDD_CAN_TBufferIndex BufferIdx,
                                    LDD_CAN_TFrame* Frame) = 0;

 protected:
  ~Can2() = default;
};

// SPI1 master carrying the rotor-position sensor: 16-bit frames, buffers of 16-bit words.
class Sm1 {
 public:
  virtual LDD_TDeviceData* SM1_Init(LDD_TUserData* UserDataPtr) = 0;
  // Size counts 16-bit frames. 8 while the previous send block is still being handed over.
  virtual LDD_TError SM1_SendBlock(LDD_TDeviceData* handle, const uint16_t* BufferPtr,
                                   uint16_t Size) = 0;
  // 8 while an earlier receive block is incomplete (that block stays armed).
  virtual LDD_TError SM1_ReceiveBlock(LDD_TDeviceData* handle, uint16_t* BufferPtr,
                                      uint16_t Size) = 0;
  // Frames stored so far into the receive block armed last.
  virtual uint16_t SM1_GetReceivedDataNum(LDD_TDeviceData* handle) = 0;

 protected:
  ~Sm1() = default;
};

// SPI0 master carrying the serial EEPROM: 8-bit frames, byte buffers.
class Sm3 {
 public:
  virtual LDD_TDeviceData* SM3_Init(LDD_TUserData* UserDataPtr) = 0;
  virtual LDD_TError SM3_SendBlock(LDD_TDeviceData* handle, const uint8_t* BufferPtr,
                                   uint16_t Size) = 0;
  virtual LDD_TError SM3_ReceiveBlock(LDD_TDeviceData* handle, uint8_t* BufferPtr,
                                      uint16_t Size) = 0;
  virtual uint16_t SM3_GetReceivedDataNum(LDD_TDeviceData* handle) = 0;
  // True when no frame is being clocked and the chip select is released: the previous block
  // has completely left the master.
  virtual bool SM3_IsIdle(LDD_TDeviceData* handle) = 0;

 protected:
  ~Sm3() = default;
};

// The 1 ms tick on FTM1 (TU1 below TI1).
class Ti1 {
 public:
  virtual LDD_TDeviceData* TI1_Init(LDD_TUserData* UserDataPtr) = 0;
  // New tick rate: counter and start value zeroed, modulo replaced. Main loop.
  virtual void FTM1_SetModulo(uint16_t modulo) = 0;

 protected:
  ~Ti1() = default;
};

// Core services: clocks, the nestable critical section, reset, the oscillator trim and the
// busy-wait hook.
class Cpu {
 public:
  // Low-level start-up: NMI pin, no low-power modes, FTM0 interrupt at level 7, priority floor.
  virtual void PE_low_level_init() = 0;
  // Clocks of ports A to E, ADC0, FTM0, PDB0 and ADC1.
  virtual void Cpu_EnablePeripheralClocks() = 0;

  // Enter the critical section: every interrupt but the non-maskable one is blocked until the
  // outermost section ends. Nestable; usable from any context.
  void EnterCritical() {
    const uint8_t mask = Cpu_ReadMaskAndBlock();
    ++SR_lock;
    if (SR_lock == 1) SR_reg = mask;
  }
  void ExitCritical() {
    --SR_lock;
    if (SR_lock == 0) Cpu_RestoreMask(SR_reg);
  }

  // Requests a system reset and waits for it; never returns.
  [[noreturn]] virtual void Cpu_SystemReset() = 0;
  // Crystal-oscillator load-capacitance selection, 4 bits.
  virtual void OSC_SetCapLoad(uint8_t bits) = 0;
  // Called once per turn by every busy-wait. A no-op on the chip; in the simulator it is where
  // time advances and pending interrupts are delivered.
  virtual void Cpu_Relax() = 0;

  uint8_t SR_lock = 0;  // nesting count of the critical section
  uint8_t SR_reg = 0;   // interrupt mask saved by the outermost Enter

 protected:
  ~Cpu() = default;
  // Reads the interrupt mask (non-zero: blocked), then blocks all maskable interrupts.
  virtual uint8_t Cpu_ReadMaskAndBlock() = 0;
  // Restores the interrupt mask read by Cpu_ReadMaskAndBlock.
  virtual void Cpu_RestoreMask(uint8_t mask) = 0;
};

// RAII guard for the critical section.
class CriticalSection {
 public:
  explicit CriticalSection(Cpu& cpu) : cpu_(cpu) { cpu_.EnterCritical(); }
  ~CriticalSection() { cpu_.ExitCritical(); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  Cpu& cpu_;
};

enum class AdcUnit : uint8_t { ADC0 = 0, ADC1 = 1 };
enum class AdcConversion : uint8_t { A = 0, B = 1 };
enum class AdcInputSet : uint8_t { a = 0, b = 1 };

// The motor-drive half: PWM timer FTM0, delay block PDB0, converters ADC0 and ADC1.
class MotorTimer {
 public:
  // The whole set-up of FTM0, PDB0, both ADCs and their interrupts (ADC at level 3, FTM0 at 5)
  // for a period of MODULO bus clocks; the counter starts and the period interrupt with it.
  virtual void FTM0_Init(int16_t MODULO) = 0;
  // Compare values of channels 0..5, then load-OK: the six edges of the next period.
  virtual void FTM0_SetCompareValues(const int16_t values[6]) = 0;
  // Counter stop, start value reload, counter reset, output initialisation, counter restart.
  virtual void FTM0_RestartPeriod() = 0;
  // Modulo and start value from MODULO, then synchronisation at the counter maximum and a
  // software synchronisation: the new period applies from the next reload.
  virtual void FTM0_SetModulo(int16_t MODULO) = 0;
  virtual void FTM0_ClearOverflowFlag() = 0;

  // Pre-trigger delays of PDB0 (ADC0 A, B on channel 0; ADC1 A, B on channel 1), then enable and
  // load-OK: one set of four conversions in the following period.
  virtual void PDB0_SetDelaysAndArm(uint16_t adc0A, uint16_t adc0B, uint16_t adc1A,
                                    uint16_t adc1B) = 0;
  virtual void PDB0_Disarm() = 0;

  // ADC1 channels of the next triggered conversions A and B (with completion interrupt).
  virtual void ADC1_SelectChannels(uint8_t channelA, uint8_t channelB) = 0;
  virtual void ADC1_SelectInputSet(AdcInputSet set) = 0;
  // Conversion A on channel 6 of input set b without interrupt; waits for the next hardware
  // trigger and the conversion, returns the raw result. Main loop.
  virtual uint16_t ADC1_ReadOnDemand() = 0;

  // Conversion-complete flag of one conversion of one converter.
  virtual bool ADC_IsComplete(AdcUnit unit, AdcConversion conversion) = 0;
  // Raw 12-bit result; reading it clears the conversion's complete flag.
  virtual uint16_t ADC_ReadResult(AdcUnit unit, AdcConversion conversion) = 0;

 protected:
  ~MotorTimer() = default;
};

// GPIO ports and pin multiplexing.
class Gpio {
 public:
  virtual void GPIO_SetOutput(Pin pin, bool high) = 0;        // output latch
  virtual bool GPIO_GetOutputLatch(Pin pin) = 0;
  virtual void GPIO_SetDirection(Pin pin, bool output) = 0;
  virtual bool GPIO_GetInput(Pin pin) = 0;                    // level at the pin
  virtual void PORT_SetMux(Pin pin, uint8_t function) = 0;

 protected:
  ~Gpio() = default;
};

// Everything the node needs from the chip.
struct Platform {
  Can2& can2;
  Sm1& sm1;
  Sm3& sm3;
  Ti1& ti1;
  Cpu& cpu;
  MotorTimer& motorTimer;
  Gpio& gpio;
};

// The application's interrupt-level entry points. The platform calls each in the interrupt named,
// at the level of types.hpp; the handlers with a default body do nothing in this system.
class PlatformEvents {
 public:
  // PWM period (FTM0 overflow), level 5.
  virtual void FTM0_Interrupt() = 0;
  // 1 ms tick (FTM1 overflow), level 10.
  virtual void TI1_OnInterrupt(LDD_TUserData* UserDataPtr) = 0;
  // CAN message buffers, level 7: once per flagged receive buffer, ascending.
  virtual void CAN2_OnFullRxBuffer(LDD_TUserData* UserDataPtr, LDD_CAN_TBufferIndex BufferIdx) = 0;
  virtual void CAN2_OnFreeTxBuffer(LDD_TUserData*, LDD_CAN_TBufferIndex) {}
  virtual void CAN2_OnBusOff(LDD_TUserData*) {}
  virtual void CAN2_OnError(LDD_TUserData*) {}
  // SPI1 receive block complete, level 2.
  virtual void SM1_OnBlockReceived(LDD_TUserData* UserDataPtr) = 0;
  virtual void SM1_OnBlockSent(LDD_TUserData*) {}
  virtual void SM1_OnError(LDD_TUserData*) {}
  virtual void SM3_OnBlockSent(LDD_TUserData*) {}
  virtual void SM3_OnBlockReceived(LDD_TUserData*) {}
  virtual void SM3_OnError(LDD_TUserData*) {}
  // ADC1 / ADC0 conversion complete, level 3.
  virtual void AD1_OnMeasurementComplete(LDD_TUserData* UserDataPtr) = 0;
  virtual void AD2_OnMeasurementComplete(LDD_TUserData* UserDataPtr) = 0;
  virtual void Cpu_OnNMI() {}

 protected:
  ~PlatformEvents() = default;
};

// A program the platform runs: its event handlers plus the entry point. The node is one; the chip
// calls main() after its reset entry, the simulator on every (re)construction.
class Application : public PlatformEvents {
 public:
  [[noreturn]] virtual void main() = 0;

 protected:
  ~Application() = default;
};

}  // namespace tavrix::platform
