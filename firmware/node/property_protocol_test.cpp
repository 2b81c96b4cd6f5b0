#include "firmware/node/property_protocol.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "firmware/control/gains.hpp"
#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using testing::CanFrame;
using testing::dataFrame;
using testing::NodeHarness;
namespace pins = platform::pins;

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    p()[prop::NODE_ID] = 5;
    p()[prop::STATUS] = STATUS_READY;
  }
  int16_t* p() { return h.node.property; }
  PropertyTable& table() { return h.node.propertyTable; }
  Motor& drive() { return h.node.drive; }
  NodeHarness h;
};

TEST_F(ProtocolTest, GetRepliesWithOwnIdentifierAnd16BitLayout) {
  p()[prop::MODE] = 0x0102;
  const auto replies = h.handle(dataFrame(0x005, {prop::MODE}));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].id, 0x4A6u);
  EXPECT_EQ(replies[0].type, platform::LDD_CAN_DATA_FRAME);
  EXPECT_EQ(replies[0].length, 4);
  EXPECT_EQ(std::vector<uint8_t>(replies[0].data.begin(), replies[0].data.begin() + 4),
            (std::vector<uint8_t>{0x88, 0x00, 0x02, 0x01}));
}

TEST_F(ProtocolTest, NodeNumberOutsideTheAddressesRepliesOnAStandardIdentifier) {
  // The reply carries the number's low five bits in its source field and nothing above bit 10:
  // a negative number must not make it an extended frame.
  for (const int16_t number : {-27, 37, 0x7FE5}) {
    p()[prop::NODE_ID] = number;
    const auto replies = h.handle(dataFrame(0x005, {prop::MODE}));
    ASSERT_EQ(replies.size(), 1u) << number;
    EXPECT_EQ(replies[0].id, 0x4A6u) << number;
  }
}

TEST_F(ProtocolTest, RemoteRequestIsAnsweredWithADataFrame) {
  p()[prop::FIRMWARE_ID] = 4215;
  CanFrame remote = dataFrame(0x005, {});
  remote.type = platform::LDD_CAN_REMOTE_FRAME;
  remote.length = 1;
  const auto replies = h.handle(remote);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].type, platform::LDD_CAN_DATA_FRAME);
  EXPECT_EQ(replies[0].data[2] | replies[0].data[3] << 8, 4215);
}

TEST_F(ProtocolTest, Set32IsSilentAndStoresTheWord) {
  // UPPER_LIMIT to 100 000, sent by node 0 to node 3.
  p()[prop::NODE_ID] = 3;
  const auto replies = h.handle(dataFrame(0x003, {0xB8, 0x00, 0xA0, 0x86, 0x01, 0x00}));
  EXPECT_TRUE(replies.empty());
  EXPECT_EQ(table().get32(prop::UPPER_LIMIT), 100000);
}

TEST_F(ProtocolTest, PairsReadAsOneWordAndTheirUpperElementAsZero) {
  table().set32(prop::POSITION, -70000);
  const auto replies = h.request({prop::POSITION});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].length, 6);
  EXPECT_EQ(h.get(prop::POSITION), -70000);
  EXPECT_EQ(h.request({prop::POSITION + 1})[0].length, 4);
  EXPECT_EQ(h.get(prop::POSITION + 1), 0);
}

TEST_F(ProtocolTest, GroupRequestIsAnsweredByEveryNodeWithItsOwnIdentifier) {
  NodeHarness other;
  other.node.property[prop::NODE_ID] = 7;
  for (NodeHarness* n : {&h, &other}) {
    const auto replies = n->handle(dataFrame(0x401, {prop::NODE_ID}), 3);
    ASSERT_EQ(replies.size(), 1u);
    const uint32_t node = static_cast<uint32_t>(n->node.property[prop::NODE_ID]);
    EXPECT_EQ(replies[0].id, 0x400u | node << 5 | 6u);
    EXPECT_EQ(replies[0].data[2], node);
  }
}

