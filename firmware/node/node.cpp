#include "firmware/node/node.hpp"

#include "firmware/control/gains.hpp"
#include "firmware/math/arith.hpp"

namespace tavrix {

namespace pins = platform::pins;
using platform::AdcConversion;
using platform::AdcInputSet;
using platform::AdcUnit;

#ifndef TAVRIX_LOG_BUFFER_EXTERNAL
Node::Node(platform::Platform& platform) : Node(platform, ownLogBuffer_) {}
#endif

Node::Node(platform::Platform& platform, LogBuffer& logBuffer)
    : hw(platform), logger(*this, logBuffer) {}

// Context: main loop.
void Node::main() {
  startUp();
  for (;;) {
    timers.timerHandle();
    ring.commHandle();
    hw.cpu.Cpu_Relax();
  }
}

// Context: main loop (start-up).
void Node::initGPIO() {
  struct PinLevel {
    platform::Pin pin;
    bool high;
  };
  static constexpr PinLevel kStart[12] = {
      {pins::PTA10, false}, {pins::PTA11, false}, {pins::PTA13, false}, {pins::PTA15, false},
      {pins::PTA17, false}, {pins::PTB0, true},   {pins::PTB2, false},  {pins::PTB8, false},
      {pins::PTB7, false},  {pins::PTB20, false}, {pins::PTD14, true},  {pins::PTD10, true}};
  for (const PinLevel& p : kStart) {
    hw.gpio.GPIO_SetOutput(p.pin, p.high);
    hw.gpio.GPIO_SetDirection(p.pin, true);
    hw.gpio.PORT_SetMux(p.pin, platform::kPinMuxGpio);
  }
}

// Context: main loop (start-up).
void Node::restore(RestoreGroup group) {
  for (const RestoreEntry& e : kRestoreList) {
    if (e.group == group) readProperty(e.number, e.bytes);
  }
}

// Context: main loop.
void Node::readProperty(int16_t n, uint8_t bytes) {
  int8_t b[4] = {};
  sermem.sermem_ReadBlock(static_cast<int16_t>(2 * n), b, static_cast<int8_t>(bytes));
  const auto u = [&b](int i) { return static_cast<uint32_t>(static_cast<uint8_t>(b[i])); };
  if (bytes == 4) {
    // A pair is stored whole, in one access, as the control interrupt reads it.
    propertyTable.set32(n, static_cast<int32_t>(u(0) | u(1) << 8 | u(2) << 16 | u(3) << 24));
  } else {
    propertyTable.set16(n, static_cast<int16_t>(u(0) | u(1) << 8));
  }
}

// Context: main loop.
void Node::computePositionScaling() {
  // pi * 2^29 rounded; divided by the counts per error unit, in units of 2^-24 after the shift.
  constexpr int32_t kPiQ29 = 1686629713;
  constexpr int32_t kVelocityScale = 3899392;  // 119 * 2^15
  const int16_t scale = property[prop::POSITION_SCALE];
  errPosConvert = math::div32(kPiQ29, scale) >> 4;
  errPosSat = static_cast<int32_t>(math::udiv32(0x80000000u, static_cast<uint32_t>(errPosConvert)));
  velCoeff = static_cast<int16_t>(math::div32(kVelocityScale, scale));
}

// Context: main loop.
void Node::computeCurrentGains() {
  gainsMotorParamsToCurrentGains(
      GainTargets{propertyTable, drive.foc.dAxisPI, drive.foc.qAxisPI, drive.velPI, drive.posPI});
}

// Context: main loop.
void Node::computeVelocityGains() {
  gainsMotorParamsToVelocityGains(
      GainTargets{propertyTable, drive.foc.dAxisPI, drive.foc.qAxisPI, drive.velPI, drive.posPI});
}

// Context: main loop.
void Node::computePositionGains() {
  gainsMotorParamsToPositionGains(
      GainTargets{propertyTable, drive.foc.dAxisPI, drive.foc.qAxisPI, drive.velPI, drive.posPI});
}

// Context: main loop.
void Node::startUp() {
  platform::Can2& can = hw.can2;

  hw.cpu.PE_low_level_init();
  hw.cpu.Cpu_EnablePeripheralClocks();
  initGPIO();

  // CAN with the group and broadcast identifiers; buffer 1 gets the node number once restored.
  CANdevice = can.CAN2_Init(nullptr);
  can.CAN2_SetRxBufferID(CANdevice, 2, kRxGroup0Id);
  can.CAN2_SetRxBufferID(CANdevice, 3, kRxGroup1Id);
  can.CAN2_SetRxBufferID(CANdevice, 4, kRxBroadcastId);

  SPI0device = hw.sm3.SM3_Init(nullptr);
  SPI1device = hw.sm1.SM1_Init(nullptr);

  // Rotor-sensor start-up words in one chip-select cycle; the transfer is not waited for.
  hw.sm1.SM1_ReceiveBlock(SPI1device, SPI_DataIn, 3);
  while (hw.sm1.SM1_SendBlock(SPI1device, SPI_DataOut, 3) != platform::ERR_OK) {
    hw.cpu.Cpu_Relax();
  }

  timers.timerInit();
  Timer1 = hw.ti1.TI1_Init(nullptr);  // the tick runs from here on

  drive.foc.InitSV();
  drive.idlePWM();

  property[prop::FIRMWARE_ID] = kFirmwareId;
  property[prop::EEPROM_TEST] = 0;
  property[prop::STATUS] = STATUS_READY;
  property[prop::OVERTEMP] = 0;

  // A self-test cut short by a power loss or reset left one word at a pattern: put it back before
  // anything is restored from the part.
  sermem.sermem_FinishInterruptedTest();

  restore(RestoreGroup::kIdentity);
  // Only the node number is sanitised: a stored address above 31 keeps its low five bits.
  property[prop::NODE_ID] = static_cast<int16_t>(property[prop::NODE_ID] & kNodeNumberMask);
  can.CAN2_SetRxBufferID(CANdevice, 1, static_cast<uint32_t>(property[prop::NODE_ID]));

  property[prop::OBSERVER_BYPASS] = 0;
  property[prop::TORQUE] = 0;
  restore(RestoreGroup::kTorqueLimit);
  property[prop::VELOCITY] = 0;
  property[prop::ANGLE_STEP] = 0;
  restore(RestoreGroup::kLimits);
  propertyTable.set32(prop::POSITION, 0);
  propertyTable.set32(prop::COUNTS_PER_REV, kStartCountsPerRev);

  restore(RestoreGroup::kCalibration);
  computePositionScaling();

  restore(RestoreGroup::kCurrentGains);
  computeCurrentGains();
  restore(RestoreGroup::kVelocityGains);
  computeVelocityGains();
  restore(RestoreGroup::kPositionGains);
  computePositionGains();
  restore(RestoreGroup::kMotion);

  property[prop::SECTOR_VOTES] = 0;
  property[prop::VOLTAGE_MODE] = 0;
  hw.gpio.GPIO_SetOutput(pins::PTB0, property[prop::AUX_OUTPUT] != 0);

  // MODE -1 makes writeMode perform the whole transition into mode 0.
  drive.motor.rotorAngle = -1;
  property[prop::MODE] = -1;
  drive.writeMode(MODE_IDLE);
  property[prop::HOMED] = 0;

  restore(RestoreGroup::kHoming);

  hw.motorTimer.FTM0_Init(drive.MODULO);  // the control interrupt runs from here on

  timers.timerAddEvent(callbacks::logDump, kLogDumpDelay_ticks);
  if (property[prop::AUTOHOME_DELAY] > 0) {
    m_autohoming_event = timers.timerAddEvent(
        callbacks::motorHome, static_cast<uint32_t>(property[prop::AUTOHOME_DELAY]));
  }
  timers.timerAddEvent(callbacks::motorControl, kMotorControlDelay_ticks);
}

// Context: ISR, level 5 (PWM period).
void Node::FTM0_Interrupt() {
  hw.gpio.GPIO_SetOutput(pins::PTA11, true);  // timing probe: high while the control code runs
  hw.motorTimer.FTM0_ClearOverflowFlag();
  drive.motorSetPWM();
  hw.gpio.GPIO_SetOutput(pins::PTA11, false);
}

// Context: ISR, level 10 (tick).
void Node::TI1_OnInterrupt(platform::LDD_TUserData*) {
  timers.timerInt();
  canopen.timerInt_CO();
}

// Context: ISR, level 7 (CAN message buffers).
void Node::CAN2_OnFullRxBuffer(platform::LDD_TUserData*, platform::LDD_CAN_TBufferIndex BufferIdx) {
  ring.commRingAdd(BufferIdx);
}

// Context: ISR, level 2 (SPI1).
void Node::SM1_OnBlockReceived(platform::LDD_TUserData*) {
  SM1_Semaphore = 1;
}

// Context: ISR, level 3 (ADC1 conversion complete).
void Node::AD1_OnMeasurementComplete(platform::LDD_TUserData*) {
  platform::MotorTimer& adc = hw.motorTimer;
  hw.gpio.GPIO_SetOutput(pins::PTA13, true);  // timing probe
  // A is tested first; when both are complete, the still-pending B raises the event again.
  if (adc.ADC_IsComplete(AdcUnit::ADC1, AdcConversion::A)) {
    result1RA = static_cast<int16_t>(adc.ADC_ReadResult(AdcUnit::ADC1, AdcConversion::A));
    adc.ADC1_SelectInputSet(AdcInputSet::b);  // conversion B samples input set b
  } else if (adc.ADC_IsComplete(AdcUnit::ADC1, AdcConversion::B)) {
    result1RB = static_cast<int16_t>(adc.ADC_ReadResult(AdcUnit::ADC1, AdcConversion::B));
    adc.ADC1_SelectInputSet(AdcInputSet::a);
  }
  hw.gpio.GPIO_SetOutput(pins::PTA13, false);
}

// Context: ISR, level 3 (ADC0 conversion complete).
void Node::AD2_OnMeasurementComplete(platform::LDD_TUserData*) {
  platform::MotorTimer& adc = hw.motorTimer;
  hw.gpio.GPIO_SetOutput(pins::PTA10, true);  // timing probe
  if (adc.ADC_IsComplete(AdcUnit::ADC0, AdcConversion::A)) {
    result0RA = static_cast<int16_t>(adc.ADC_ReadResult(AdcUnit::ADC0, AdcConversion::A));
  } else if (adc.ADC_IsComplete(AdcUnit::ADC0, AdcConversion::B)) {
    result0RB = static_cast<int16_t>(adc.ADC_ReadResult(AdcUnit::ADC0, AdcConversion::B));
    // One set of conversions per arming: the control code re-arms when it wants samples again.
    hw.motorTimer.PDB0_Disarm();
  }
  hw.gpio.GPIO_SetOutput(pins::PTA10, false);
}

}  // namespace tavrix
