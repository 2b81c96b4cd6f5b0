#include "firmware/node/property_protocol.hpp"

#include <array>

#include "firmware/control/biquad.hpp"
#include "firmware/math/arith.hpp"
#include "firmware/node/node.hpp"

namespace tavrix {

namespace pins = platform::pins;
using platform::LDD_CAN_TFrame;

namespace {

// Numbers whose get answers 0 (commands, set-only values, numbers without a meaning); the upper
// elements of the pairs answer 0 as well.
constexpr std::array<bool, 128> kGetsZero = [] {
  std::array<bool, 128> t{};
  for (int k : {6,  7,  9,  12, 13, 24, 25, 29, 30, 31, 32, 33, 39,  40,  58,  59,  63,
                71, 72, 76, 84, 85, 87, 88, 89, 94, 95, 96, 97, 101, 102, 104, 107, 127}) {
    t[k] = true;
  }
  for (int k = 0; k < 128; ++k) {
    if (isPairUpper(k)) t[k] = true;
  }
  return t;
}();

// Plain sets, from the table's metadata, reduced at compile time to the width stored: 0 (not a
// plain set), 16 or 32.
constexpr std::array<uint8_t, 128> kPlainSetWidth = [] {
  std::array<uint8_t, 128> t{};
  for (const PropertyInfo& info : kPropertyInfo) {
    if (info.set == SetKind::Plain) {
      t[static_cast<size_t>(info.number)] = static_cast<uint8_t>(info.width);
    }
  }
  return t;
}();

// Float statistics as the chip converts them to an unsigned integer: truncated, negative -> 0;
// the low 16 bits are sent.
int16_t statToWire(float v) {
  return static_cast<int16_t>(static_cast<uint16_t>(math::f2u32(v) & 0xFFFFu));
}

}  // namespace

uint32_t PropertyProtocol::replyId() const {
  // The source field is five bits wide, as in the logger's dump frames: a number outside 0..31
  // (a set stores it unchanged) reaches it with its low five bits. A negative one would otherwise
  // set bit 31, the driver's mark of an extended identifier, and the reply would go out as a
  // 29-bit frame.
  const auto node = static_cast<uint32_t>(node_.property[prop::NODE_ID]) & Node::kNodeNumberMask;
  return 0x400u | (node << 5) | kReplyGroup;
}

// Context: main loop.
int16_t PropertyProtocol::get16(int32_t k) const {
  if (k >= kPropertyCount || kGetsZero[static_cast<size_t>(k)]) return 0;
  const int16_t* property = node_.property;
  const Motor& drive = node_.drive;
  const bool testStatus = property[prop::STATUS] == STATUS_TEST;
  switch (k) {
    case prop::DEBUG_PIN:
      return node_.hw.gpio.GPIO_GetOutputLatch(pins::PTA11) ? 1 : 0;
    case prop::Q_CURRENT:
      return static_cast<int16_t>(drive.foc.iDQFbck.f32Q >> 20);
    case prop::OSC_TRIM:
      return testStatus ? statToWire(drive.stats.min) : property[k];
    case prop::SECTOR_VOTES:
      return testStatus ? statToWire(drive.stats.max) : property[k];
    case prop::STEP_CURRENT:
      return testStatus ? statToWire(drive.stats.mean) : property[k];
    case prop::VOLTAGE_MODE:
      return testStatus ? statToWire(drive.stats.stdev) : property[k];
    case prop::VELOCITY:
      // The measured velocity, not the command: bits 8..23 of velocityFilt x 11.
      return static_cast<int16_t>(math::wrapMul32(drive.motor.velocityFilt, 11) >> 8);
    case prop::SCALED_POSITION: {
      if (property[prop::HOMED] != 1) return 0;
      const PropertyTable& table = node_.propertyTable;
      const int64_t upper = table.get32(prop::UPPER_LIMIT);
      int64_t p = table.get32(prop::POSITION);
      if (p < 0) p = 0;
      if (p > upper) p = upper;
      const int64_t span = upper - table.get32(prop::LOWER_LIMIT);
      // An empty range leaves the dividend as it is.
      const int64_t scaled = span == 0 ? p * 65535 : math::div64(p * 65535, span);
      return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(scaled) & 0xFFFFu));
    }
    default:
      return property[k];
  }
}

// Context: main loop.
void PropertyProtocol::save(int16_t n) {
  // Numbers outside the table (or a 4-byte pair that would run past it) are refused.
  if (n < 0 || n >= kPropertyCount) return;
  const uint8_t count = eepromByteCount(n);
  if (count == 4 && n > kPropertyCount - 2) return;
  if (n == prop::MACHINE || n == prop::ROLE) node_.canopen.storeLinkedProperty(n);
  // The value is taken in one access (a pair as one word), then sent least significant byte first.
  const uint32_t v = count == 4 ? static_cast<uint32_t>(node_.propertyTable.get32(n))
                                : static_cast<uint16_t>(node_.propertyTable.get16(n));
  const int8_t bytes[4] = {static_cast<int8_t>(v & 0xFF), static_cast<int8_t>((v >> 8) & 0xFF),
                           static_cast<int8_t>((v >> 16) & 0xFF), static_cast<int8_t>(v >> 24)};
  node_.sermem.sermem_WriteBlock(static_cast<int16_t>(2 * n), bytes, static_cast<int8_t>(count));
}

