#include "firmware/motor/motor.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "firmware/math/frac.hpp"
#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using testing::NodeHarness;

std::vector<std::string> opNames(const NodeHarness& h) {
  std::vector<std::string> r;
  for (const auto& op : h.fake.gpio.ops) r.push_back(op.what);
  return r;
}

const std::vector<std::string> kPinsToTimer = {"PTC1 mux4", "PTC2 mux4", "PTC3 mux4",
                                               "PTC4 mux4", "PTD4 mux4", "PTD5 mux4"};

std::array<int16_t, 6> regularSet(const patternStruct& p) {
  return {p.A.t_on, p.A.t_off, p.B.t_on, p.B.t_off, p.C.t_on, p.C.t_off};
}
std::array<int16_t, 6> measurementSet(const patternStruct& p) {
  return {p.A.m_on, p.A.m_off, p.B.m_on, p.B.m_off, p.C.m_on, p.C.m_off};
}

// A node on the fake platform in ready status with the drive's usual settings.
class DriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    p()[prop::STATUS] = STATUS_READY;
    p()[prop::POSITION_SCALE] = 12800;
    p()[prop::POLES] = 8;
    table().set32(prop::COUNTS_PER_REV, 4096);
    p()[prop::TORQUE_LIMIT] = 30000;
    p()[prop::TORQUE_MAX] = 30000;
    p()[prop::VELOCITY_LIMIT] = 30000;
    p()[prop::OVERCURRENT_LEVEL] = 30000;
    p()[prop::OVERCURRENT_TIME] = 100;
    p()[prop::TEMP_LIMIT] = 19456;
    p()[prop::TEMPERATURE] = 0;
    h.node.computePositionScaling();
  }
  int16_t* p() { return h.node.property; }
  PropertyTable& table() { return h.node.propertyTable; }
  Motor& drive() { return h.node.drive; }
  const std::vector<std::array<int16_t, 6>>& compareSets() { return h.fake.motorTimer.compareSets; }
  // The encoder answers `reading` in bits 13..2, with the other bits set.
  void encoderReads(int reading) {
    h.fake.sm1.answer = static_cast<uint16_t>(0xC003 | (reading << 2));
  }

  NodeHarness h;
};

// ---- the sequencer ----------------------------------------------------------------------------

TEST_F(DriveTest, FirstInterruptDesignsTheFiltersOnceAndRunsPhase0) {
  p()[prop::CMD_FILTER_FREQ] = 1000;
  p()[prop::CMD_FILTER_Q] = 181;
  drive().motorSetPWM();
  EXPECT_EQ(drive().isInitialized, 1);
  EXPECT_EQ(drive().state, 1);
  EXPECT_EQ(h.fake.motorTimer.restarts, 1);
  EXPECT_FLOAT_EQ(drive().cmd_velocity_filter.Fc, 3.05e-5f * 1000.0f);
  EXPECT_FLOAT_EQ(drive().cmd_velocity_filter.Q, 181.0f / 256.0f);
  EXPECT_EQ(drive().in_velocity_filter.Fc, 0.0149993002f);
  EXPECT_EQ(drive().in_velocity_filter.Q, 0.707f);
  EXPECT_EQ(drive().trajectory.state, TRAJECTORY_IDLE);
  EXPECT_EQ(drive().trajectory.dt, 216);  // 3.3 ms x 65536
  // Later interrupts leave the designs alone.
  drive().cmd_velocity_filter.z1 = 5.0f;
  drive().motorSetPWM();
  EXPECT_EQ(drive().cmd_velocity_filter.z1, 5.0f);
}

TEST_F(DriveTest, Phase0StartsFromQuarterDutiesAndResetsTheControllers) {
  p()[prop::VELOCITY_LIMIT] = 1200;
  p()[prop::OVERCURRENT_TIME] = 7;
  drive().velPI.f32IntegPartK_1 = 99;
  drive().velPI.u16LimitFlag = 1;
  drive().velPI.f32UpperLimit = 5;
  drive().posPI.f32InK_1 = 3;
  drive().foc.qAxisPI.f32IntegPartK_1 = 77;
  drive().filteredCurrent_z = 640;
  drive().filteredCurrent = 10;
  drive().A.A.i = 9;
  drive().phase0();
  EXPECT_EQ(drive().A.A.duty, 250);
  EXPECT_EQ(drive().A.B.duty, 250);
  EXPECT_EQ(drive().A.C.duty, 250);
  EXPECT_EQ(drive().A.A.i, 0);
  EXPECT_EQ(h.fake.motorTimer.restarts, 1);
  ASSERT_EQ(compareSets().size(), 1u);
  EXPECT_EQ(compareSets()[0], regularSet(drive().A));
  EXPECT_EQ(drive().foc.uDCBus, 2146959360);  // 0.999755859375
  EXPECT_EQ(drive().foc.qAxisPI.f32IntegPartK_1, 0);
  EXPECT_EQ(drive().velPI.f32IntegPartK_1, 0);
  EXPECT_EQ(drive().velPI.u16LimitFlag, 0);
  EXPECT_EQ(drive().velPI.f32UpperLimit, INT32_MAX);
  EXPECT_EQ(drive().velPI.f32LowerLimit, INT32_MIN);
  EXPECT_EQ(drive().posPI.f32InK_1, 0);
  EXPECT_EQ(drive().posPI.f32UpperLimit, 1200 << 16);
  EXPECT_EQ(drive().posPI.f32LowerLimit, -1200 * 65536);
  EXPECT_EQ(drive().overCurrentCounter, 42);
  EXPECT_EQ(drive().filteredCurrent_z, 0);
  EXPECT_EQ(drive().filteredCurrent, 0);
  EXPECT_EQ(drive().foc.observer.a11, 63569);  // the 12 800-count set

  drive().MODULO = 1002;  // quarter of the period, truncated
  drive().phase0();
  EXPECT_EQ(drive().A.A.duty, 250);
}

TEST_F(DriveTest, PhasesAlternateMeasurementAndRegularSetsAndSampleAfterPhases1And3) {
  encoderReads(100);
  drive().motorSetPWM();  // first interrupt: phase 0
  struct Step {
    int phase;
    bool measurement;
    int arms;  // sampling-trigger armings so far
  };
  const Step steps[] = {{1, true, 1}, {2, false, 1}, {3, true, 2}, {4, false, 2},
                        {5, true, 2}, {6, false, 2}, {1, true, 3}, {2, false, 3}};
  for (const Step& s : steps) {
    ASSERT_EQ(drive().state, s.phase);
    const size_t before = compareSets().size();
    drive().motorSetPWM();
    ASSERT_EQ(compareSets().size(), before + 1) << s.phase;
    // Phase 6 writes the set of the pattern that is active after its swap.
    const patternStruct& active = *drive().p;
    EXPECT_EQ(compareSets().back(), s.measurement ? measurementSet(active) : regularSet(active))
        << s.phase;
    EXPECT_EQ(h.fake.motorTimer.pdbArms.size(), static_cast<size_t>(s.arms)) << s.phase;
  }
  EXPECT_EQ(drive().state, 3);
  EXPECT_EQ(h.fake.motorTimer.restarts, 1);  // phase 0 ran once
  using Channels = std::pair<uint8_t, uint8_t>;
  const std::vector<Channels> channels = {{23, 6}, {16, 6}, {23, 6}};
  EXPECT_EQ(h.fake.motorTimer.adc1Channels, channels);
}

