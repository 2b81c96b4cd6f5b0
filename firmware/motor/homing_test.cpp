#include "firmware/motor/homing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "firmware/motor/motor.hpp"
#include "firmware/node/node.hpp"
#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using testing::dataFrame;
using testing::NodeHarness;

constexpr int16_t kNode = 5;

// Stands in for the control interrupt and the plant: at every Cpu_Relax one 1 ms tick and one
// step of an axis with two hard stops. Mode 4 moves `step` counts per turn in the direction of
// the velocity command; mode 3 moves towards the position command. A blocked axis stands still
// (velocityFilt 0) with the torque command at its limit.
struct Axis {
  int32_t lowerStop = -3000;  // true positions of the stops
  int32_t upperStop = 5000;
  bool stopsPresent = true;
  int32_t step = 10;
  int32_t truePos = 0;
  int32_t minSeen = 0, maxSeen = 0;
  int16_t searchTorqueLimit = 0;   // limitedMT seen while searching
  int16_t finalVelocityLimit = 0;  // limitedV seen during the final move
  uint64_t turns = 0;
  std::map<uint64_t, testing::CanFrame> framesAt;  // frames delivered at given turns

  void attach(NodeHarness& h) {
    h.fake.cpu.onRelax = [this, &h] { turn(h); };
  }

  void turn(NodeHarness& h) {
    Node& node = h.node;
    Motor& drive = node.drive;
    ++turns;
    if (auto it = framesAt.find(turns); it != framesAt.end()) h.fake.receive(node, 1, it->second);
    h.fake.tick(node);
    PropertyTable& table = node.propertyTable;
    const int16_t mode = node.property[prop::MODE];
    int32_t move = 0;
    if (mode == MODE_VELOCITY) {
      const int16_t v = node.property[prop::VELOCITY];
      move = v > 0 ? step : (v < 0 ? -step : 0);
      searchTorqueLimit = drive.limitedMT;
    } else if (mode == MODE_POSITION) {
      move = std::clamp(drive.motor.cmdPos - table.get32(prop::POSITION), -step, step);
      finalVelocityLimit = drive.limitedV;
    }
    int32_t next = truePos + move;
    if (stopsPresent) next = std::clamp(next, lowerStop, upperStop);
    const bool blocked = move != 0 && next == truePos;
    table.set32(prop::POSITION, table.get32(prop::POSITION) + (next - truePos));
    truePos = next;
    minSeen = std::min(minSeen, truePos);
    maxSeen = std::max(maxSeen, truePos);
    drive.motor.velocityFilt = blocked ? 0 : move * 100;
    const int16_t limit = drive.limitedMT != 0 ? drive.limitedMT : 1000;
    const int16_t sign = move > 0 ? 1 : (move < 0 ? -1 : 0);
    drive.motor.cmdTorque = static_cast<int16_t>(sign * (blocked ? limit : 10));
    if (mode == MODE_POSITION) drive.errPos = drive.motor.cmdPos - table.get32(prop::POSITION);
  }
};

struct HomingSetup {
  int16_t homeVelocity;
  int32_t travel;
  int32_t backoffHigh;
  int32_t backoffLow;
};

void configure(NodeHarness& h, const HomingSetup& s) {
  int16_t* property = h.node.property;
  PropertyTable& table = h.node.propertyTable;
  property[prop::NODE_ID] = kNode;
  property[prop::STATUS] = STATUS_READY;
  property[prop::HOME_VELOCITY] = s.homeVelocity;
  property[prop::HOME_TORQUE] = 400;
  property[prop::HOME_VELOCITY_LIMIT] = 77;
  property[prop::VELOCITY_LIMIT] = 1000;
  table.set32(prop::TRAVEL, s.travel);
  table.set32(prop::BACKOFF_HIGH, s.backoffHigh);
  table.set32(prop::BACKOFF_LOW, s.backoffLow);
  table.set32(prop::HOME_TARGET, 0x18000);  // only the lower 16 bits count: one half
  table.set32(prop::LOWER_LIMIT, 123);
}

// ---- homing ----------------------------------------------------------------------------------

struct HomingCase {
  HomingSetup setup;
  int32_t upperLimit;  // expected UPPER_LIMIT
  int32_t zeroAt;      // true position of position 0 after homing
  bool visitsLower, visitsUpper;
};

