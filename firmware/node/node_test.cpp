#include "firmware/node/node.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/control/gains.hpp"
#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using platform::AdcConversion;
using platform::AdcInputSet;
using platform::AdcUnit;
using testing::NodeHarness;
namespace pins = platform::pins;

class StartUpTest : public ::testing::Test {
 protected:
  // Stores v as property k in the EEPROM image.
  void stored(int k, uint16_t v) { h.fake.eeprom.put16(static_cast<uint16_t>(2 * k), v); }
  std::vector<std::string> eepromReads() const {
    std::vector<std::string> r;
    std::copy_if(h.fake.log.begin(), h.fake.log.end(), std::back_inserter(r),
                 [](const std::string& e) { return e.rfind("EE_", 0) == 0; });
    return r;
  }
  int16_t* p() { return h.node.property; }
  NodeHarness h;
};

TEST_F(StartUpTest, RestoresFromTheEepromInOrderAndNothingElse) {
  h.node.startUp();
  // The EEPROM self-test's record first, then byte address and size of every restore, in
  // start-up order.
  std::vector<std::string> expected = {"EE_READ 1016 8"};
  for (int a : {4,   2,   210, 6,  86,  90,  94,  122, 124, 154, 156, 140, 52,  54,
                56,  186, 42,  20, 212, 166, 218, 220, 222, 224, 226, 228, 230, 232,
                234, 236, 200, 68, 28,  30,  32,  164, 172, 180, 130, 146, 216}) {
    expected.push_back("EE_READ " + std::to_string(a) + " 2");
  }
  for (int a : {148, 196, 100, 112, 108, 104})
    expected.push_back("EE_READ " + std::to_string(a) + " 4");
  expected.push_back("EE_READ 120 2");
  EXPECT_EQ(eepromReads(), expected);
}

TEST_F(StartUpTest, NodeNumberLeftAtAPatternByACutTestIsPutBack) {
  stored(prop::NODE_ID, 9);
  // Power lost once 0x5555 has reached the node number's word (address 6, the fourth tested:
  // record and three writes per address before it, then its own record).
  h.fake.eeprom.writesUntilCut = 4 * 3 + 2;
  h.node.sermem.sermem_TestPattern(1024);
  ASSERT_EQ(h.fake.eeprom.get16(6), 0x5555);
  h.fake.eeprom.writesUntilCut = -1;
  NodeHarness restarted;
  restarted.fake.eeprom.mem = h.fake.eeprom.mem;
  restarted.node.startUp();
  EXPECT_EQ(restarted.node.property[prop::NODE_ID], 9);
  EXPECT_EQ(restarted.fake.eeprom.get16(6), 9);
}

TEST_F(StartUpTest, BringsThePlatformUpInItsFixedOrder) {
  stored(prop::NODE_ID, 37);
  stored(prop::AUX_OUTPUT, 0);
  h.node.startUp();
  EXPECT_TRUE(h.fake.logHasInOrder(
      {"PE_low_level_init",
       "Cpu_EnablePeripheralClocks",
       "PTA10=0",
       "PTD10=1",
       "CAN2_Init",
       "CAN2_SetRxBufferID 2 0x400",
       "CAN2_SetRxBufferID 3 0x401",
       "CAN2_SetRxBufferID 4 0x0",
       "SM3_Init",
       "SM1_Init",
       "SM1_ReceiveBlock 3",
       "SM1_SendBlock 3",
       "TI1_Init",
       "PTC1=1",  // idlePWM
       "EE_READ 6 2",
       "CAN2_SetRxBufferID 1 0x5",
       "EE_READ 86 2",
       "EE_READ 180 2",
       "PTB0=0",  // from property[34], before the mode-0 transition idles the bridge again
       "PTC1=1",
       "EE_READ 130 2",
       "EE_READ 120 2",
       "FTM0_Init 1000"}));
  EXPECT_EQ(h.fake.sm1.sentBlocks, (std::vector<std::vector<uint16_t>>{{0x7800, 0x0005, 0x0000}}));
  EXPECT_EQ(h.fake.log.back(), "FTM0_Init 1000");  // nothing but timers after the PWM start
}

TEST_F(StartUpTest, InitGpioSetsEveryPinOutputThenGpio) {
  h.node.initGPIO();
  const std::vector<std::pair<std::string, int>> order = {
      {"PTA10", 0}, {"PTA11", 0}, {"PTA13", 0}, {"PTA15", 0}, {"PTA17", 0}, {"PTB0", 1},
      {"PTB2", 0},  {"PTB8", 0},  {"PTB7", 0},  {"PTB20", 0}, {"PTD14", 1}, {"PTD10", 1}};
  ASSERT_EQ(h.fake.gpio.ops.size(), 3 * order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    const auto& [pin, level] = order[i];
    EXPECT_EQ(h.fake.gpio.ops[3 * i].what, pin + "=" + std::to_string(level));
    EXPECT_EQ(h.fake.gpio.ops[3 * i + 1].what, pin + " out");
    EXPECT_EQ(h.fake.gpio.ops[3 * i + 2].what, pin + " mux1");
  }
}