TEST_F(DriveTest, SamplingDelaysFollowTheMidPhaseOfTheMeasurementSet) {
  struct Case {
    int16_t modulo, m_on, m_off;
    std::array<uint16_t, 4> delays;  // ADC0 A, B, ADC1 A, B
  };
  for (const Case& c :
       {Case{1000, -200, 200, {273, 673, 373, 773}}, Case{1000, -42, 42, {431, 515, 531, 615}},
        Case{2000, 0, 0, {973, 973, 1073, 1073}}}) {
    drive().MODULO = c.modulo;
    drive().p->Mid->m_on = c.m_on;
    drive().p->Mid->m_off = c.m_off;
    drive().programSamplingTrigger();
    EXPECT_EQ(h.fake.motorTimer.pdbArms.back(), c.delays) << c.m_on;
    EXPECT_EQ(drive().delay, static_cast<int16_t>(c.delays[1]));
  }
}

TEST_F(DriveTest, SamplesAccumulateOnMaxAndMinAndAverageInPhase5) {
  drive().phase0();
  patternStruct& pat = *drive().p;
  pat.Max = &pat.A;
  pat.Mid = &pat.B;
  pat.Min = &pat.C;
  p()[prop::CURRENT_OFFSET] = 2048;
  h.node.result0RA = 2148;  // Max conducts alone: +100
  h.node.result0RB = 2000;  // Max and Mid conduct: the link carries -Min, so Min is +48
  h.node.result1RA = 1111;
  h.node.result1RB = 2222;
  encoderReads(0);
  drive().phase3();
  EXPECT_EQ(pat.A.i, 100);
  EXPECT_EQ(pat.C.i, 48);
  EXPECT_EQ(p()[prop::ADC1_RAW_A], 1111);
  EXPECT_EQ(p()[prop::VBUS_RAW], 2222);
  h.node.result0RA = 2150;
  h.node.result0RB = 2001;
  drive().phase5();
  EXPECT_EQ(pat.A.i, 202);
  EXPECT_EQ(pat.C.i, 95);
  EXPECT_EQ(pat.A.iAvg, 101);
  EXPECT_EQ(pat.C.iAvg, 47);  // 95 >> 1
  EXPECT_EQ(pat.B.iAvg, -148);
  EXPECT_EQ(drive().foc.iAbcFbck.f32A, 101 << 20);
  EXPECT_EQ(drive().foc.iAbcFbck.f32B, -148 * (1 << 20));
  EXPECT_EQ(drive().foc.iAbcFbck.f32C, 47 << 20);
}

TEST_F(DriveTest, Phase6ScalesTheDutyFractionsToTheLargestOnTime) {
  drive().phase0();
  drive().phase6();
  // The pattern computed in phase 6 is active now (same sector as before, or voting off).
  const patternStruct& active = *drive().p;
  const auto expected = [&](Frac32 f) { return F16Mul(415, static_cast<int16_t>(f >> 16)); };
  // Zero requests and states give one half on every phase: 415 x 0.5, truncated.
  EXPECT_EQ(active.A.duty, expected(drive().foc.pwm32.f32A));
  EXPECT_EQ(active.B.duty, expected(drive().foc.pwm32.f32B));
  EXPECT_EQ(active.C.duty, expected(drive().foc.pwm32.f32C));
  EXPECT_EQ(active.A.duty, 207);
}

// Runs phases 1..6 once from phase 1 (after a phase 0).
void runCycle(Motor& m) {
  for (int i = 0; i < 6; ++i) m.motorSetPWM();
}

TEST_F(DriveTest, SectorVotingRepeatsPhase6UntilTheNewSectorHasEnoughVotes) {
  encoderReads(0);
  p()[prop::SECTOR_VOTES] = 2;
  drive().motorSetPWM();  // phase 0
  // Make the active pattern's sector differ from every one phase 6 can compute.
  drive().p->sector = 9;
  for (int i = 0; i < 5; ++i) drive().motorSetPWM();  // phases 1..5
  ASSERT_EQ(drive().state, 6);
  patternStruct* const old = drive().p;
  size_t sets = compareSets().size();
  drive().motorSetPWM();  // new candidate: the vote starts, nothing is written
  EXPECT_EQ(drive().state, 6);
  EXPECT_EQ(compareSets().size(), sets);
  EXPECT_EQ(drive().votes, 0);
  EXPECT_EQ(drive().voteSector, drive().n->sector);
  old->A.i = 5;
  drive().motorSetPWM();  // second run: one vote, the old pattern stays
  EXPECT_EQ(drive().state, 1);
  EXPECT_EQ(drive().votes, 1);
  EXPECT_EQ(drive().p, old);
  EXPECT_EQ(old->A.i, 0);  // accumulators of the active pattern cleared
  EXPECT_EQ(compareSets().size(), sets + 1);
  EXPECT_EQ(compareSets().back(), regularSet(*old));
  runCycle(drive());  // next cycle: the second vote takes the new pattern
  EXPECT_EQ(drive().votes, 2);
  EXPECT_NE(drive().p, old);
  EXPECT_EQ(drive().state, 1);
}

TEST_F(DriveTest, WithoutVotingTheNewPatternIsTakenEveryCycle) {
  encoderReads(0);
  p()[prop::SECTOR_VOTES] = 0;
  drive().motorSetPWM();
  for (int cycle = 0; cycle < 3; ++cycle) {
    drive().p->sector = 9;  // whatever the sector, the swap happens
    patternStruct* const before = drive().p;
    runCycle(drive());
    EXPECT_NE(drive().p, before) << cycle;
    EXPECT_EQ(drive().state, 1);
  }
}

TEST_F(DriveTest, TemperatureThresholdIsLimited) {
  struct Case {
    int16_t setting, threshold;
  };
  for (const Case& c :
       {Case{-32768, 32512}, Case{-32512, 32512}, Case{-32511, -32511}, Case{12800, 12800},
        Case{19455, 19455}, Case{19456, 19456}, Case{32767, 19456}}) {
    p()[prop::TEMP_LIMIT] = c.setting;
    drive().phase1();
    EXPECT_EQ(drive().temp_threshold.threshold_degC, c.threshold) << c.setting;
  }
}

