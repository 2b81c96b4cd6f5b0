#include "firmware/motor/motor.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using testing::NodeHarness;

std::vector<std::string> opNames(const NodeHarness& h) {
  std::vector<std::string> r;
  for (const auto& op : h.fake.gpio.ops) r.push_back(op.what);
  return r;
}

TEST(Motor, IdlePwmDrivesHighPinsBeforeLowOnes) {
  NodeHarness h;
  h.node.drive.idlePWM();
  const std::vector<std::string> expected = {
      "PTC1=1", "PTC1 out", "PTC1 mux1", "PTC3=1", "PTC3 out", "PTC3 mux1",
      "PTD4=1", "PTD4 out", "PTD4 mux1", "PTC2=0", "PTC2 out", "PTC2 mux1",
      "PTC4=0", "PTC4 out", "PTC4 mux1", "PTD5=0", "PTD5 out", "PTD5 mux1"};
  EXPECT_EQ(opNames(h), expected);
}

TEST(Motor, WriteModeOfTheCurrentModeDoesNothing) {
  NodeHarness h;
  h.node.property[prop::MODE] = MODE_VELOCITY;
  h.node.property[prop::TORQUE] = 77;
  h.node.drive.writeMode(MODE_VELOCITY);
  EXPECT_TRUE(h.fake.gpio.ops.empty());
  EXPECT_EQ(h.node.property[prop::TORQUE], 77);
  EXPECT_EQ(h.fake.cpu.SR_lock, 0);
}

TEST(Motor, UnknownModeIsModeZeroAndIdlesInsideTheCriticalSection) {
  NodeHarness h;
  h.node.property[prop::STATUS] = STATUS_READY;
  h.node.property[prop::MODE] = MODE_TORQUE;
  h.node.property[prop::TORQUE] = 77;
  h.node.drive.writeMode(7);
  EXPECT_EQ(h.node.property[prop::MODE], MODE_IDLE);
  EXPECT_EQ(h.node.property[prop::TORQUE], 0);
  ASSERT_EQ(h.fake.gpio.ops.size(), 18u);
  for (const auto& op : h.fake.gpio.ops) EXPECT_TRUE(op.masked) << op.what;
  EXPECT_FALSE(h.fake.cpu.masked);  // interrupts back after the outermost section
}

TEST(Motor, ModeZeroInRestartStatusLeavesThePins) {
  NodeHarness h;
  h.node.property[prop::STATUS] = STATUS_RESET;
  h.node.property[prop::MODE] = MODE_TORQUE;
  h.node.property[prop::TORQUE] = 5;
  h.node.drive.writeMode(MODE_IDLE);
  EXPECT_EQ(h.node.property[prop::TORQUE], 0);
  EXPECT_TRUE(h.fake.gpio.ops.empty());
}

TEST(Motor, HomingRequestCancelsThePendingAutomaticHoming) {
  NodeHarness h;
  h.node.m_autohoming_event = h.node.timers.timerAddEvent(callbacks::motorHome, 1000);
  h.node.drive.motorHome();
  EXPECT_EQ(h.node.m_autohoming_event, -1);
  EXPECT_EQ(h.node.timers.timers[0].state, Timers::kFree);
}

TEST(Motor, WriteOffsetTakesTheAngleModuloAndSavesIt) {
  NodeHarness h;
  h.node.property[prop::STATUS] = STATUS_READY;
  h.node.property[prop::MODE] = MODE_TORQUE;
  h.node.property[prop::MECH_ANGLE] = 2345;
  h.node.drive.motor.ctsPerElecCycle = 1000;
  h.node.drive.motor.findingOffset = true;
  h.node.drive.motorWriteOffset();
  EXPECT_EQ(h.node.property[prop::ELEC_OFFSET], 345);
  EXPECT_EQ(h.node.property[prop::MODE], MODE_IDLE);
  EXPECT_FALSE(h.node.drive.motor.findingOffset);
  EXPECT_EQ(h.fake.eeprom.get16(122), 345);
}

}  // namespace
}  // namespace tavrix