TEST_F(StartUpTest, NodeNumberKeepsItsLowFiveBits) {
  stored(prop::NODE_ID, 37);
  h.node.startUp();
  EXPECT_EQ(p()[prop::NODE_ID], 5);
  EXPECT_EQ(h.fake.can.rxIds[1], 5u);
  EXPECT_EQ(h.get(prop::NODE_ID), 5);
}

TEST_F(StartUpTest, ErasedEepromLeavesCodeValuesAndMinusOne) {
  h.node.startUp();  // every byte 0xFF
  EXPECT_EQ(p()[prop::FIRMWARE_ID], 4215);
  EXPECT_EQ(p()[prop::STATUS], STATUS_READY);
  EXPECT_EQ(p()[prop::NODE_ID], 31);
  for (int k : {4, 11, 36, 38, 41, 42, 44, 46, 103}) EXPECT_EQ(p()[k], 0) << k;
  EXPECT_EQ(h.node.propertyTable.get32(prop::POSITION), 0);
  EXPECT_EQ(h.node.propertyTable.get32(prop::COUNTS_PER_REV), 4096);
  for (int k : {1, 43, 45, 61, 83, 90, 117, 60}) EXPECT_EQ(p()[k], -1) << k;
  EXPECT_EQ(h.node.propertyTable.get32(prop::BACKOFF_HIGH), -1);
  EXPECT_EQ(h.node.propertyTable.get32(prop::TRAVEL), -1);
  // Never read: stays 0.
  EXPECT_EQ(h.node.propertyTable.get32(prop::MECH_ANGLE), 0);
}

TEST_F(StartUpTest, DerivedConstantsFollowPositionScale) {
  struct Case {
    int16_t scale;
    int32_t convert, sat;
    int16_t vel;
  };
  for (const Case c : {Case{4096, 25735, 83446, 952}, Case{0, 0, 0, 0},
                       Case{100, 1054143, 2037, -26543}, Case{-100, -1054144, 0, 26543}}) {
    NodeHarness fresh;
    fresh.fake.eeprom.put16(2 * prop::POSITION_SCALE, static_cast<uint16_t>(c.scale));
    fresh.node.startUp();
    EXPECT_EQ(fresh.node.errPosConvert, c.convert) << c.scale;
    EXPECT_EQ(fresh.node.errPosSat, c.sat) << c.scale;
    EXPECT_EQ(fresh.node.velCoeff, c.vel) << c.scale;
  }
}

TEST_F(StartUpTest, Ptb0FollowsAuxOutput) {
  for (uint16_t aux : {0, 1, 7}) {
    NodeHarness fresh;
    fresh.fake.eeprom.put16(2 * prop::AUX_OUTPUT, aux);
    fresh.node.startUp();
    EXPECT_EQ(fresh.fake.gpio.state(pins::PTB0).latch, aux != 0) << aux;
  }
}

TEST_F(StartUpTest, ModeReadsZeroAndTheBridgeIsIdle) {
  stored(prop::NODE_ID, 2);
  h.node.startUp();
  EXPECT_EQ(h.get(prop::MODE), 0);
  EXPECT_EQ(h.node.drive.motor.rotorAngle, -1);
  for (int i = 0; i < 6; ++i) {
    const auto& s = h.fake.gpio.state(pins::kGatePins[i]);
    EXPECT_EQ(s.mux, platform::kPinMuxGpio) << i;
    EXPECT_EQ(s.latch, i % 2 == 0) << i;
  }
}

TEST_F(StartUpTest, TimersAndAutomaticHoming) {
  struct Case {
    uint16_t delay;
    bool scheduled;
  };
  for (const Case c : {Case{0, false}, Case{static_cast<uint16_t>(-5), false}, Case{250, true}}) {
    NodeHarness fresh;
    fresh.fake.eeprom.put16(2 * prop::AUTOHOME_DELAY, c.delay);
    // No homing velocity: the homing it starts is refused, after cancelling the pending event.
    fresh.fake.eeprom.put16(2 * prop::HOME_VELOCITY, 0);
    fresh.node.startUp();
    const auto slotOf = [&](TimerCallback f) -> const timerStruct* {
      for (const timerStruct& t : fresh.node.timers.timers) {
        if (t.state != Timers::kFree && t.f == f) return &t;
      }
      return nullptr;
    };
    ASSERT_NE(slotOf(callbacks::logDump), nullptr);
    EXPECT_EQ(slotOf(callbacks::logDump)->end, 1u);
    ASSERT_NE(slotOf(callbacks::motorControl), nullptr);
    EXPECT_EQ(slotOf(callbacks::motorControl)->end, 150u);
    const timerStruct* home = slotOf(callbacks::motorHome);
    EXPECT_EQ(home != nullptr, c.scheduled) << c.delay;
    if (!c.scheduled) {
      EXPECT_EQ(fresh.node.m_autohoming_event, -1);
      continue;
    }
    EXPECT_EQ(fresh.node.m_autohoming_event, home - fresh.node.timers.timers);
    fresh.run(250);
    EXPECT_NE(fresh.node.m_autohoming_event, -1);
    fresh.run(1);  // homing starts on the tick after the 250th and cancels its own event
    EXPECT_EQ(fresh.node.m_autohoming_event, -1);
    EXPECT_NE(slotOf(callbacks::logDump), nullptr);  // keeps re-registering itself
  }
}