// ---- bus voltage ------------------------------------------------------------------------------

TEST_F(DriveTest, BusVoltageIsFilteredOn128CallsOutOf256) {
  EXPECT_EQ(Motor::convertVoltage(1000), 4500);
  EXPECT_EQ(Motor::convertVoltage(1001), 4504);  // 4504.5, the half truncated
  EXPECT_EQ(Motor::convertVoltage(65535), static_cast<int16_t>(32767 + 262140));
  p()[prop::BUS_VOLTAGE] = -7;
  h.node.result1RB = 1000;
  for (int call = 1; call <= 128; ++call) drive().sampleVoltage();
  EXPECT_EQ(p()[prop::BUS_VOLTAGE], -7);
  drive().sampleVoltage();  // call 129 seeds the filter
  EXPECT_EQ(p()[prop::BUS_VOLTAGE], 4500);
  EXPECT_EQ(drive().filter_z, 4500 << 14);
  h.node.result1RB = 2000;
  for (int call = 130; call <= 256; ++call) drive().sampleVoltage();
  const int16_t after256 = p()[prop::BUS_VOLTAGE];
  EXPECT_GT(after256, 4500);
  EXPECT_LT(after256, 9000);
  for (int call = 257; call <= 384; ++call) drive().sampleVoltage();
  EXPECT_EQ(p()[prop::BUS_VOLTAGE], after256);
  drive().sampleVoltage();  // call 385 filters again
  EXPECT_GT(p()[prop::BUS_VOLTAGE], after256);
}

TEST_F(DriveTest, VoltageFilterPassesAConstantAndReseedsAfterANegativeInput) {
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(drive().voltageFilter(1234), 1234);
  // A step moves the output by 1/16384 of the step per call.
  int16_t out = 0;
  for (int i = 0; i < 16384; ++i) out = drive().voltageFilter(1234 + 16384);
  EXPECT_GT(out, 1234 + 16384 / 2);
  EXPECT_LT(out, 1234 + 16384 * 7 / 10);
  drive().filter_z = 100;
  EXPECT_EQ(drive().voltageFilter(-20000), static_cast<int16_t>((100 - 20000) >> 14));
  EXPECT_LT(drive().filter_z, 0);
  EXPECT_EQ(drive().voltageFilter(777), 777);  // seeded again
}

// ---- encoder and rotor angle ------------------------------------------------------------------

TEST_F(DriveTest, ReadEncoderExchangesOneFrameAndTakesBits13To2) {
  h.fake.sm1.answer = 0x1234;
  EXPECT_EQ(drive().readEncoder(0), (0x1234 >> 2) & 0xFFF);
  ASSERT_EQ(h.fake.sm1.sentBlocks.size(), 1u);
  EXPECT_EQ(h.fake.sm1.sentBlocks[0], std::vector<uint16_t>{0xFFFF});
  h.fake.sm1.answer = 0xFFFF;
  h.fake.sm1.sendBusy = 3;  // the driver refuses a few times: the send is repeated
  EXPECT_EQ(drive().readEncoder(0), 0xFFF);
  EXPECT_EQ(h.fake.sm1.sentBlocks.size(), 2u);
}

TEST_F(DriveTest, FirstPhase3ReadsTheEncoderAndSetsUpCountsPerElectricalRevolution) {
  struct Case {
    int16_t poles;
    int16_t cts;
  };
  for (const Case& c : {Case{8, 1024}, Case{12, 682}, Case{0, 0}, Case{1, 8192}}) {
    NodeHarness fresh;
    Motor& m = fresh.node.drive;
    fresh.node.property[prop::POLES] = c.poles;
    fresh.node.property[prop::MACHINE] = 0x25;
    fresh.node.propertyTable.set32(prop::COUNTS_PER_REV, 4096);
    fresh.fake.sm1.answer = 3000 << 2;
    m.motor.rotorAngle = -1;
    m.motor.velocity = 5;
    m.motor.velocityFilt = 6;
    m.motor.findingOffset = true;
    m.phase0();
    m.phase3();
    EXPECT_EQ(fresh.fake.sm1.sentBlocks.size(), 1u) << c.poles;
    EXPECT_EQ(m.rawMech, 3000);
    EXPECT_EQ(m.lastRawMech, 3000);
    EXPECT_EQ(m.encCycle, 0);
    EXPECT_EQ(m.motor.rotorAngle, 0);
    EXPECT_EQ(m.motor.ctsPerElecCycle, c.cts) << c.poles;
    EXPECT_EQ(m.motor.velocity, 0);
    EXPECT_EQ(m.motor.velocityFilt, 0);
    EXPECT_FALSE(m.motor.findingOffset);
    EXPECT_TRUE(m.motor.invertTorque);  // machine type 5 in the low five bits
    // The first angle update sees no movement; a zero count per revolution traps nothing.
    m.phase4();
    EXPECT_EQ(m.encincr, 0);
    EXPECT_EQ(fresh.node.propertyTable.get32(prop::POSITION), 0);
    if (c.cts == 0) {
      EXPECT_EQ(m.theta_e, 0);
      EXPECT_EQ(m.angle, 0);
    }
  }
}

TEST_F(DriveTest, EncoderIsReadEveryFourthCycle) {
  encoderReads(10);
  drive().motor.rotorAngle = -1;
  drive().phase3();
  for (int cycle = 1; cycle <= 8; ++cycle) drive().phase3();
  EXPECT_EQ(h.fake.sm1.sentBlocks.size(), 3u);  // cycles 0, 4 and 8
}

// One encoder interval: a read in phase 3 of reading `to` after `from`, then the angle update.
void moveEncoder(Motor& m, int from, int to) {
  m.lastRawMech = static_cast<int16_t>(from);
  m.rawMech = static_cast<int16_t>(to);
  m.encCycle = 0;
  m.updateAngle();
}

TEST_F(DriveTest, EncoderStepsWrapThroughZero) {
  drive().motor.ctsPerElecCycle = 1024;
  struct Case {
    int from, to, step;
  };
  for (const Case& c :
       {Case{4090, 5, 11}, Case{5, 4090, -11}, Case{0, 1000, 1000}, Case{1000, 0, -1000},
        Case{0, 1001, -3095}, Case{1001, 0, 3095}, Case{4095, 0, 1}}) {
    table().set32(prop::POSITION, 100);
    moveEncoder(drive(), c.from, c.to);
    EXPECT_EQ(drive().encincr, c.step) << c.from << " " << c.to;
    EXPECT_EQ(table().get32(prop::POSITION), 100 + c.step);
    EXPECT_EQ(drive().lastRawMech, c.to);
  }
  // The position is 32 bits and wraps.
  table().set32(prop::POSITION, INT32_MAX);
  moveEncoder(drive(), 0, 1);
  EXPECT_EQ(table().get32(prop::POSITION), INT32_MIN);
}