TEST(Homing, BothDirectionsTravelGivenAndMeasured) {
  // Stops at -3000 and 5000 (true), back-offs 200 from the upper and 300 from the lower stop.
  const HomingCase cases[] = {
      {{50, 0, 200, 300}, 7500, -2700, true, true},             // upper stop first, travel measured
      {{-50, 0, 200, 300}, 7500, -2700, true, true},            // lower stop first, travel measured
      {{50, 10000, 200, 0}, 10000, 4800 - 10000, false, true},  // travel given: one stop only
      {{-50, 10000, 0, 300}, 10000, -2700, true, false},
  };
  for (const HomingCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "velocity " << c.setup.homeVelocity << " travel " << c.setup.travel);
    NodeHarness h;
    Axis axis;
    axis.attach(h);
    configure(h, c.setup);
    h.node.drive.motorHome();

    PropertyTable& table = h.node.propertyTable;
    const int16_t* property = h.node.property;
    EXPECT_EQ(table.get32(prop::UPPER_LIMIT), c.upperLimit);
    EXPECT_EQ(table.get32(prop::LOWER_LIMIT), 0);
    EXPECT_EQ(property[prop::HOMED], 1);
    EXPECT_EQ(property[prop::STATUS], STATUS_READY);
    EXPECT_EQ(property[prop::MODE], MODE_POSITION);
    EXPECT_EQ(h.node.drive.limitedMT, 0);
    EXPECT_EQ(h.node.drive.limitedV, 0);
    EXPECT_EQ(axis.searchTorqueLimit, 400);
    EXPECT_EQ(axis.finalVelocityLimit, 77);
    // The scale of the positions: position 0 where expected.
    EXPECT_EQ(axis.truePos - table.get32(prop::POSITION), c.zeroAt);
    // Final move to half the travel, ended once within 100 counts.
    const int32_t target = c.upperLimit / 2;
    EXPECT_EQ(h.node.drive.motor.cmdPos, target);
    EXPECT_LE(std::abs(table.get32(prop::POSITION) - target), 100);
    EXPECT_EQ(axis.minSeen == axis.lowerStop, c.visitsLower);
    EXPECT_EQ(axis.maxSeen == axis.upperStop, c.visitsUpper);
  }
}

TEST(Homing, RefusedHomingsChangeNothingButCancelTheAutomaticOne) {
  struct Refused {
    int16_t status;
    HomingSetup setup;
  };
  const Refused cases[] = {
      {STATUS_HOMING, {500, 0, 100, 100}},  // already homing
      {STATUS_READY, {500, 0, 0, 100}},     // upward search without an upper back-off
      {STATUS_READY, {-500, 0, 100, 0}},    // downward search without a lower back-off
      {STATUS_READY, {0, 0, 100, 100}},     // no homing velocity: no stop would ever be found
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.setup.homeVelocity);
    NodeHarness h;
    configure(h, c.setup);
    h.node.property[prop::STATUS] = c.status;
    h.node.m_autohoming_event = h.node.timers.timerAddEvent(callbacks::motorHome, 1000);
    const int16_t autohomeSlot = static_cast<int16_t>(h.node.m_autohoming_event);
    std::array<int16_t, kPropertyCount> before;
    std::copy(std::begin(h.node.property), std::end(h.node.property), before.begin());
    h.node.drive.motorHome();
    EXPECT_TRUE(std::equal(before.begin(), before.end(), std::begin(h.node.property)));
    EXPECT_EQ(h.fake.cpu.relaxCount, 0u);
    EXPECT_TRUE(h.fake.gpio.ops.empty());
    EXPECT_EQ(h.node.m_autohoming_event, -1);
    EXPECT_EQ(h.node.timers.timers[autohomeSlot].state, Timers::kFree);
  }
}

TEST(Homing, FramesAreServedWhileHomingAndANestedRequestIsRefused) {
  NodeHarness h;
  Axis axis;
  configure(h, {50, 0, 200, 300});
  axis.framesAt[50] = dataFrame(kNode, {prop::STATUS});                        // get
  axis.framesAt[60] = dataFrame(kNode, {0x80 | prop::ACTION, 0, 13, 0});       // home again
  axis.framesAt[70] = dataFrame(kNode, {0x80 | prop::MODE, 0, MODE_IDLE, 0});  // refused
  axis.attach(h);
  h.node.drive.motorHome();
  ASSERT_EQ(h.fake.can.sent.size(), 1u);
  EXPECT_EQ(h.fake.can.sent[0].id, 0x400u | kNode << 5 | 6);
  EXPECT_EQ(h.fake.can.sent[0].data[0], 0x80 | prop::STATUS);
  EXPECT_EQ(h.fake.can.sent[0].data[2], STATUS_HOMING);
  EXPECT_EQ(h.node.propertyTable.get32(prop::UPPER_LIMIT), 7500);
  EXPECT_EQ(h.node.property[prop::STATUS], STATUS_READY);
  EXPECT_EQ(h.node.property[prop::MODE], MODE_POSITION);
}

