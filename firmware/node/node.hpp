// The node: one object that owns every subsystem and all firmware state.
//
// Constructing a Node is the power-on reset: every member starts at its initial value. The node
// never depends on its destructor; a restart constructs a fresh Node over the old one (the
// simulator) or resets the chip (one static Node). main() brings the platform up in its fixed
// order, fills the property table from code and from the EEPROM, then runs the main loop for ever.
//
// Subsystems are members that reach their siblings through the node: software timers, the
// received-frame ring and dispatcher, the EEPROM driver, the property protocol, the logger, motor
// control and the CANopen slave.
#pragma once

#include <cstdint>

#include "firmware/canopen/canopen.hpp"
#include "firmware/motor/motor.hpp"
#include "firmware/node/comm_ring.hpp"
#include "firmware/node/logger.hpp"
#include "firmware/node/property_protocol.hpp"
#include "firmware/properties/property_table.hpp"
#include "firmware/node/sermem.hpp"
#include "firmware/node/timers.hpp"
#include "firmware/platform/platform.hpp"

namespace tavrix {

class Node final : public platform::Application {
 public:
  static constexpr int16_t kFirmwareId = 4215;
  static constexpr int16_t kStartCountsPerRev = 4096;
  static constexpr uint16_t kNodeNumberMask = 0x1F;
  // Receive buffers 2..4: group 0, group 1 and destination 0 of the property protocol.
  static constexpr uint32_t kRxGroup0Id = 0x400;
  static constexpr uint32_t kRxGroup1Id = 0x401;
  static constexpr uint32_t kRxBroadcastId = 0x000;
  static constexpr uint32_t kLogDumpDelay_ticks = 1;
  static constexpr uint32_t kMotorControlDelay_ticks = 150;

#ifndef TAVRIX_LOG_BUFFER_EXTERNAL
  // The node holds its own logger buffer (the twin: every node of a process has its own).
  explicit Node(platform::Platform& platform);
#endif
  // The logger buffer is the creator's (the chip: one array in a memory section of its own).
  Node(platform::Platform& platform, LogBuffer& logBuffer);
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Context: main loop.
  // Start-up, then the main loop for ever: timerHandle, commHandle, Cpu_Relax. Never returns;
  // restarts come only through a system reset.
  [[noreturn]] void main() override;

  // Context: main loop.
  // Everything main() does before its loop, in the fixed order: platform bring-up, restore from
  // the EEPROM, derived constants and gains, mode 0, PWM timer, first software timers.
  void startUp();

  // Context: main loop (start-up).
  // The static GPIO outputs at their start levels.
  void initGPIO();

  // Context: main loop.
  // errPosConvert, errPosSat and velCoeff from POSITION_SCALE; a zero divisor gives 0.
  void computePositionScaling();

  // Context: main loop.
  // The gain computations from the motor parameters in the table: current (CUR_KP ...),
  // velocity (VEL_KP ...) and position (POS_KP ...) controllers.
  void computeCurrentGains();
  void computeVelocityGains();
  void computePositionGains();

  // Event handlers the platform calls.
  // Context: ISR, level 5 (PWM period).
  void FTM0_Interrupt() override;
  // Context: ISR, level 10 (tick).
  void TI1_OnInterrupt(platform::LDD_TUserData* UserDataPtr) override;
  // Context: ISR, level 7 (CAN message buffers).
  void CAN2_OnFullRxBuffer(platform::LDD_TUserData* UserDataPtr,
                           platform::LDD_CAN_TBufferIndex BufferIdx) override;
  // Context: ISR, level 2 (SPI1).
  void SM1_OnBlockReceived(platform::LDD_TUserData* UserDataPtr) override;
  // Context: ISR, level 3 (ADC1 conversion complete).
  void AD1_OnMeasurementComplete(platform::LDD_TUserData* UserDataPtr) override;
  // Context: ISR, level 3 (ADC0 conversion complete).
  void AD2_OnMeasurementComplete(platform::LDD_TUserData* UserDataPtr) override;

  platform::Platform& hw;

  // The property table, shared by every context (see property_table.hpp for ownership).
  PropertyTable propertyTable;
  int16_t (&property)[kPropertyCount] = propertyTable.property;

  // Device handles from the initialisations. Owner: main loop.
  platform::LDD_TDeviceData* CANdevice = nullptr;
  platform::LDD_TDeviceData* SPI0device = nullptr;
  platform::LDD_TDeviceData* SPI1device = nullptr;
  platform::LDD_TDeviceData* Timer1 = nullptr;

  // Slot of the pending automatic homing, -1 when none. Owner: main loop.
  int32_t m_autohoming_event = -1;

  // Position-error scaling derived from POSITION_SCALE. Owner: main loop; read by the control
  // interrupt (single 32/16-bit loads).
  int32_t errPosConvert = 0;  // 2 pi / POSITION_SCALE in units of 2^-24
  int32_t errPosSat = 0;      // 2^31 / errPosConvert, unsigned division
  int16_t velCoeff = 0;       // 119 * 2^15 / POSITION_SCALE

  // Event results. SM1_Semaphore: set by the SPI1 event, cleared and polled by the control code.
  // ADC results: written by the ADC events, read by the control code and the main loop.
  volatile uint8_t SM1_Semaphore = 0;
  volatile int16_t result0RA = 0;
  volatile int16_t result0RB = 0;
  volatile int16_t result1RA = 0;
  volatile int16_t result1RB = 0;

  // Rotor-sensor start-up words and the buffer of their answer (not read). Members rather than
  // locals: start-up does not wait for the transfer, which outlives startUp(). Owner: main loop
  // (start-up), then the SPI1 driver.
  uint16_t SPI_DataOut[3] = {0x7800, 0x0005, 0x0000};
  uint16_t SPI_DataIn[3] = {};

  Timers timers{*this};
  CommRing ring{*this};
  Sermem sermem{*this};
  PropertyProtocol protocol{*this};
  Logger logger;
  Motor drive{*this};
  CanOpen canopen{*this};

  // Context: main loop. property[n] (2 bytes) or the pair n, n + 1 (4 bytes) from EEPROM byte
  // address 2n, least significant byte first, stored in one access. n must be inside the table.
  void readProperty(int16_t n, uint8_t bytes);

 private:
  // Context: main loop (start-up). Restores one group of the start-up restore list.
  void restore(RestoreGroup group);

#ifndef TAVRIX_LOG_BUFFER_EXTERNAL
  // Zeroed with the node, so a dump never sends a word that was not stored.
  LogBuffer ownLogBuffer_{};
#endif
};

}  // namespace tavrix