TEST_F(DriveTest, AngleIsInterpolatedBetweenReads) {
  drive().motor.ctsPerElecCycle = 1024;
  p()[prop::ANGLE_LEAD] = 0;
  for (int step : {10, -10}) {
    moveEncoder(drive(), 2000, 2000 + step);
    EXPECT_EQ(p()[prop::MECH_ANGLE], 2000 + step);
    EXPECT_EQ(p()[prop::ANGLE_STEP], -step / 4);
    for (int k = 1; k <= 3; ++k) {
      drive().encCycle = static_cast<int8_t>(k);
      drive().updateAngle();
      EXPECT_EQ(p()[prop::MECH_ANGLE], 2000 + step + k * (step / 4)) << step << " " << k;
    }
  }
  // The lead factor advances the fresh reading by lead/64 of the interval.
  p()[prop::ANGLE_LEAD] = 32;
  moveEncoder(drive(), 100, 140);
  EXPECT_EQ(p()[prop::MECH_ANGLE], 160);
  // The angle stays within one revolution.
  moveEncoder(drive(), 4090, 5);
  EXPECT_EQ(p()[prop::MECH_ANGLE], 10);
  p()[prop::ANGLE_LEAD] = 0;
  moveEncoder(drive(), 10, 2);
  p()[prop::ANGLE_STEP] = 5;
  drive().encCycle = 1;
  drive().updateAngle();
  EXPECT_EQ(p()[prop::MECH_ANGLE], 4093);
}

TEST_F(DriveTest, ElectricalAngleArithmetic) {
  struct Case {
    int16_t mech, offset, cts;
    int16_t theta_m, theta_e;
    int32_t angle;
  };
  for (const Case& c : {
           Case{4095, 100, 1024, 3995, -101, -6464 * 65536},
           Case{612, 100, 1024, 512, 512, INT32_MIN},  // +pi reads as -pi
           Case{613, 100, 1024, 513, -511, -32704 * 65536}, Case{100, 100, 1024, 0, 0, 0},
           Case{50, 100, 1024, -50, -50, -3200 * 65536},
           Case{1000, 0, 682, 1000, 322, 30942 * 65536},    // 5096 mod 682
           Case{1030, 0, 682, 1030, -330, -31710 * 65536},  // 352 > 341
           Case{1000, 0, 0, 1000, 0, 0},                    // no pole count: zero, no trap
       }) {
    drive().motor.ctsPerElecCycle = c.cts;
    p()[prop::ELEC_OFFSET] = c.offset;
    p()[prop::MECH_ANGLE] = c.mech;
    p()[prop::ANGLE_STEP] = 0;
    drive().encCycle = 1;
    drive().updateAngle();
    EXPECT_EQ(drive().theta_m, c.theta_m) << c.mech;
    EXPECT_EQ(drive().theta_e, c.theta_e) << c.mech;
    EXPECT_EQ(drive().angle, c.angle) << c.mech;
    EXPECT_EQ(drive().foc.thRotEl, c.angle);
  }
}

TEST_F(DriveTest, VelocityAndItsSmoothing) {
  h.node.velCoeff = 1;
  drive().motor.ctsPerElecCycle = 1024;
  struct Case {
    int step;
    int32_t filtered;  // from a filtered velocity of 0
  };
  for (const Case& c : {Case{3, 0}, Case{-3, 0}, Case{4, 2}, Case{-4, -2}, Case{5, 2}}) {
    drive().motor.velocityFilt = 0;
    moveEncoder(drive(), 2000, 2000 + c.step);
    EXPECT_EQ(drive().motor.velocity, c.step);
    EXPECT_EQ(drive().motor.velocityFilt, c.filtered) << c.step;
  }
  h.node.velCoeff = 304;  // 3 899 392 / 12 800
  drive().motor.velocityFilt = 1000;
  moveEncoder(drive(), 2000, 2010);
  EXPECT_EQ(drive().motor.velocity, 3040);
  EXPECT_EQ(drive().motor.velocityFilt, 2020);
}

// ---- loops --------------------------------------------------------------------------------

TEST_F(DriveTest, VelocityCommandIsClampedToTheLimitInForce) {
  p()[prop::MODE] = MODE_VELOCITY;
  p()[prop::VELOCITY_LIMIT] = 500;
  p()[prop::VELOCITY] = 700;
  drive().motionLoops();
  EXPECT_EQ(p()[prop::VELOCITY], 500);
  EXPECT_EQ(drive().motor.limVelocity, 500);
  p()[prop::VELOCITY] = -32768;
  drive().motionLoops();
  EXPECT_EQ(p()[prop::VELOCITY], -500);
  drive().limitedV = 100;  // the homing override wins
  drive().motionLoops();
  EXPECT_EQ(p()[prop::VELOCITY], -100);
  EXPECT_EQ(drive().motor.limVelocity, 100);
}

TEST_F(DriveTest, TorqueLimitIsTheSmallerLimitOrTheOverride) {
  p()[prop::MODE] = MODE_TORQUE;
  p()[prop::TORQUE_LIMIT] = 500;
  p()[prop::TORQUE_MAX] = 800;
  struct Case {
    int16_t override, command, applied;
  };
  for (const Case& c : {Case{0, 700, 500}, Case{0, -900, -500}, Case{0, 499, 499},
                        Case{300, 700, 300}, Case{300, -700, -300}}) {
    drive().limitedMT = c.override;
    p()[prop::TORQUE] = c.command;
    drive().motionLoops();
    EXPECT_EQ(drive().motor.cmdTorque, c.applied) << c.command;
    EXPECT_EQ(p()[prop::TORQUE], c.applied);  // the host reads back the applied command
    EXPECT_EQ(drive().foc.iDQReq.f32Q, c.applied * (1 << 18));
  }
  p()[prop::TORQUE_MAX] = 400;
  drive().limitedMT = 0;
  p()[prop::TORQUE] = 2000;
  drive().motionLoops();
  EXPECT_EQ(p()[prop::TORQUE], 400);
}