// Context: main loop.
void PropertyProtocol::load(int16_t n) {
  if (n < 0 || n >= kPropertyCount) return;
  const uint8_t count = eepromByteCount(n);
  if (count == 4 && n > kPropertyCount - 2) return;
  // Derived values (gains, scaling) are not recomputed.
  node_.readProperty(n, count);
}

// Context: main loop.
void PropertyProtocol::set(int32_t k, const uint8_t* data) {
  int16_t* property = node_.property;
  PropertyTable& table = node_.propertyTable;
  Motor& drive = node_.drive;
  platform::Platform& hw = node_.hw;
  const auto value16 = static_cast<int16_t>(data[2] | data[3] << 8);
  const auto value32 = static_cast<int32_t>(
      static_cast<uint32_t>(data[2]) | static_cast<uint32_t>(data[3]) << 8 |
      static_cast<uint32_t>(data[4]) << 16 | static_cast<uint32_t>(data[5]) << 24);
  const uint8_t byte = data[2];  // commands that take a byte look at the low byte only
  const bool homed = property[prop::HOMED] == 1;

  switch (k) {
    case prop::NODE_ID:
      property[k] = value16;
      // Frames to the new address are accepted at once. No range check.
      hw.can2.CAN2_SetRxBufferID(node_.CANdevice, 1,
                                 static_cast<uint32_t>(static_cast<int32_t>(property[k])));
      break;
    case prop::STATUS:
      property[k] = value16;
      if (value16 == STATUS_RESET) hw.cpu.Cpu_SystemReset();
      if (value16 == STATUS_TEST) drive.idlePWM();
      break;
    case prop::MODE:
      if (property[prop::STATUS] == STATUS_READY) drive.writeMode(byte);
      break;
    case prop::SAVE:
    case prop::SAVE_ALT:
      save(value16);
      break;
    case prop::LOAD:
      load(value16);
      break;
    case prop::CMD_FILTER_Q:
    case prop::CMD_FILTER_FREQ:
      property[k] = value16;
      biquadInit(&drive.cmd_velocity_filter, BIQUAD_LOWPASS,
                 3.05e-5f * static_cast<float>(property[prop::CMD_FILTER_FREQ]),
                 static_cast<float>(property[prop::CMD_FILTER_Q]) * 0.00390625f, 20.0f);
      break;
    case prop::DEBUG_PIN:
      if (byte == 0 || byte == 1) {
        hw.gpio.GPIO_SetOutput(pins::PTA11, byte == 1);
        hw.gpio.GPIO_SetDirection(pins::PTA11, true);
      } else {
        hw.gpio.GPIO_SetDirection(pins::PTA11, false);
      }
      break;
    case prop::ACTION:
      if (byte == kActionHome) {
        drive.motorHome();
      } else if (byte == kActionEepromTest || byte == kActionHaltAndEepromTest) {
        if (byte == kActionHaltAndEepromTest) property[prop::STATUS] = STATUS_HALT;
        property[prop::EEPROM_TEST] =
            static_cast<int16_t>(node_.sermem.sermem_TestPattern(kEepromTestBytes));
      }
      break;
    case prop::CALIBRATE:
      if (byte == kCalibrateOffset) {
        drive.writeMode(MODE_IDLE);
        property[prop::SAVED_78] = 0;
        drive.writeMode(MODE_TORQUE);
        drive.motor.findingOffset = true;
        node_.timers.timerAddEvent(callbacks::motorWriteOffset, kWriteOffsetDelay_ticks);
      } else if (byte == kCalibrateCurrentZero) {
        drive.writeMode(MODE_IDLE);
        drive.motorCollectStats(&drive.stats, kStatsSamples);
        property[prop::CURRENT_OFFSET] = math::f2i16(drive.stats.mean);
      }
      break;
    case prop::AUX_OUTPUT:
      if (property[prop::STATUS] == STATUS_TEST) {
        drive.motorTestFETs(byte);
      } else {
        property[k] = byte != 0 ? 1 : 0;
        hw.gpio.GPIO_SetOutput(pins::PTB0, byte != 0);
      }
      break;
    case prop::OSC_TRIM:
      hw.cpu.OSC_SetCapLoad(static_cast<uint8_t>(byte & 0x0F));
      break;
    case prop::STEP_CURRENT:
      property[k] = value16;
      node_.timers.timerAddEvent(callbacks::parseSetCurrent, kSetCurrentDelay_ticks);
      break;
    case prop::PWM_MODULO:
      property[k] = value16;
      drive.MODULO = value16;
      hw.motorTimer.FTM0_SetModulo(drive.MODULO);
      break;
    case prop::TICK_RATE:
      property[k] = value16;
      // The 40 MHz timer counts 0..modulo; only 16 bits of it are kept.
      hw.ti1.FTM1_SetModulo(static_cast<uint16_t>(math::div32(40000000, value16) - 1));
      break;
    case prop::POSITION:
      if (property[prop::MODE] == MODE_IDLE) {
        table.set32(k, value32);  // redefines the present position
      } else if (property[prop::MODE] == MODE_POSITION && property[prop::STATUS] != STATUS_HOMING) {
        drive.motor.cmdPos = value32;
      }
      break;
    case prop::PROFILE_START:
      table.set32(prop::TRAVEL, value32);
      drive.writeMode(MODE_PROFILE);
      break;
    case prop::SCALED_TARGET:
      if (homed) drive.motorMoveToScaledP(static_cast<uint16_t>(value16));
      break;
    case prop::BACKOFF_HIGH:
      if (value32 < 0) break;
      if (homed) {
        const int32_t moved = math::wrapSub32(table.get32(k), value32);
        table.set32(prop::UPPER_LIMIT, math::wrapAdd32(table.get32(prop::UPPER_LIMIT), moved));
      }
      table.set32(k, value32);
      break;
    case prop::BACKOFF_LOW:
      if (value32 < 0) break;
      if (homed) {
        const int32_t d = math::wrapSub32(value32, table.get32(k));
        table.set32(prop::POSITION, math::wrapSub32(table.get32(prop::POSITION), d));
        table.set32(prop::UPPER_LIMIT, math::wrapSub32(table.get32(prop::UPPER_LIMIT), d));
      }
      table.set32(k, value32);
      break;
    case prop::POSITION_SCALE:
      property[k] = value16;
      node_.computePositionScaling();
      break;
    case prop::CUR_KP:
    case prop::CUR_KI: {
      property[k] = value16;
      // The mantissa of both current controllers directly; the shifts stay.
      const auto mantissa =
          static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(value16)) << 16);
      if (k == prop::CUR_KP) {
        drive.foc.dAxisPI.f32PropGain = mantissa;
        drive.foc.qAxisPI.f32PropGain = mantissa;
      } else {
        drive.foc.dAxisPI.f32IntegGain = mantissa;
        drive.foc.qAxisPI.f32IntegGain = mantissa;
      }
      break;
    }
    case prop::POS_NO_INTEGRAL:
    case prop::POSITION_BW:
      property[k] = value16;
      node_.computePositionGains();
      break;
    case prop::CURRENT_BW:
      property[k] = value16;
      node_.computeCurrentGains();
      break;
    case prop::VELOCITY_BW:
      property[k] = value16;
      node_.computeVelocityGains();
      break;
    default:
      // Everything else is plain storage or ignored, as the table's metadata says.
      if (kPlainSetWidth[static_cast<size_t>(k)] == 32) {
        table.set32(k, value32);
      } else if (kPlainSetWidth[static_cast<size_t>(k)] == 16) {
        table.set16(k, value16);
      }
      break;
  }
}

