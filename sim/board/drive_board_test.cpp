#include "sim/board/drive_board.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "firmware/control/temperature.hpp"

namespace tavrix::sim {
namespace {

using platform::AdcInputSet;
using platform::AdcUnit;

constexpr SimTime kStart = 1000;  // the period under test begins here

// A rotor that does not move and windings whose currents barely change within a period, so
// each sample shows which phases the sensor sees.
PlantParams frozenPlant() {
  PlantParams p;
  p.motor.inertia_kgm2 = 1e9;
  p.motor.inductance_h = 1.0;
  return p;
}

BoardParams quietBoard() {
  BoardParams b;
  b.current_noise_counts = 0.0;
  b.bus_noise_counts = 0.0;
  return b;
}

// Duties 100 (A, smallest), 200 (B, middle), 210 (C, largest) with windows applied: C's
// measurement edges -284 / 200; A and B centred.
PwmPeriod measurementPeriod() {
  PwmPeriod p;
  p.index = 1;
  p.start_clk = kStart;
  p.period_clk = 1000;
  p.modulo = 499;
  p.start_value = -500;
  p.compare = {-100, 100, -200, 200, -284, 200};
  return p;
}

std::array<DriveBoard::GatePin, 6> allPwm() {
  std::array<DriveBoard::GatePin, 6> g{};
  for (auto& pin : g) pin.pwm = true;
  return g;
}

std::array<DriveBoard::GatePin, 6> gpioLevels(std::array<bool, 6> levels) {
  std::array<DriveBoard::GatePin, 6> g{};
  for (size_t k = 0; k < 6; ++k) g[k] = {.pwm = false, .driven = true, .level = levels[k]};
  return g;
}

struct Fixture {
  DriveBoard board{frozenPlant(), quietBoard()};
  Fixture() {
    board.setGatePins(allPwm());
    board.setPeriod(measurementPeriod());
    // Phase currents A 3 A, B -1 A, C -2 A.
    board.plant().setCurrents(3.0, 0.5 / (0.5 * std::sqrt(3.0)));
  }
  int current(SimTime rel) { return board.sample(AdcUnit::ADC0, 7, AdcInputSet::b, kStart + rel); }
};

// The firmware samples 27 clocks before the middle phase's on edge (count -227, only the largest
// phase conducts) and before its off edge (count 173, the smallest phase is off): the sensor reads
// the largest phase's current, then the negated smallest one. Samples elsewhere read other sums.
TEST(DriveBoard, DcLinkSensorSeesThePhasesWhoseHighSideConducts) {
  const double gain = quietBoard().current_counts_per_a;
  const double offset = quietBoard().current_offset_counts;
  struct Case {
    SimTime rel;
    double amps;
    const char* window;
  } cases[] = {
      {100, 0.0, "all low sides: no bus current"},
      {273, -2.0, "before the middle on edge: C alone"},
      {450, 0.0, "all high sides: no bus current"},
      {673, -3.0, "before the middle off edge: B and C, that is -A"},
      {710, -3.0, "dead time after the off edges: B and C return through their upper diodes"},
      {720, 0.0, "after the dead time: all low again"},
  };
  Fixture f;
  for (const Case& c : cases) {
    EXPECT_NEAR(f.current(c.rel), offset + gain * c.amps, 1.0) << c.window;
  }
}

TEST(DriveBoard, WrongChannelOrInputSetReadsAnotherPin) {
  Fixture f;
  EXPECT_EQ(f.board.sample(AdcUnit::ADC0, 7, AdcInputSet::a, kStart + 273), 0);
  EXPECT_EQ(f.board.sample(AdcUnit::ADC0, 6, AdcInputSet::b, kStart + 273), 0);
  EXPECT_EQ(f.board.sample(AdcUnit::ADC1, 6, AdcInputSet::a, kStart + 300), 0);
  EXPECT_EQ(f.board.sample(AdcUnit::ADC1, 6, AdcInputSet::b, kStart + 300), 533);  // 24 V
  EXPECT_EQ(f.board.sample(AdcUnit::ADC1, 23, AdcInputSet::a, kStart + 300),
            quietBoard().aux_counts);
}

// Each switch turns on a dead time after its partner turned off; meanwhile the leg is open.
TEST(DriveBoard, DeadTimeSeparatesTheSwitchesOfALeg) {
  Fixture f;
  struct Case {
    SimTime rel;
    LegState a;
  } cases[] = {
      {399, LegState::kLow},  {400, LegState::kOff}, {416, LegState::kOff}, {417, LegState::kHigh},
      {599, LegState::kHigh}, {600, LegState::kOff}, {616, LegState::kOff}, {617, LegState::kLow},
  };
  for (const Case& c : cases) {
    f.board.advanceTo(kStart + c.rel);
    EXPECT_EQ(f.board.legStates()[0], c.a) << c.rel;
  }
  EXPECT_EQ(f.board.shootThroughCount(), 0u);
}

// A pulse that is active at the end of a period makes the next period's low side wait a dead time.
TEST(DriveBoard, LowSideWaitsADeadTimeAfterAPulseRunningIntoThePeriodEnd) {
  DriveBoard board(frozenPlant(), quietBoard());
  board.setGatePins(allPwm());
  PwmPeriod p = measurementPeriod();
  p.compare = {400, 600, -200, 200, -200, 200};  // A active from count 400 past the end
  board.setPeriod(p);
  board.advanceTo(kStart + 999);
  EXPECT_EQ(board.legStates()[0], LegState::kHigh);
  p.start_clk = kStart + 1000;
  p.compare = {-200, 200, -200, 200, -200, 200};
  board.setPeriod(p);
  EXPECT_EQ(board.legStates()[0], LegState::kOff);
  board.advanceTo(kStart + 1000 + 17);
  EXPECT_EQ(board.legStates()[0], LegState::kLow);
}

// The plant is stepped between the switching edges with the legs the pins give there, whatever
// the periods do: repeated compare values, a pulse running into the next period (its low side
// delayed although the compare values repeat), gate pins taken to GPIO levels mid-period (one
// leg in shoot-through) and back. Reference: a second plant stepped one clock at a time with
// the legs read from the pins at each clock. The rotor is frozen, so both integrate the same
// piecewise-exact RL response and agree to rounding.
TEST(DriveBoard, StepsThePlantWithTheLegsThePinsGiveBetweenEdges) {
  DriveBoard board(frozenPlant(), quietBoard());  // advanced in large steps
  DriveBoard pins(frozenPlant(), quietBoard());   // read clock by clock
  Pmsm reference(frozenPlant());
  for (DriveBoard* b : {&board, &pins}) {
    b->plant().setCurrents(3.0, 0.5 / (0.5 * std::sqrt(3.0)));
    b->setGatePins(allPwm());
  }
  reference.setCurrents(3.0, 0.5 / (0.5 * std::sqrt(3.0)));
  uint64_t shoot_through = 0;
  std::array<bool, 3> was_short{};
  auto follow = [&](SimTime until) {
    for (SimTime t = pins.plantTime(); t < until; ++t) {
      const LegStates legs = pins.legStates();
      for (size_t k = 0; k < 3; ++k) {
        const bool is_short = legs[k] == LegState::kShort;
        shoot_through += is_short && !was_short[k];
        was_short[k] = is_short;
      }
      reference.step(legs, quietBoard().bus_v, 1.0 / kBusClockHz);
      pins.advanceTo(t + 1);
    }
    board.advanceTo(until);
    EXPECT_NEAR(board.plant().phaseCurrents()[0], reference.phaseCurrents()[0], 1e-9) << until;
    EXPECT_NEAR(board.plant().phaseCurrents()[1], reference.phaseCurrents()[1], 1e-9) << until;
    EXPECT_EQ(board.shootThroughCount(), shoot_through) << until;
  };
  auto period = [&](SimTime start, std::array<int16_t, 6> compare) {
    PwmPeriod p = measurementPeriod();
    p.start_clk = start;
    p.compare = compare;
    for (DriveBoard* b : {&board, &pins}) b->setPeriod(p);
  };
  const std::array<int16_t, 6> windows = {-100, 100, -200, 200, -284, 200};
  const std::array<int16_t, 6> into_next = {-100, 100, 300, 600, -284, 200};  // B past the end
  follow(kStart);  // the timer not started yet: every switch off
  period(kStart, windows);
  follow(kStart + 1000);
  period(kStart + 1000, windows);  // the same again
  follow(kStart + 2000);
  period(kStart + 2000, into_next);
  follow(kStart + 3000);
  period(kStart + 3000, into_next);  // same values, but B's low side now waits a dead time
  follow(kStart + 3500);
  auto b_shorted = allPwm();
  b_shorted[2] = {.pwm = false, .driven = true, .level = false};
  b_shorted[3] = {.pwm = false, .driven = true, .level = false};
  for (DriveBoard* b : {&board, &pins}) b->setGatePins(b_shorted);
  follow(kStart + 3800);
  for (DriveBoard* b : {&board, &pins}) b->setGatePins(allPwm());
  follow(kStart + 4000);
  period(kStart + 4000, windows);
  follow(kStart + 4000 + 1500);  // past the period's end: the last interval's legs hold
  EXPECT_GE(shoot_through, 1u);
}

// With real windings (a fraction of a millihenry) and currents of amperes, each dead time's
// diodes conduct throughout, and the board steps it together with the interval next to it; with
// currents near zero it steps the open legs exactly. Either way the currents match a plant
// stepped once per interval of constant legs, open legs left open.
TEST(DriveBoard, MergedDeadTimesMatchAPlantSteppedIntervalByInterval) {
  PlantParams plant;
  plant.motor.inertia_kgm2 = 1e9;
  for (const double amperes : {3.0, 0.004}) {
    DriveBoard board(plant, quietBoard());
    DriveBoard pins(plant, quietBoard());
    Pmsm reference(plant);
    for (DriveBoard* b : {&board, &pins}) {
      b->setGatePins(allPwm());
      b->setPeriod(measurementPeriod());  // the plant now at the period's start
      b->plant().setCurrents(amperes, amperes * 0.5 / (0.5 * std::sqrt(3.0)));
    }
    reference.setCurrents(amperes, amperes * 0.5 / (0.5 * std::sqrt(3.0)));
    const SimTime end = kStart + 1000;
    LegStates legs = pins.legStates();
    SimTime from = kStart;
    int intervals = 0;
    for (SimTime t = kStart + 1; t <= end; ++t) {
      pins.advanceTo(t);
      if (t < end && pins.legStates() == legs) continue;
      reference.step(legs, quietBoard().bus_v, static_cast<double>(t - from) / kBusClockHz);
      legs = pins.legStates();
      from = t;
      ++intervals;
    }
    EXPECT_GE(intervals, 10);  // the period's pulses and dead times
    board.advanceTo(end);
    for (size_t k = 0; k < 3; ++k) {
      EXPECT_NEAR(board.plant().phaseCurrents()[k], reference.phaseCurrents()[k], 1e-6)
          << amperes << " A, phase " << k;
    }
  }
}

// Idle levels (even pins high, odd pins low; active low) turn on every low side: the shorted
// windings brake a turning shaft harder than an open bridge lets friction alone.
TEST(DriveBoard, IdleLevelsShortThePhasesAndBrake) {
  PlantParams p;
  p.motor.coulomb_nm = 0.0;
  double speed_after[2] = {};
  for (int idle = 0; idle < 2; ++idle) {
    DriveBoard board(p, quietBoard());
    if (idle == 1) board.setGatePins(gpioLevels({true, false, true, false, true, false}));
    board.plant().setShaft(0.0, 500.0);
    board.advanceTo(fromMillis(5));
    if (idle == 1) {
      for (LegState s : board.legStates()) EXPECT_EQ(s, LegState::kLow);
    }
    speed_after[idle] = board.plant().shaftVelocity();
  }
  // Open bridge: viscous friction alone, w = 500 exp(-t B / J).
  EXPECT_NEAR(speed_after[0], 500.0 * std::exp(-5e-3 * p.motor.viscous_nms / p.motor.inertia_kgm2),
              1.0);
  EXPECT_LT(speed_after[1], 0.5 * speed_after[0]);
}

TEST(DriveBoard, BothSwitchesOfALegOnAreCountedAsShootThrough) {
  DriveBoard board(frozenPlant(), quietBoard());
  const auto idle = gpioLevels({true, false, true, false, true, false});
  const auto b_shorted = gpioLevels({true, false, false, false, true, false});
  board.setGatePins(b_shorted);
  board.advanceTo(100);
  EXPECT_EQ(board.legStates()[1], LegState::kShort);
  EXPECT_EQ(board.shootThroughCount(), 1u);
  board.advanceTo(200);  // still the same shoot-through
  EXPECT_EQ(board.shootThroughCount(), 1u);
  board.setGatePins(idle);
  board.advanceTo(300);
  board.setGatePins(b_shorted);
  board.advanceTo(400);
  EXPECT_EQ(board.shootThroughCount(), 2u);
}

// The reading converts back, through the firmware's own table, to the winding temperature
// (to its resolution; between 24.5 and 30 degC the table has no reading at all).
TEST(DriveBoard, ThermistorFollowsTheConversionTable) {
  DriveBoard board(frozenPlant(), quietBoard());
  struct Case {
    double temp_c;
    double tolerance_c;
  } cases[] = {{-10, 0.2}, {0, 0.2},   {10, 0.1},  {20, 0.1}, {27, 3.0},
               {40, 0.05}, {60, 0.05}, {76, 0.05}, {90, 0.1}, {100, 0.1}};
  for (const Case& c : cases) {
    const uint16_t counts = board.thermistorCounts(c.temp_c);
    const double back = temperature_ConvertToDegC(static_cast<int16_t>(counts)) / 256.0;
    EXPECT_NEAR(back, c.temp_c, c.tolerance_c) << c.temp_c << " degC -> " << counts;
  }
  board.plant().setWindingTemperature(60.0);
  EXPECT_EQ(board.sample(AdcUnit::ADC1, 16, AdcInputSet::a, 10), board.thermistorCounts(60.0));
}

// The encoder answers each frame with the shaft's angle at the frame's instant, turned by its
// mounting offset, in bits 13..2.
TEST(DriveBoard, EncoderReadsTheShaftAtEachFrame) {
  BoardParams b = quietBoard();
  b.encoder_offset_counts = 300;
  PlantParams p;
  p.motor.coulomb_nm = 0.0;
  p.motor.viscous_nms = 0.0;
  DriveBoard board(p, b);
  board.plant().setShaft(-0.5, 100.0);  // rad, rad/s
  for (SimTime t : {SimTime{0}, fromMicros(600), fromMillis(10)}) {
    const uint16_t word = board.encoderPort().transfer(0xFFFF, t);
    const double turns = (-0.5 + 100.0 * static_cast<double>(t) / kBusClockHz) / (2 * M_PI);
    const double expected = std::fmod(std::fmod(turns * 4096 + 300, 4096) + 4096, 4096);
    EXPECT_NEAR((word >> 2) & 0xFFF, std::floor(expected), 1.0) << t;
    EXPECT_EQ(word & 0xC003, 0);
  }
}

TEST(DriveBoard, SameSeedSameSamplesOtherSeedOtherNoise) {
  auto run = [](uint64_t seed) {
    BoardParams b;
    b.noise_seed = seed;
    DriveBoard board(frozenPlant(), b);
    board.setGatePins(allPwm());
    board.setPeriod(measurementPeriod());
    std::vector<uint16_t> out;
    for (SimTime t = 0; t < 1000; t += 10) {
      out.push_back(board.sample(AdcUnit::ADC0, 7, AdcInputSet::b, kStart + t));
      out.push_back(board.sample(AdcUnit::ADC1, 6, AdcInputSet::b, kStart + t));
    }
    return out;
  };
  EXPECT_EQ(run(7), run(7));
  EXPECT_NE(run(7), run(8));
}

}  // namespace
}  // namespace tavrix::sim