TEST_F(DriveTest, EveryCycleEndsWithALoggerRecordWhileRecording) {
  p()[prop::MODE] = MODE_TORQUE;
  p()[prop::TORQUE] = 321;
  p()[prop::STEP_CURRENT] = 3;  // recording
  drive().phase2();
  ASSERT_EQ(h.node.logger.logCount, kLogWordsPerRecord);
  EXPECT_EQ(h.node.logger.base32[7], 321 << 18);  // the q-current request of this cycle
  p()[prop::STEP_CURRENT] = 0;
  drive().phase2();
  EXPECT_EQ(h.node.logger.logCount, kLogWordsPerRecord);
}

TEST_F(DriveTest, ModesZeroAndOneKeepTheTorqueCommand) {
  drive().motor.cmdTorque = 123;
  drive().foc.iDQReq.f32Q = 77;
  for (int16_t mode : {MODE_IDLE, MODE_HOLD_TORQUE}) {
    p()[prop::MODE] = mode;
    p()[prop::TORQUE] = 999;
    drive().in_velocity_filter.z1 = 0.0f;
    drive().motor.velocity = 1000;
    biquadInit(&drive().in_velocity_filter, BIQUAD_LOWPASS, 0.0149993002f, 0.707f, 0.0f);
    drive().motionLoops();
    EXPECT_EQ(drive().motor.cmdTorque, 123) << mode;
    EXPECT_EQ(p()[prop::TORQUE], 123) << mode;
    EXPECT_NE(drive().in_velocity_filter.z1, 0.0f);  // the velocity filter still runs
  }
  // Mode 0 requests no current, whatever the command; mode 1 hands the command over.
  drive().foc.iDQReq.f32Q = 77;
  p()[prop::MODE] = MODE_IDLE;
  drive().motionLoops();
  EXPECT_EQ(drive().foc.iDQReq.f32Q, 0);
  p()[prop::MODE] = MODE_HOLD_TORQUE;
  drive().motionLoops();
  EXPECT_EQ(drive().foc.iDQReq.f32Q, 123 << 18);
}

// After a torque command, idle cycles with the bridge off (no current measured) must leave the
// current loop at rest: the pattern in force when a mode set routes the pins to the timer again
// is applied for the rest of that period, before the sequence restarts.
TEST_F(DriveTest, IdleAfterATorqueCommandLeavesTheCurrentLoopAtRest) {
  drive().foc.InitSV();            // the start-up gains
  drive().foc.resetControllers();  // as phase 0 leaves them: the bus voltage and wide limits
  p()[prop::MODE] = MODE_TORQUE;
  p()[prop::TORQUE] = 2000;
  drive().motionLoops();
  ASSERT_EQ(drive().foc.iDQReq.f32Q, 2000 << 18);
  p()[prop::MODE] = MODE_IDLE;
  for (int cycle = 0; cycle < 50; ++cycle) {
    drive().motionLoops();
    drive().foc.SV_Control_A(CurrentInputs{false, 0, 1, false, 0});
    drive().foc.SV_Control_B(0, 0);
  }
  EXPECT_EQ(drive().foc.iDQReq.f32Q, 0);
  EXPECT_EQ(drive().foc.qAxisPI.f32IntegPartK_1, 0);
  EXPECT_EQ(drive().foc.uDQReq.f32Q, 0);
}

TEST_F(DriveTest, VelocityLoopDrivesTheTorqueThroughItsOutputScale) {
  p()[prop::MODE] = MODE_VELOCITY;
  p()[prop::VELOCITY] = 1000;
  // A proportional-only controller with gain 1.0 x 2^0 (mantissa 2^31 - 1 is just below 1).
  GFLIB_CONTROLLER_PIAW_P_T& pi = drive().velPI;
  pi = {};
  pi.f32PropGain = INT32_MAX;
  pi.f32UpperLimit = INT32_MAX;
  pi.f32LowerLimit = INT32_MIN;
  biquadInit(&drive().in_velocity_filter, BIQUAD_LOWPASS, 0.0149993002f, 0.707f, 0.0f);
  drive().motionLoops();
  EXPECT_EQ(drive().errVel, 1000);  // nothing measured yet
  const int32_t out = drive().uReqVel;
  EXPECT_NEAR(out, 1000 << 16, 2);
  EXPECT_EQ(drive().motor.cmdTorque,
            static_cast<int16_t>(F32Mul(out, Motor::kVelocityToCurrent) >> 18));
}

TEST_F(DriveTest, MeasuredVelocityFromANonFiniteFilterIsConvertedSafely) {
  drive().in_velocity_filter = {};
  drive().in_velocity_filter.a0 = 1.0f;
  drive().in_velocity_filter.z1 = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(drive().measuredVelocity(), 0);
  drive().in_velocity_filter.z1 = std::numeric_limits<float>::infinity();
  EXPECT_EQ(drive().measuredVelocity(), INT32_MAX);
  drive().in_velocity_filter = {};
  drive().in_velocity_filter.a0 = 1.0f;
  drive().motor.velocity = -7;
  EXPECT_EQ(drive().measuredVelocity(), -7);
}

// posPI as a pure integrator state: output = the given value every cycle.
void holdPositionOutput(Motor& m, int32_t out) {
  m.posPI = {};
  m.posPI.f32IntegPartK_1 = out;
  m.posPI.f32UpperLimit = INT32_MAX;
  m.posPI.f32LowerLimit = INT32_MIN;
}

TEST_F(DriveTest, PositionLoopRateLimitsTheVelocityCommandInMode3) {
  p()[prop::MODE] = MODE_POSITION;
  p()[prop::ACCEL_LIMIT] = 10;
  holdPositionOutput(drive(), 500 << 16);
  drive().cmd_velocity_filter = {};
  for (int cycle = 1; cycle <= 5; ++cycle) {
    drive().motionLoops();
    EXPECT_EQ(p()[prop::VELOCITY], 10 * cycle) << cycle;
    EXPECT_EQ(drive().lastV, 10 * cycle);
  }
  holdPositionOutput(drive(), -500 * 65536);
  drive().motionLoops();
  EXPECT_EQ(p()[prop::VELOCITY], 40);
  // Mode 5 has no rate limit.
  p()[prop::MODE] = MODE_PROFILE;
  drive().motionLoops();
  EXPECT_EQ(p()[prop::VELOCITY], -500);
}

TEST_F(DriveTest, PositionErrorIsSaturatedAndScaled) {
  p()[prop::MODE] = MODE_POSITION;
  p()[prop::ACCEL_LIMIT] = 30000;
  drive().posPI = {};
  drive().posPI.f32UpperLimit = INT32_MAX;
  drive().posPI.f32LowerLimit = INT32_MIN;
  const int32_t sat = h.node.errPosSat;
  ASSERT_GT(sat, 0);
  table().set32(prop::POSITION, 1000);
  for (int32_t target : {1000 + 5, 1000 - 5, INT32_MAX, INT32_MIN + 2000}) {
    drive().motor.cmdPos = target;
    drive().motionLoops();
    int32_t err = math::wrapSub32(target, 1000);
    if (err > sat) err = sat;
    if (err < -sat) err = -sat;
    EXPECT_EQ(drive().errPos, err * h.node.errPosConvert) << target;
  }
}