TEST_F(ProtocolTest, NumbersWithoutAGetAnswerZero) {
  const std::vector<int> zero = {6,  7,  9,  12, 13, 24, 25, 29, 30, 31, 32,  33,  39,  40,
                                 49, 51, 53, 55, 57, 58, 59, 63, 67, 69, 71,  72,  75,  76,
                                 84, 85, 87, 88, 89, 94, 95, 96, 97, 99, 101, 102, 104, 107};
  for (int k = 0; k < kPropertyCount; ++k) p()[k] = static_cast<int16_t>(1000 + k);
  for (int k : zero) EXPECT_EQ(h.get(k), 0) << k;
  EXPECT_EQ(h.get(127), 0);
  // And plain gets return the table.
  for (int k : {0, 1, 4, 5, 10, 23, 36, 37, 38, 43, 80, 83, 108, 126}) {
    EXPECT_EQ(h.get(k), 1000 + k) << k;
  }
}

TEST_F(ProtocolTest, NoSetIsEverAnswered) {
  // Values chosen so no set restarts the node or runs a long test.
  for (int k = 0; k < 128; ++k) {
    if (k == prop::ACTION || k == prop::STATUS) continue;
    EXPECT_EQ(h.set32(k, 0x00010101), 0u) << k;
  }
  EXPECT_EQ(h.set16(prop::STATUS, 3), 0u);
  EXPECT_EQ(h.set16(prop::ACTION, 1), 0u);
  EXPECT_TRUE(h.fake.can.sent.empty());
}

TEST_F(ProtocolTest, IgnoredSetsStoreNothing) {
  const std::vector<int> ignored = {0,  7,   12,  13,  18,  19,  20,  22,  23,  24,  25,  32,  46,
                                    49, 51,  53,  55,  57,  59,  64,  66,  67,  69,  71,  72,  75,
                                    76, 79,  80,  81,  84,  85,  87,  88,  89,  94,  95,  96,  97,
                                    99, 101, 102, 104, 107, 119, 120, 121, 122, 123, 124, 125, 126};
  for (int k : ignored) {
    h.set32(k, 0x12345678);
    EXPECT_EQ(p()[k], 0) << k;
    if (k < 126) {
      EXPECT_EQ(p()[k + 1], 0) << k;
    }
  }
}

TEST_F(ProtocolTest, PlainSetsStore) {
  for (int k : {1,  2,  4,  6,  10, 11, 16, 21, 26,  36,  38, 41,
                42, 43, 44, 47, 60, 62, 65, 93, 103, 108, 115}) {
    h.set16(k, -1234);
    EXPECT_EQ(p()[k], -1234) << k;
  }
  for (int k : {50, 52, 54, 56, 68}) {
    h.set32(k, -123456789);
    EXPECT_EQ(table().get32(k), -123456789) << k;
  }
}

TEST_F(ProtocolTest, NodeIdSetRearmsReceiveBuffer1) {
  h.set16(prop::NODE_ID, 9);
  EXPECT_EQ(p()[prop::NODE_ID], 9);
  EXPECT_EQ(h.fake.log.back(), "CAN2_SetRxBufferID 1 0x9");
  EXPECT_EQ(h.fake.can.rxIds[1], 9u);
}

TEST_F(ProtocolTest, StatusSetToZeroRestartsTheNode) {
  EXPECT_EXIT(h.set16(prop::STATUS, 0), ::testing::ExitedWithCode(testing::kResetExitCode), "");
}

TEST_F(ProtocolTest, StatusSetTo4IdlesTheBridge) {
  for (platform::Pin pin : pins::kGatePins) h.fake.gpio.PORT_SetMux(pin, platform::kPinMuxFtm0);
  h.set16(prop::STATUS, STATUS_TEST);
  EXPECT_EQ(p()[prop::STATUS], STATUS_TEST);
  for (int i = 0; i < 6; ++i) {
    const auto& s = h.fake.gpio.state(pins::kGatePins[i]);
    EXPECT_EQ(s.mux, platform::kPinMuxGpio) << i;
    EXPECT_EQ(s.latch, i % 2 == 0) << i;
  }
}

TEST_F(ProtocolTest, ModeChangesOnlyInReadyStatus) {
  h.set16(prop::MODE, 0x0104);  // only the low byte is the mode
  EXPECT_EQ(p()[prop::MODE], 4);
  h.set16(prop::MODE, 9);  // unknown modes are mode 0
  EXPECT_EQ(p()[prop::MODE], 0);
  for (int16_t status : {STATUS_HOMING, STATUS_TEST}) {
    p()[prop::STATUS] = status;
    h.set16(prop::MODE, 2);
    EXPECT_EQ(p()[prop::MODE], 0) << status;
  }
}