TEST(Homing, OverTheBusThenScaledTargets) {
  NodeHarness h;
  Axis axis;
  configure(h, {-50, 0, 200, 300});
  axis.attach(h);
  EXPECT_EQ(h.set16(prop::SCALED_TARGET, 1000), 0u);  // not homed: ignored
  EXPECT_EQ(h.node.drive.motor.cmdPos, 0);
  EXPECT_EQ(h.set16(prop::ACTION, 0x0100 | 13), 0u);  // the homing runs inside the set
  EXPECT_EQ(h.get(prop::HOMED), 1);
  EXPECT_EQ(h.get(prop::UPPER_LIMIT), 7500);
  EXPECT_EQ(h.set16(prop::SCALED_TARGET, static_cast<int16_t>(0xFFFF)), 0u);
  EXPECT_EQ(h.node.drive.motor.cmdPos, (65535 * 7500) >> 16);
}

TEST(HomingDeathTest, AStopNeverReachedStillLetsAStatusResetRestartTheNode) {
  EXPECT_EXIT(
      {
        NodeHarness h;
        Axis axis;
        axis.stopsPresent = false;
        configure(h, {50, 0, 200, 300});
        axis.framesAt[20000] = dataFrame(kNode, {0x80 | prop::STATUS, 0, STATUS_RESET, 0});
        axis.attach(h);
        h.node.drive.motorHome();
      },
      ::testing::ExitedWithCode(testing::kResetExitCode), "");
}

TEST(Homing, StopDetectionNeedsStandstillAndTheTorqueLimit) {
  NodeHarness h;
  Motor& drive = h.node.drive;
  drive.limitedMT = 300;
  struct Step {
    int32_t velocity;
    int16_t torque;
  };
  // Moving at the limit, standing below the limit, then standing at the (negative) limit.
  const Step steps[] = {{5, 300}, {0, 299}, {0, -299}, {-1, -300}, {0, -300}};
  size_t turn = 0;
  h.fake.cpu.onRelax = [&] {
    ++turn;
    if (turn < std::size(steps)) {
      drive.motor.velocityFilt = steps[turn].velocity;
      drive.motor.cmdTorque = steps[turn].torque;
    }
  };
  drive.motor.velocityFilt = steps[0].velocity;
  drive.motor.cmdTorque = steps[0].torque;
  homing::waitForStop(h.node);
  EXPECT_EQ(turn, std::size(steps) - 1);
}

// ---- scaled moves ----------------------------------------------------------------------------