TEST_F(DriveTest, FilteredVelocityCommandIsRoundedHalfAwayFromZero) {
  p()[prop::MODE] = MODE_PROFILE;
  p()[prop::FILTER_FLAGS] = 1;
  holdPositionOutput(drive(), -131073);
  drive().cmd_velocity_filter = {};
  drive().cmd_velocity_filter.a0 = 0.5f;  // output -65 536.5
  drive().motionLoops();
  EXPECT_EQ(p()[prop::VELOCITY], -2);  // -65 537 >> 16
  p()[prop::FILTER_FLAGS] = 0;
  drive().motionLoops();
  EXPECT_EQ(p()[prop::VELOCITY], -3);  // the unfiltered output, -131 073 >> 16
}

TEST_F(DriveTest, TrajectoryAdvancesEvery22ndCycleInMode5) {
  drive().firstInterrupt();
  p()[prop::VELOCITY_LIMIT] = 1000;
  p()[prop::ACCEL_LIMIT] = 100;
  drive().writeMode(MODE_PROFILE);
  ASSERT_EQ(p()[prop::MODE], MODE_PROFILE);
  EXPECT_EQ(drive().trajectory.target_position, 0);  // holds the present position
  Trajectory_setTargetPosition(&drive().trajectory, 100000);
  // The commanded position changes only in every 22nd cycle, the first time in cycle 22.
  int32_t last = drive().motor.cmdPos;
  std::vector<int> changes;
  for (int cycle = 1; cycle <= 22 * 6; ++cycle) {
    drive().motionLoops();
    if (drive().motor.cmdPos != last) changes.push_back(cycle);
    last = drive().motor.cmdPos;
  }
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.front(), 22);
  for (int cycle : changes) EXPECT_EQ(cycle % 22, 0) << cycle;
  EXPECT_GT(last, 0);
  // Mode 3 resets the pacing.
  p()[prop::MODE] = MODE_POSITION;
  drive().motionLoops();
  EXPECT_EQ(drive().pos_loop, 0);
}

TEST_F(DriveTest, SoftBoundsStopTorqueOutward) {
  p()[prop::MODE] = MODE_TORQUE;
  table().set32(prop::LOWER_LIMIT, -1000);
  table().set32(prop::UPPER_LIMIT, 1000);
  struct Case {
    int16_t homed;
    int32_t position;
    int16_t command, applied;
  };
  for (const Case& c : {Case{1, 1051, 300, 0}, Case{1, 1051, -300, -300}, Case{1, 1050, 300, 300},
                        Case{1, -1051, -300, 0}, Case{1, -1051, 300, 300},
                        Case{1, -1050, -300, -300}, Case{0, 5000, 300, 300}}) {
    p()[prop::HOMED] = c.homed;
    table().set32(prop::POSITION, c.position);
    p()[prop::TORQUE] = c.command;
    drive().motionLoops();
    EXPECT_EQ(p()[prop::TORQUE], c.applied) << c.position << " " << c.command;
  }
}

TEST_F(DriveTest, FoldbackActsFromCycle50AndRearmsBelowTheLevel) {
  p()[prop::MODE] = MODE_TORQUE;
  p()[prop::OVERCURRENT_LEVEL] = 1000;
  p()[prop::OVERCURRENT_TIME] = 1;
  EXPECT_EQ(drive().Motor_IsOvercurrentFault(), 0);  // nothing armed, nothing reported
  drive().firstInterrupt();
  drive().phase0();
  for (int cycle = 1; cycle <= 60; ++cycle) {
    p()[prop::TORQUE] = 2000;
    drive().motionLoops();
    if (cycle == 43) {
      EXPECT_LT(drive().filteredCurrent, 1000);
    }
    if (cycle == 44) {
      EXPECT_GE(drive().filteredCurrent, 1000);
    }
    EXPECT_EQ(p()[prop::TORQUE], cycle >= 50 ? 1000 : 2000) << cycle;
    EXPECT_EQ(drive().Motor_IsOvercurrentFault(), cycle >= 49 ? 1 : 0) << cycle;
  }
  // The filter saw the commands before the replacement, so it has kept rising.
  EXPECT_GT(drive().filteredCurrent, 1000);
  int cycles = 0;
  while (drive().filteredCurrent >= 1000 && cycles < 1000) {
    p()[prop::TORQUE] = 0;
    drive().motionLoops();
    ++cycles;
  }
  EXPECT_EQ(drive().overCurrentCounter, 6);
  EXPECT_EQ(drive().Motor_IsOvercurrentFault(), 0);
  // A negative request folds back to the negative level.
  for (int cycle = 0; cycle < 200; ++cycle) {
    p()[prop::TORQUE] = -2000;
    drive().motionLoops();
  }
  EXPECT_EQ(p()[prop::TORQUE], -1000);
}

TEST_F(DriveTest, OverTemperatureLatchesAndHoldsTheTorqueAtZero) {
  p()[prop::MODE] = MODE_TORQUE;
  drive().temp_threshold.threshold_degC = 12800;
  drive().temp_threshold.timeout_ticks = 3;
  p()[prop::TEMPERATURE] = 12800;
  int latchedAt = 0;
  for (int cycle = 1; cycle <= 6; ++cycle) {
    p()[prop::TORQUE] = 500;
    drive().motionLoops();
    if (p()[prop::OVERTEMP] != 0 && latchedAt == 0) latchedAt = cycle;
    EXPECT_EQ(p()[prop::TORQUE], latchedAt != 0 ? 0 : 500) << cycle;
  }
  EXPECT_EQ(latchedAt, 4);  // more than three checks in a row at the threshold
  // Cooled down: still 0 until the flag is cleared.
  p()[prop::TEMPERATURE] = 0;
  for (int cycle = 0; cycle < 3; ++cycle) {
    p()[prop::TORQUE] = 500;
    drive().motionLoops();
    EXPECT_EQ(p()[prop::TORQUE], 0);
  }
  p()[prop::OVERTEMP] = 0;
  p()[prop::TORQUE] = 500;
  drive().motionLoops();
  EXPECT_EQ(p()[prop::TORQUE], 500);
}

// ---- the property-protocol rows that reach the drive ----------------------------------------

class ProtocolRows : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    p()[prop::NODE_ID] = 5;
  }
};