TEST_F(ProtocolTest, SaveWritesTwoOrFourBytesAtTwiceTheNumber) {
  table().set32(prop::BACKOFF_HIGH, 70000);
  h.set16(prop::SAVE, prop::BACKOFF_HIGH);
  EXPECT_EQ(std::vector<uint8_t>(h.fake.eeprom.mem.begin() + 148, h.fake.eeprom.mem.begin() + 152),
            (std::vector<uint8_t>{0x70, 0x11, 0x01, 0x00}));
  table().set32(prop::POSITION, 0x00030002);
  table().set32(prop::TRAVEL, 0x7FFF0001);
  h.set16(prop::SAVE_ALT, prop::POSITION);
  h.set16(prop::SAVE, prop::TRAVEL);
  EXPECT_TRUE(h.fake.logHasInOrder({"EE_WRITE 148 4", "EE_WRITE 96 2", "EE_WRITE 104 4"}));
  EXPECT_EQ(h.fake.eeprom.get16(96), 2);
  EXPECT_EQ(h.fake.eeprom.get16(98), 0xFFFF);  // only the low half of the position
  EXPECT_EQ(h.fake.eeprom.get16(106), 0x7FFF);
}

TEST_F(ProtocolTest, SaveOrLoadOutsideTheTableDoesNothing) {
  for (int n : {-1, -206, 127, 128, 306, 32767}) {
    h.set16(prop::SAVE, n);
    h.set16(prop::LOAD, n);
  }
  for (const std::string& e : h.fake.log) EXPECT_EQ(e.rfind("EE_", 0), std::string::npos) << e;
}

TEST_F(ProtocolTest, LoadReadsBackWithoutRecomputing) {
  h.fake.eeprom.put16(2 * prop::POSITION_SCALE, 4096);
  h.fake.eeprom.put16(2 * prop::TRAVEL, 0x1111);
  h.fake.eeprom.put16(2 * prop::TRAVEL + 2, 0x2222);
  h.set16(prop::LOAD, prop::POSITION_SCALE);
  h.set16(prop::LOAD, prop::TRAVEL);
  EXPECT_EQ(p()[prop::POSITION_SCALE], 4096);
  EXPECT_EQ(h.node.errPosConvert, 0);  // derived values keep their old values
  EXPECT_EQ(table().get32(prop::TRAVEL), 0x22221111);
}

TEST_F(ProtocolTest, TickRateAndPwmModulo) {
  struct Case {
    int16_t rate;
    uint16_t modulo;
  };
  // 40 MHz / rate - 1, low 16 bits; a zero rate divides to 0.
  for (const Case c : {Case{1000, 39999}, Case{2000, 19999}, Case{500, 14463}, Case{0, 0xFFFF},
                       Case{-1000, static_cast<uint16_t>(-40001)}}) {
    h.set16(prop::TICK_RATE, c.rate);
    EXPECT_EQ(h.fake.ti1.modulos.back(), c.modulo) << c.rate;
  }
  h.set16(prop::PWM_MODULO, 1200);
  EXPECT_EQ(h.fake.motorTimer.modulos.back(), 1200);
  EXPECT_EQ(drive().MODULO, 1200);
  EXPECT_EQ(h.get(prop::PWM_MODULO), 0);
  EXPECT_EQ(h.get(prop::TICK_RATE), 0);
}

TEST_F(ProtocolTest, DebugPinAndOscillatorTrim) {
  const auto& pin = h.fake.gpio.state(pins::PTA11);
  h.set16(prop::DEBUG_PIN, 0x0301);  // low byte 1: high, output
  EXPECT_TRUE(pin.latch && pin.output);
  EXPECT_EQ(h.get(prop::DEBUG_PIN), 1);
  h.set16(prop::DEBUG_PIN, 0);
  EXPECT_TRUE(!pin.latch && pin.output);
  EXPECT_EQ(h.get(prop::DEBUG_PIN), 0);
  h.set16(prop::DEBUG_PIN, 2);
  EXPECT_FALSE(pin.output);
  h.set16(prop::OSC_TRIM, 0x1F);
  EXPECT_EQ(h.fake.cpu.capLoads, std::vector<uint8_t>{0x0F});
  EXPECT_EQ(p()[prop::OSC_TRIM], 0);
}

