// The control interrupt on the simulated chip: once a host has put the node into torque mode, the
// sequencer runs one phase per PWM period and every period runs a compare set that lies inside
// the period.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "firmware/properties/property_table.hpp"
#include "sim/bus/can_message.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix {
namespace {

using sim::CanMessage;
using sim::fromMillis;

CanMessage setFrame(uint32_t node, int k, int16_t value) {
  CanMessage m;
  m.id = node;
  m.length = 4;
  m.data[0] = static_cast<uint8_t>(0x80 | k);
  m.data[2] = static_cast<uint8_t>(value & 0xFF);
  m.data[3] = static_cast<uint8_t>((value >> 8) & 0xFF);
  return m;
}

TEST(MotorOnTwin, TorqueModeRunsOnePhaseAndOneCompareSetInsideEveryPeriod) {
  std::string error;
  const tools::FactoryDefaults defaults = *tools::shippedFactoryDefaults(&error);
  sim::World world;
  tools::NodeBoard board(std::make_unique<sim::SerialEeprom>(sim::SerialEepromConfig{}));
  board.writeFactorySetIfBlank(defaults, 5);
  sim::SimNode& simNode = board.attach(world, "node5");
  sim::HostEndpoint& host = world.addHostEndpoint();
  world.runFor(fromMillis(5));  // start-up
  Node& node = board.slot.node();
  ASSERT_EQ(node.property[prop::STATUS], STATUS_READY);

  host.send(setFrame(5, prop::MODE, MODE_TORQUE));
  host.send(setFrame(5, prop::TORQUE, 200));
  world.runFor(fromMillis(2));
  ASSERT_EQ(node.property[prop::MODE], MODE_TORQUE);

  const sim::MotorTimerUnit& timer = simNode.chip().motorTimer();
  const sim::SimTime period =
      sim::MotorTimerUnit::periodOf(timer.moduloRegister(), timer.startRegister());
  ASSERT_EQ(period, 1000);
  uint64_t index = timer.currentPeriod().index;
  int state = node.drive.state;
  int repeats = 0;
  for (int i = 0; i < 6 * 200; ++i) {
    world.runFor(period);
    const sim::PwmPeriod& now = timer.currentPeriod();
    ASSERT_EQ(now.index, index + 1) << i;
    index = now.index;
    // The interrupt of every period advanced the sequence (phase 6 may repeat for a vote).
    const int next = node.drive.state;
    if (next == state && state == 6) {
      ++repeats;
    } else {
      ASSERT_EQ(next, state % 6 + 1) << i;
    }
    state = next;
    for (int ch = 0; ch < 6; ch += 2) {
      const int16_t on = now.compare[static_cast<size_t>(ch)];
      const int16_t off = now.compare[static_cast<size_t>(ch + 1)];
      EXPECT_GE(on, now.start_value) << i << " ch" << ch;
      EXPECT_LE(off, now.modulo) << i << " ch" << ch;
      EXPECT_LE(on, off) << i << " ch" << ch;
    }
  }
  EXPECT_LT(repeats, 200);
  // The torque command reached the current loop, limited as the node's limits say.
  EXPECT_EQ(node.drive.foc.iDQReq.f32Q, node.drive.motor.cmdTorque * (1 << 18));
  EXPECT_EQ(node.property[prop::TORQUE], node.drive.motor.cmdTorque);
}

}  // namespace
}  // namespace tavrix