TEST_F(ProtocolRows, ModeSetsChangeTheBridgeAndRestartTheSequence) {
  table().set32(prop::POSITION, 777);
  drive().state = 4;
  h.set16(prop::MODE, MODE_TORQUE);
  EXPECT_EQ(p()[prop::MODE], MODE_TORQUE);
  EXPECT_EQ(opNames(h), kPinsToTimer);
  EXPECT_EQ(drive().state, 0);
  h.fake.gpio.ops.clear();
  drive().state = 4;
  h.set16(prop::MODE, MODE_HOLD_TORQUE);  // the bridge stays driven
  EXPECT_EQ(p()[prop::MODE], MODE_HOLD_TORQUE);
  EXPECT_TRUE(h.fake.gpio.ops.empty());
  EXPECT_EQ(drive().state, 4);
  p()[prop::VELOCITY] = 50;
  h.set16(prop::MODE, MODE_VELOCITY);
  EXPECT_EQ(p()[prop::VELOCITY], 0);
  EXPECT_EQ(drive().state, 0);
  drive().motor.cmdPos = 12;
  drive().state = 2;
  h.set16(prop::MODE, MODE_POSITION);  // smoothly on from mode 4
  EXPECT_EQ(drive().motor.cmdPos, 12);
  EXPECT_EQ(drive().state, 2);
  h.set16(prop::MODE, MODE_PROFILE);
  EXPECT_EQ(drive().trajectory.target_position, 777);
  h.fake.gpio.ops.clear();
  h.set16(prop::MODE, MODE_IDLE);
  EXPECT_EQ(opNames(h).size(), 18u);  // idle levels
  EXPECT_EQ(h.fake.gpio.state(platform::pins::PTC1).mux, platform::kPinMuxGpio);
}

TEST_F(ProtocolRows, TorqueAndVelocityCommandsAreAppliedLimitedAndReadBack) {
  h.set16(prop::MODE, MODE_TORQUE);
  p()[prop::TORQUE_LIMIT] = 1500;
  h.set16(prop::TORQUE, 2000);
  EXPECT_EQ(h.get(prop::TORQUE), 2000);
  drive().phase2();
  EXPECT_EQ(h.get(prop::TORQUE), 1500);  // the applied command replaces the host's
  EXPECT_EQ(drive().foc.iDQReq.f32Q, 1500 << 18);

  h.set16(prop::MODE, MODE_VELOCITY);
  p()[prop::VELOCITY_LIMIT] = 900;
  h.set16(prop::VELOCITY, 1200);
  drive().phase2();
  EXPECT_EQ(p()[prop::VELOCITY], 900);  // the command, clamped
  // A get of VELOCITY answers the measured velocity, not the command.
  drive().motor.ctsPerElecCycle = 1024;
  moveEncoder(drive(), 1000, 1010);  // 10 counts: 304 x 10
  EXPECT_EQ(drive().motor.velocityFilt, 1520);
  EXPECT_EQ(h.get(prop::VELOCITY), (1520 * 11) >> 8);
}

TEST_F(ProtocolRows, OffsetSearchAlignsAtAngleZeroAndSavesTheOffsetAfter5000Ticks) {
  drive().motor.ctsPerElecCycle = 1024;
  p()[prop::SAVED_78] = 9;
  p()[prop::ALIGN_CURRENT] = 100;
  h.set16(prop::CALIBRATE, 61);
  EXPECT_EQ(p()[prop::MODE], MODE_TORQUE);
  EXPECT_EQ(p()[prop::SAVED_78], 0);
  EXPECT_TRUE(drive().motor.findingOffset);
  // While searching, the current loop asks for a d current at electrical angle 0.
  drive().phase0();
  drive().foc.thRotEl = 12345;
  drive().phase5();
  EXPECT_EQ(drive().foc.iDQReq.f32D, 100 << 18);
  EXPECT_EQ(drive().foc.iDQReq.f32Q, 0);
  EXPECT_EQ(drive().foc.thRotEl, 0);

  p()[prop::MECH_ANGLE] = 3000;
  h.run(5000);
  EXPECT_TRUE(drive().motor.findingOffset);
  h.run(1);  // due on the 5001st tick
  EXPECT_FALSE(drive().motor.findingOffset);
  EXPECT_EQ(p()[prop::ELEC_OFFSET], 3000 % 1024);
  EXPECT_EQ(p()[prop::MODE], MODE_IDLE);
  EXPECT_EQ(h.fake.eeprom.get16(122), 3000 % 1024);
}

TEST_F(ProtocolRows, ProfileStartTakesTheTravelAndStartsAtThePresentPosition) {
  drive().firstInterrupt();
  table().set32(prop::POSITION, -4000);
  drive().state = 5;
  h.set32(prop::PROFILE_START, 250000);
  EXPECT_EQ(table().get32(prop::TRAVEL), 250000);
  EXPECT_EQ(p()[prop::MODE], MODE_PROFILE);
  EXPECT_EQ(drive().state, 0);
  EXPECT_EQ(drive().motor.cmdPos, -4000);
  EXPECT_EQ(drive().trajectory.target_position, -4000);
  EXPECT_EQ(opNames(h), kPinsToTimer);
}

// ---- modes and pins -------------------------------------------------------------------------

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
  h.node.property[prop::VELOCITY] = 55;
  h.node.drive.state = 4;
  h.node.drive.writeMode(MODE_VELOCITY);
  EXPECT_TRUE(h.fake.gpio.ops.empty());
  EXPECT_EQ(h.node.property[prop::TORQUE], 77);
  EXPECT_EQ(h.node.property[prop::VELOCITY], 55);
  EXPECT_EQ(h.node.drive.state, 4);
  EXPECT_EQ(h.fake.cpu.SR_lock, 0);
}