TEST_F(ProtocolTest, AuxOutputDrivesPtb0OutsideTestStatus) {
  const auto& ptb0 = h.fake.gpio.state(pins::PTB0);
  h.set16(prop::AUX_OUTPUT, 0x0105);
  EXPECT_EQ(p()[prop::AUX_OUTPUT], 1);
  EXPECT_TRUE(ptb0.latch);
  h.set16(prop::AUX_OUTPUT, 0x0100);  // only the low byte counts
  EXPECT_EQ(p()[prop::AUX_OUTPUT], 0);
  EXPECT_FALSE(ptb0.latch);
  p()[prop::STATUS] = STATUS_TEST;  // now it is the bridge test instead, which measures
  h.fake.cpu.onRelax = [this] { h.fake.tick(h.node); };
  h.node.result0RA = 1999;
  h.set16(prop::AUX_OUTPUT, 0x0100 | 41);  // phases A and B inverted
  EXPECT_EQ(p()[prop::AUX_OUTPUT], 0);
  EXPECT_FALSE(ptb0.latch);
  EXPECT_FALSE(h.fake.gpio.state(pins::PTC1).latch);
  EXPECT_TRUE(h.fake.gpio.state(pins::PTC2).latch);
  EXPECT_EQ(h.get(prop::STEP_CURRENT), 1999);  // the mean, read back in test status
}

TEST_F(ProtocolTest, StepCurrentBecomesTheTorque15TicksLater) {
  h.set16(prop::STEP_CURRENT, 300);
  EXPECT_EQ(p()[prop::STEP_CURRENT], 300);
  h.run(15);
  EXPECT_EQ(p()[prop::TORQUE], 0);
  h.run(1);
  EXPECT_EQ(p()[prop::TORQUE], 300);
}

TEST_F(ProtocolTest, EepromTestActions) {
  h.set16(prop::ACTION, PropertyProtocol::kActionEepromTest);
  EXPECT_EQ(p()[prop::EEPROM_TEST], 0);
  EXPECT_EQ(p()[prop::STATUS], STATUS_READY);
  h.fake.eeprom.ignoreWrites = true;
  h.set16(prop::ACTION, 0x0100 | PropertyProtocol::kActionHaltAndEepromTest);
  EXPECT_EQ(p()[prop::EEPROM_TEST], 1024);
  EXPECT_EQ(p()[prop::STATUS], STATUS_HALT);
}

TEST_F(ProtocolTest, PositionSetDependsOnMode) {
  h.set32(prop::POSITION, 5000);  // mode 0: redefines the position
  EXPECT_EQ(table().get32(prop::POSITION), 5000);
  p()[prop::MODE] = MODE_VELOCITY;
  h.set32(prop::POSITION, 7);
  EXPECT_EQ(table().get32(prop::POSITION), 5000);
  EXPECT_EQ(drive().motor.cmdPos, 0);
  p()[prop::MODE] = MODE_POSITION;
  h.set32(prop::POSITION, -90000);
  EXPECT_EQ(drive().motor.cmdPos, -90000);
  EXPECT_EQ(table().get32(prop::POSITION), 5000);
  p()[prop::STATUS] = STATUS_HOMING;
  h.set32(prop::POSITION, 1);
  EXPECT_EQ(drive().motor.cmdPos, -90000);
}