TEST(ScaledMove, Arithmetic) {
  struct Case {
    uint16_t p;
    int32_t lower, upper, target;
  };
  const Case cases[] = {
      {65535, 0, 65536, 65535},
      {65535, 1000, 65536, 64535},  // the lower limit is not added
      {0, 1000, 65536, 0},
      {32768, 0, 10000, 5000},
      {1, 0, 10000, 0},
      {65535, 1000, 0, -1000},  // inverted range: the shift rounds down
      {65535, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(homing::scaledTarget(c.p, c.lower, c.upper), c.target)
        << c.p << " " << c.lower << " " << c.upper;
  }
}

TEST(ScaledMove, PositionCommandOutsideProfileMode) {
  NodeHarness h;
  h.node.propertyTable.set32(prop::UPPER_LIMIT, 65536);
  h.node.propertyTable.set32(prop::LOWER_LIMIT, 1000);
  for (int16_t mode : {MODE_IDLE, MODE_POSITION, MODE_VELOCITY}) {
    h.node.property[prop::MODE] = mode;
    h.node.drive.motor.cmdPos = 7;
    h.node.drive.motorMoveToScaledP(65535);
    EXPECT_EQ(h.node.drive.motor.cmdPos, 64535) << mode;
  }
}

TEST(ScaledMove, ProfileModeStartsANewProfileOrRetargetsTheRunningOne) {
  NodeHarness h;
  Motor& drive = h.node.drive;
  PropertyTable& table = h.node.propertyTable;
  int16_t* property = h.node.property;
  table.set32(prop::UPPER_LIMIT, 652 * 100);
  property[prop::VELOCITY_LIMIT] = 40;
  property[prop::ACCEL_LIMIT] = 4;
  ASSERT_EQ(Trajectory_create(&drive.trajectory, 0.0033000002f), 0);
  property[prop::MODE] = MODE_PROFILE;
  drive.motor.cmdPos = 99;

  drive.motorMoveToScaledP(32768);  // idle profile: a new one from POSITION
  EXPECT_EQ(drive.trajectory.state, TRAJECTORY_READY);
  EXPECT_EQ(drive.trajectory.target_position, 652 * 50);
  EXPECT_EQ(drive.trajectory.start_position, 0);
  EXPECT_EQ(drive.motor.cmdPos, 99);  // left to the profile
  for (int i = 0; i < 5; ++i) Trajectory_nextPosition(&drive.trajectory);
  ASSERT_EQ(drive.trajectory.state, TRAJECTORY_ACCEL);
  const int32_t speed = drive.trajectory.current_velocity;
  ASSERT_GT(speed, 0);

  // Running: new target and limits, the speed kept (a new profile would start from VELOCITY 0).
  property[prop::VELOCITY_LIMIT] = 30;
  drive.motorMoveToScaledP(65535);
  EXPECT_EQ(drive.trajectory.state, TRAJECTORY_READY);
  EXPECT_EQ(drive.trajectory.current_velocity, speed);
  EXPECT_EQ(drive.trajectory.max_velocity, 30 * 256);
  EXPECT_EQ(drive.trajectory.target_position, (65535LL * 65200) >> 16);

  // Completed: a new profile again, from the present position and velocity command.
  while (drive.trajectory.state != TRAJECTORY_COMPLETED) Trajectory_nextPosition(&drive.trajectory);
  table.set32(prop::POSITION, 1234);
  property[prop::VELOCITY] = -3;
  drive.motorMoveToScaledP(0);
  EXPECT_EQ(drive.trajectory.state, TRAJECTORY_READY);
  EXPECT_EQ(drive.trajectory.start_position, 1234);
  EXPECT_EQ(drive.trajectory.current_velocity, 3 * 256);
}

// ---- statistics and square root --------------------------------------------------------------

// One tick every 10 turns of Cpu_Relax; the current conversion reads f(tick) meanwhile.
template <typename F>
void feedSamples(NodeHarness& h, F f) {
  auto turns = std::make_shared<int32_t>(0);
  h.fake.cpu.onRelax = [&h, f, turns] {
    ++*turns;
    if (*turns % 10 == 0) h.fake.tick(h.node);
    h.node.result0RA = static_cast<int16_t>(f(*turns / 10));
  };
}

TEST(CollectStats, EqualSamples) {
  for (int16_t v : {int16_t{0}, int16_t{2048}, int16_t{-17}}) {
    NodeHarness h;
    feedSamples(h, [v](int32_t) { return v; });
    stat_t s;
    h.node.drive.motorCollectStats(&s, 25);
    EXPECT_EQ(s.min, v);
    EXPECT_EQ(s.max, v);
    EXPECT_EQ(s.mean, v);
    EXPECT_EQ(s.stdev, 0.0f);
  }
}

TEST(CollectStats, LargeEqualSamplesDoNotHangOnARoundedVariance) {
  // 25 x 4095^2 does not fit the single-precision sum of squares exactly, so the variance
  // comes out as a small non-zero number, possibly negative.
  NodeHarness h;
  feedSamples(h, [](int32_t) { return 4095; });
  stat_t s;
  h.node.drive.motorCollectStats(&s, 25);
  EXPECT_EQ(s.mean, 4095.0f);
  EXPECT_FALSE(std::isnan(s.stdev));
  EXPECT_GE(s.stdev, 0.0f);
  EXPECT_LT(s.stdev, 2.0f);
}

TEST(CollectStats, RampTakesOneSampleEverySecondTick) {
  NodeHarness h;
  feedSamples(h, [](int32_t t) { return 100 + t; });
  stat_t s;
  h.node.drive.motorCollectStats(&s, 25);
  // 25 samples two ticks apart: a ramp 0, 2, ..., 48 above the first.
  EXPECT_EQ(s.max - s.min, 48.0f);
  EXPECT_EQ(s.mean, s.min + 24.0f);
  // Sample deviation of 0, 2, ..., 48: 2 x sqrt(25 x 26 / 12).
  EXPECT_NEAR(s.stdev, 2.0 * std::sqrt(25.0 * 26.0 / 12.0), 2e-3);
}

TEST(MotorSqrt, ValuesAndEdgeCases) {
  // Subnormal arguments included: the stop test is met there too, in single precision.
  for (float c : {1.0f, 2.0f, 4.0f, 216.66667f, 0.01f, 1e-30f, 3.4e38f, 12345.678f,
                  std::numeric_limits<float>::denorm_min(), 1e-44f, 1e-40f}) {
    const float t = motorSqrt(c);
    EXPECT_LE(std::fabs(t * t - c), c * 1.0e-4f) << c;
    EXPECT_GT(t, 0.0f);
  }
  EXPECT_EQ(motorSqrt(0.0f), 0.0f);
  EXPECT_EQ(motorSqrt(-1e-3f), 0.0f);  // a slightly negative variance
  EXPECT_EQ(motorSqrt(-5.0f), 0.0f);
  EXPECT_TRUE(std::isnan(motorSqrt(std::numeric_limits<float>::quiet_NaN())));
}

// ---- bridge switch test ----------------------------------------------------------------------

std::vector<std::string> levelOps(const NodeHarness& h) {
  std::vector<std::string> r;
  for (const auto& op : h.fake.gpio.ops) r.push_back(op.what);
  return r;
}

const std::vector<std::string> kIdleWrites = {"PTC1=1", "PTC2=1", "PTC3=1", "PTC4=1", "PTD4=1",
                                              "PTD5=1", "PTC2=0", "PTC4=0", "PTD5=0"};

TEST(TestFets, PinOrderOfEveryCode) {
  std::map<int, std::vector<std::string>> pattern = {
      {22, {"PTD5=1", "PTD4=0"}},
      {25, {"PTC4=1", "PTC3=0"}},
      {26, {"PTC4=1", "PTD5=1", "PTC3=0", "PTD4=0"}},
      {37, {"PTC2=1", "PTC1=0"}},
      {38, {"PTC2=1", "PTD5=1", "PTC1=0", "PTD4=0"}},
      {41, {"PTC2=1", "PTC4=1", "PTC1=0", "PTC3=0"}},
  };
  int acted = 0;
  for (int code = 0; code < 256; ++code) {
    NodeHarness h;
    h.node.property[prop::STATUS] = STATUS_TEST;
    feedSamples(h, [](int32_t) { return 1500; });
    h.node.drive.motorTestFETs(static_cast<uint8_t>(code));
    std::vector<std::string> expected = kIdleWrites;
    if (auto it = pattern.find(code); it != pattern.end()) {
      expected.insert(expected.end(), it->second.begin(), it->second.end());
      ++acted;
    }
    ASSERT_EQ(levelOps(h), expected) << code;
    ASSERT_EQ(h.node.drive.stats.mean, 1500.0f) << code;  // measured in every case
  }
  EXPECT_EQ(acted, 6);
}

TEST(TestFets, NoStepLeavesBothPinsOfAPhaseLow) {
  NodeHarness h;
  h.node.property[prop::STATUS] = STATUS_TEST;
  feedSamples(h, [](int32_t) { return 0; });
  h.node.drive.idlePWM();
  // Every code after every other one: start from each pattern the test can leave behind.
  std::vector<int> codes;
  for (int a : {21, 22, 25, 26, 37, 38, 41, 42, 0}) {
    for (int b : {22, 25, 26, 37, 38, 41, 21}) {
      codes.push_back(a);
      codes.push_back(b);
    }
  }
  for (int code : codes) h.node.drive.motorTestFETs(static_cast<uint8_t>(code));
  std::map<std::string, bool> level;
  for (const auto& op : h.fake.gpio.ops) {
    const auto eq = op.what.find('=');
    if (eq == std::string::npos) continue;
    level[op.what.substr(0, eq)] = op.what[eq + 1] == '1';
    for (const auto& [even, odd] :
         {std::pair{"PTC1", "PTC2"}, std::pair{"PTC3", "PTC4"}, std::pair{"PTD4", "PTD5"}}) {
      if (level.count(even) != 0 && level.count(odd) != 0) {
        ASSERT_TRUE(level[even] || level[odd]) << "after " << op.what;
      }
    }
  }
}

}  // namespace
}  // namespace tavrix