TEST(Motor, UnknownModeIsModeZeroAndIdlesInsideTheCriticalSection) {
  NodeHarness h;
  h.node.property[prop::STATUS] = STATUS_READY;
  h.node.property[prop::MODE] = MODE_TORQUE;
  h.node.property[prop::TORQUE] = 77;
  h.node.drive.state = 3;
  h.node.drive.writeMode(7);
  EXPECT_EQ(h.node.property[prop::MODE], MODE_IDLE);
  EXPECT_EQ(h.node.property[prop::TORQUE], 0);
  EXPECT_EQ(h.node.drive.state, 3);  // the sequence keeps running
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

TEST(Motor, ActiveModesHandThePinsToTheTimerAndRestartTheSequence) {
  struct Case {
    int16_t from, to;
    bool restarts;        // pins to the timer and state 0
    bool clearsTorque;    // TORQUE and cmdTorque 0
    bool takesPosition;   // cmdPos = present position
    bool clearsVelocity;  // VELOCITY 0
  };
  for (const Case& c : {Case{MODE_IDLE, MODE_TORQUE, true, true, false, false},
                        Case{MODE_IDLE, MODE_VELOCITY, true, false, false, true},
                        Case{MODE_TORQUE, MODE_VELOCITY, true, false, false, true},
                        Case{MODE_TORQUE, MODE_POSITION, true, true, true, false},
                        Case{MODE_HOLD_TORQUE, MODE_PROFILE, true, true, true, false},
                        Case{MODE_VELOCITY, MODE_POSITION, false, false, false, false},
                        Case{MODE_PROFILE, MODE_POSITION, false, false, false, false},
                        Case{MODE_POSITION, MODE_PROFILE, false, false, false, false},
                        Case{MODE_IDLE, MODE_HOLD_TORQUE, false, false, false, false},
                        Case{MODE_TORQUE, MODE_HOLD_TORQUE, false, false, false, false}}) {
    NodeHarness h;
    Motor& m = h.node.drive;
    int16_t* property = h.node.property;
    property[prop::STATUS] = STATUS_READY;
    property[prop::MODE] = c.from;
    property[prop::TORQUE] = 300;
    property[prop::VELOCITY] = 400;
    h.node.propertyTable.set32(prop::POSITION, 4321);
    m.motor.cmdPos = 99;
    m.motor.cmdTorque = 300;
    m.motor.limTorque = 500;
    m.state = 3;
    m.writeMode(c.to);
    const std::string what = std::to_string(c.from) + "->" + std::to_string(c.to);
    EXPECT_EQ(property[prop::MODE], c.to) << what;
    EXPECT_EQ(opNames(h), c.restarts ? kPinsToTimer : std::vector<std::string>{}) << what;
    for (const auto& op : h.fake.gpio.ops) EXPECT_TRUE(op.masked) << what;
    EXPECT_EQ(m.state, c.restarts ? 0 : 3) << what;
    EXPECT_EQ(property[prop::TORQUE], c.clearsTorque ? 0 : 300) << what;
    EXPECT_EQ(m.motor.cmdTorque, c.clearsTorque ? 0 : 300) << what;
    EXPECT_EQ(m.motor.cmdPos, c.takesPosition ? 4321 : 99) << what;
    EXPECT_EQ(property[prop::VELOCITY], c.clearsVelocity ? 0 : 400) << what;
    EXPECT_EQ(h.fake.cpu.SR_lock, 0);
  }
}

TEST(Motor, PositionModeRestartsWhenTheTorqueIsBeyondItsLimit) {
  for (int16_t torque : {501, -501}) {
    NodeHarness h;
    Motor& m = h.node.drive;
    h.node.property[prop::MODE] = MODE_VELOCITY;
    h.node.propertyTable.set32(prop::POSITION, -77);
    m.motor.cmdTorque = torque;
    m.motor.limTorque = 500;
    m.state = 2;
    m.writeMode(MODE_POSITION);
    EXPECT_EQ(m.state, 0) << torque;
    EXPECT_EQ(m.motor.cmdPos, -77);
    EXPECT_EQ(m.motor.cmdTorque, 0);
  }
}

TEST(Motor, ProfileModeStartsAtRestAtThePresentPosition) {
  NodeHarness h;
  Motor& m = h.node.drive;
  m.firstInterrupt();
  h.node.property[prop::MODE] = MODE_IDLE;
  h.node.property[prop::VELOCITY_LIMIT] = 1000;
  h.node.property[prop::ACCEL_LIMIT] = 50;
  h.node.propertyTable.set32(prop::POSITION, 5000);
  m.writeMode(MODE_PROFILE);
  EXPECT_EQ(m.trajectory.target_position, 5000);
  EXPECT_EQ(m.trajectory.state, TRAJECTORY_READY);
  EXPECT_EQ(m.trajectory.distanceToGo, 0);
  // The held profile keeps the commanded position where it is.
  const int32_t next = Trajectory_nextPosition(&m.trajectory);
  EXPECT_EQ(next, 5000);
}

TEST(Motor, RestartedSequenceRunsPhase0AtTheNextInterrupt) {
  NodeHarness h;
  Motor& m = h.node.drive;
  h.node.property[prop::STATUS] = STATUS_READY;
  h.fake.sm1.answer = 0;
  m.motorSetPWM();
  m.motorSetPWM();
  m.motorSetPWM();
  ASSERT_EQ(m.state, 3);
  m.writeMode(MODE_TORQUE);
  m.motorSetPWM();
  EXPECT_EQ(h.fake.motorTimer.restarts, 2);
  EXPECT_EQ(m.state, 1);
}

TEST(Motor, WaitServicesTimersAndReturnsAtOnceWithoutAFreeSlot) {
  NodeHarness h;
  h.fake.cpu.onRelax = [&h] { h.fake.tick(h.node); };
  const uint64_t before = h.fake.cpu.relaxCount;
  h.node.drive.wait(3);
  EXPECT_EQ(h.fake.cpu.relaxCount - before, 4u);  // due on the fourth tick
  for (int i = 0; i < Timers::kSlots; ++i) {
    h.node.timers.timerAddEvent(callbacks::motorControl, 100000);
  }
  const uint64_t full = h.fake.cpu.relaxCount;
  h.node.drive.wait(3);  // no slot: nothing could ever end the wait
  EXPECT_EQ(h.fake.cpu.relaxCount, full);
}

TEST(Motor, HomingRequestCancelsThePendingAutomaticHoming) {
  NodeHarness h;
  h.node.m_autohoming_event = h.node.timers.timerAddEvent(callbacks::motorHome, 1000);
  h.node.drive.motorHome();
  EXPECT_EQ(h.node.m_autohoming_event, -1);
  EXPECT_EQ(h.node.timers.timers[0].state, Timers::kFree);
}

TEST(Motor, WriteOffsetTakesTheAngleModuloAndSavesIt) {
  struct Case {
    int16_t mech, cts, offset;
  };
  for (const Case& c : {Case{2345, 1000, 345}, Case{2345, 0, 0}}) {
    NodeHarness h;
    h.node.property[prop::STATUS] = STATUS_READY;
    h.node.property[prop::MODE] = MODE_TORQUE;
    h.node.property[prop::MECH_ANGLE] = c.mech;
    h.node.drive.motor.ctsPerElecCycle = c.cts;
    h.node.drive.motor.findingOffset = true;
    h.node.drive.motorWriteOffset();
    EXPECT_EQ(h.node.property[prop::ELEC_OFFSET], c.offset);
    EXPECT_EQ(h.node.property[prop::MODE], MODE_IDLE);
    EXPECT_FALSE(h.node.drive.motor.findingOffset);
    EXPECT_EQ(h.fake.eeprom.get16(122), c.offset);
  }
}

}  // namespace
}  // namespace tavrix