TEST_F(ProtocolTest, BackoffSets) {
  table().set32(prop::POSITION, 1000);
  table().set32(prop::UPPER_LIMIT, 50000);
  table().set32(prop::BACKOFF_HIGH, 300);
  table().set32(prop::BACKOFF_LOW, 200);
  h.set32(prop::BACKOFF_HIGH, -1);
  h.set32(prop::BACKOFF_LOW, -5);
  EXPECT_EQ(table().get32(prop::BACKOFF_HIGH), 300);
  EXPECT_EQ(table().get32(prop::BACKOFF_LOW), 200);
  h.set32(prop::BACKOFF_HIGH, 400);  // not homed: stored only
  EXPECT_EQ(table().get32(prop::UPPER_LIMIT), 50000);
  p()[prop::HOMED] = 1;
  h.set32(prop::BACKOFF_HIGH, 100);  // upper limit moves out by 300
  EXPECT_EQ(table().get32(prop::UPPER_LIMIT), 50300);
  h.set32(prop::BACKOFF_LOW, 250);  // the lower stop's zero moves in by 50
  EXPECT_EQ(table().get32(prop::POSITION), 950);
  EXPECT_EQ(table().get32(prop::UPPER_LIMIT), 50250);
  EXPECT_EQ(table().get32(prop::BACKOFF_LOW), 250);
}

TEST_F(ProtocolTest, PositionScaleRecomputesTheConstants) {
  struct Case {
    int16_t scale;
    int32_t convert, sat;
    int16_t vel;
  };
  // 1686629713 / scale >> 4; 2^31 / (unsigned) convert; (short)(3899392 / scale).
  for (const Case c : {Case{4096, 25735, 83446, 952}, Case{0, 0, 0, 0},
                       Case{-4096, -25736, 0, -952}, Case{1, 105414357, 20, -32768}}) {
    h.set16(prop::POSITION_SCALE, c.scale);
    EXPECT_EQ(h.node.errPosConvert, c.convert) << c.scale;
    EXPECT_EQ(h.node.errPosSat, c.sat) << c.scale;
    EXPECT_EQ(h.node.velCoeff, c.vel) << c.scale;
  }
}

TEST_F(ProtocolTest, CurrentGainMantissas) {
  h.set16(prop::CUR_KP, static_cast<int16_t>(0x8001));
  h.set16(prop::CUR_KI, 0x0203);
  EXPECT_EQ(static_cast<uint32_t>(drive().foc.dAxisPI.f32PropGain), 0x80010000u);
  EXPECT_EQ(static_cast<uint32_t>(drive().foc.qAxisPI.f32PropGain), 0x80010000u);
  EXPECT_EQ(drive().foc.qAxisPI.f32IntegGain, 0x02030000);
  EXPECT_EQ(p()[prop::CUR_KI], 0x0203);
}

TEST_F(ProtocolTest, BandwidthSetsRecomputeTheirGains) {
  // Reference: the gain computation run on a copy of the table.
  for (int k : {prop::WINDING_R, prop::WINDING_L, prop::INERTIA, prop::TORQUE_CONSTANT}) {
    p()[k] = static_cast<int16_t>(50 + k);
  }
  p()[prop::CURRENT_GAIN_SCALE] = 2;
  PropertyTable ref = table();
  GFLIB_CONTROLLER_PIAW_P_T d{}, q{}, v{}, pos{};
  const GainTargets g{ref, d, q, v, pos};
  h.set16(prop::CURRENT_BW, 900);
  h.set16(prop::VELOCITY_BW, 60);
  h.set16(prop::POSITION_BW, 7);
  ref.property[prop::CURRENT_BW] = 900;
  ref.property[prop::VELOCITY_BW] = 60;
  ref.property[prop::POSITION_BW] = 7;
  gainsMotorParamsToCurrentGains(g);
  gainsMotorParamsToVelocityGains(g);
  gainsMotorParamsToPositionGains(g);
  for (int k : {79, 81, 91, 92, 119, 120, 121, 122, 123, 124, 125, 126}) {
    EXPECT_EQ(p()[k], ref.property[k]) << k;
  }
  EXPECT_EQ(drive().velPI.f32PropGain, v.f32PropGain);
  h.set16(prop::POS_NO_INTEGRAL, 1);
  ref.property[prop::POS_NO_INTEGRAL] = 1;
  gainsMotorParamsToPositionGains(g);
  EXPECT_EQ(p()[prop::POS_KI], ref.property[prop::POS_KI]);
  EXPECT_EQ(drive().posPI.f32IntegGain, pos.f32IntegGain);
}