// Context: main loop.
int32_t PropertyProtocol::parseTavrixCAN(LDD_CAN_TFrame* Frame) {
  Frame->MessageID = replyId();  // every frame, before anything else
  uint8_t* data = Frame->Data;
  const uint8_t b = data[0];
  if ((b & 0x80) == 0) {
    const int32_t k = b;
    uint32_t value;
    if (k < kPropertyCount && isPair32(k)) {
      value = static_cast<uint32_t>(node_.propertyTable.get32(k));
      data[4] = static_cast<uint8_t>((value >> 16) & 0xFF);
      data[5] = static_cast<uint8_t>(value >> 24);
      Frame->Length = 6;
    } else {
      value = static_cast<uint16_t>(get16(k));
      Frame->Length = 4;
    }
    data[0] = static_cast<uint8_t>(0x80 | k);
    data[1] = 0;
    data[2] = static_cast<uint8_t>(value & 0xFF);
    data[3] = static_cast<uint8_t>((value >> 8) & 0xFF);
    // A reply is a data frame even when the request was a remote frame.
    Frame->FrameType = platform::LDD_CAN_DATA_FRAME;
  } else {
    set(b & 0x7F, data);
    data[0] = 0;  // sets are never answered
  }
  return 0;
}

// Context: main loop (software-timer callback).
void PropertyProtocol::parseSetCurrent() {
  node_.property[prop::TORQUE] = node_.property[prop::STEP_CURRENT];
}

namespace callbacks {
void parseSetCurrent(Node& node) {
  node.protocol.parseSetCurrent();
}
}  // namespace callbacks

}  // namespace tavrix