TEST_F(StartUpTest, GainsAreComputedFromTheRestoredParameters) {
  const std::vector<std::pair<int, uint16_t>> params = {
      {prop::CURRENT_GAIN_SCALE, 3}, {prop::WINDING_R, 120}, {prop::WINDING_L, 300},
      {prop::CURRENT_BW, 1000},      {prop::INERTIA, 40},    {prop::TORQUE_CONSTANT, 90},
      {prop::VELOCITY_BW, 50},       {prop::POSITION_BW, 5}, {prop::POS_NO_INTEGRAL, 0}};
  PropertyTable ref;
  for (const auto& [k, v] : params) {
    stored(k, v);
    ref.property[k] = static_cast<int16_t>(v);
  }
  h.node.startUp();
  GFLIB_CONTROLLER_PIAW_P_T d{}, q{}, v{}, pos{};
  const GainTargets g{ref, d, q, v, pos};
  gainsMotorParamsToCurrentGains(g);
  gainsMotorParamsToVelocityGains(g);
  gainsMotorParamsToPositionGains(g);
  for (int k : {79, 81, 91, 92, 119, 120, 121, 122, 123, 124, 125, 126}) {
    EXPECT_EQ(p()[k], ref.property[k]) << k;
  }
  EXPECT_EQ(h.node.drive.foc.qAxisPI.f32PropGain, q.f32PropGain);
}

// ---- event handlers -----------------------------------------------------------------------------

TEST(NodeEvents, AdcHandlersStoreResultsAndSwitchInputSets) {
  NodeHarness h;
  h.fake.motorTimer.complete(AdcUnit::ADC1, AdcConversion::A, 1234);
  h.fake.motorTimer.complete(AdcUnit::ADC1, AdcConversion::B, 2345);
  h.node.AD1_OnMeasurementComplete(nullptr);  // A first; B still pending
  EXPECT_EQ(h.node.result1RA, 1234);
  EXPECT_EQ(h.node.result1RB, 0);
  EXPECT_EQ(h.fake.motorTimer.adc1InputSet, AdcInputSet::b);
  h.node.AD1_OnMeasurementComplete(nullptr);
  EXPECT_EQ(h.node.result1RB, 2345);
  EXPECT_EQ(h.fake.motorTimer.adc1InputSet, AdcInputSet::a);

  h.fake.motorTimer.complete(AdcUnit::ADC0, AdcConversion::A, 4095);
  h.node.AD2_OnMeasurementComplete(nullptr);
  EXPECT_EQ(h.node.result0RA, 4095);
  EXPECT_EQ(h.fake.motorTimer.pdbDisarms, 0);
  h.fake.motorTimer.complete(AdcUnit::ADC0, AdcConversion::B, 7);
  h.node.AD2_OnMeasurementComplete(nullptr);
  EXPECT_EQ(h.node.result0RB, 7);
  EXPECT_EQ(h.fake.motorTimer.pdbDisarms, 1);
  // Probe pins high exactly while the handlers run.
  EXPECT_TRUE(h.fake.logHasInOrder({"PTA13=1", "PTA13=0", "PTA10=1", "PTA10=0"}));
  EXPECT_FALSE(h.fake.gpio.state(pins::PTA10).latch);
}

TEST(NodeEvents, PwmPeriodTickAndSensorEvents) {
  NodeHarness h;
  h.node.FTM0_Interrupt();
  EXPECT_EQ(h.fake.motorTimer.overflowClears, 1);
  EXPECT_TRUE(h.fake.logHasInOrder({"PTA11=1", "PTA11=0"}));
  h.node.SM1_OnBlockReceived(nullptr);
  EXPECT_EQ(h.node.SM1_Semaphore, 1);
  h.node.timers.timerAddEvent(callbacks::motorControl, 0);
  h.node.TI1_OnInterrupt(nullptr);
  EXPECT_EQ(h.node.timers.timers[0].state, Timers::kDue);
}

TEST(NodeMain, MainLoopServesFramesUntilAReset) {
  // main() never returns: the reset frame, delivered while the loop runs, ends the process.
  EXPECT_EXIT(
      {
        NodeHarness h;
        h.fake.eeprom.put16(2 * prop::NODE_ID, 5);
        h.fake.cpu.onRelax = [&h] {
          if (h.fake.cpu.relaxCount == 10) {
            h.fake.receive(h.node, 1, testing::dataFrame(0x005, {0x5A, 0xA6}));
          }
        };
        h.node.main();
      },
      ::testing::ExitedWithCode(testing::kResetExitCode), "");
}

}  // namespace
}  // namespace tavrix