TEST_F(ProtocolTest, CommandFilterIsRedesigned) {
  h.set16(prop::CMD_FILTER_Q, 181);
  h.set16(prop::CMD_FILTER_FREQ, 1000);
  const biquadStruct& f = drive().cmd_velocity_filter;
  EXPECT_EQ(f.type, BIQUAD_LOWPASS);
  EXPECT_FLOAT_EQ(f.Q, 181.0f / 256.0f);
  EXPECT_FLOAT_EQ(f.Fc, 0.0305f);
  EXPECT_NE(f.a0, 0.0f);
}

TEST_F(ProtocolTest, LiveGets) {
  drive().motor.velocityFilt = -1000;  // (-11000) >> 8
  EXPECT_EQ(h.get(prop::VELOCITY), -43);
  drive().foc.iDQFbck.f32Q = -(1 << 20) - 1;
  EXPECT_EQ(h.get(prop::Q_CURRENT), -2);
  // Statistics only in test status, as unsigned integers (negative -> 0), low 16 bits.
  drive().stats = {-3.5f, 70000.7f, 12.9f, 0.5f};
  p()[prop::OSC_TRIM] = 11;
  p()[prop::SECTOR_VOTES] = 12;
  EXPECT_EQ(h.get(prop::OSC_TRIM), 11);
  EXPECT_EQ(h.get(prop::SECTOR_VOTES), 12);
  p()[prop::STATUS] = STATUS_TEST;
  const std::vector<int32_t> expected = {0, 70000 - 65536, 12, 0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(h.get(prop::OSC_TRIM + i), expected[i]) << i;
}

TEST_F(ProtocolTest, ScaledPosition) {
  struct Case {
    int32_t position, lower, upper;
    uint16_t scaled;
  };
  p()[prop::HOMED] = 1;
  for (const Case c : {Case{-5, 0, 10000, 0}, Case{5000, 0, 10000, 32767},
                       Case{20000, 0, 10000, 65535}, Case{3000, 1000, 5000, 49151},
                       Case{50, 100, 100, 0xFFCE}}) {  // empty range: 50 x 65535, low 16 bits
    table().set32(prop::POSITION, c.position);
    table().set32(prop::LOWER_LIMIT, c.lower);
    table().set32(prop::UPPER_LIMIT, c.upper);
    EXPECT_EQ(static_cast<uint16_t>(h.get(prop::SCALED_POSITION)), c.scaled) << c.position;
  }
  p()[prop::HOMED] = 0;
  EXPECT_EQ(h.get(prop::SCALED_POSITION), 0);
}

TEST_F(ProtocolTest, CalibrationActions) {
  h.set16(prop::CALIBRATE, 61);
  EXPECT_EQ(p()[prop::MODE], MODE_TORQUE);
  EXPECT_TRUE(drive().motor.findingOffset);
  const auto& slots = h.node.timers.timers;
  const auto it = std::find_if(std::begin(slots), std::end(slots), [](const timerStruct& t) {
    return t.state == Timers::kCounting && t.f == callbacks::motorWriteOffset;
  });
  ASSERT_NE(it, std::end(slots));
  EXPECT_EQ(it->end, 5000u);
  // Current-sense zero: the mean of 25 samples, a mix of -7 and -8, truncated toward zero.
  int ticks = 0;
  h.fake.cpu.onRelax = [this, &ticks] {
    h.fake.tick(h.node);
    ++ticks;
    h.node.result0RA = static_cast<int16_t>(ticks % 6 < 3 ? -7 : -8);
  };
  h.set16(prop::CALIBRATE, 62);
  EXPECT_EQ(p()[prop::MODE], MODE_IDLE);
  EXPECT_LT(drive().stats.mean, -7.0f);
  EXPECT_GT(drive().stats.mean, -8.0f);
  EXPECT_EQ(p()[prop::CURRENT_OFFSET], -7);
}

TEST_F(ProtocolTest, ProfileStartSetsTravelAndEntersMode5) {
  h.set32(prop::PROFILE_START, 123456);
  EXPECT_EQ(table().get32(prop::TRAVEL), 123456);
  EXPECT_EQ(p()[prop::MODE], MODE_PROFILE);
  EXPECT_EQ(p()[prop::PROFILE_START], 0);
}

}  // namespace
}  // namespace tavrix
