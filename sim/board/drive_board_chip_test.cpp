// The drive board on a simulated chip: the bridge follows the chip's PWM timer and gate pins, and
// the converters sample the DC-link sensor at the delays the node programs.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim/board/drive_board.hpp"
#include "sim/world/testing/test_app.hpp"
#include "sim/world/world.hpp"

namespace tavrix::sim {
namespace {

using platform::AdcConversion;
using platform::AdcUnit;
using testing::TestApp;
using testing::TestAppSlot;
using testing::TestHooks;

constexpr std::array<platform::Pin, 6> kGates = {platform::pins::PTC1, platform::pins::PTC2,
                                                 platform::pins::PTC3, platform::pins::PTC4,
                                                 platform::Pin{3, 4},  platform::Pin{3, 5}};

PlantParams frozenPlant() {
  PlantParams p;
  p.motor.inertia_kgm2 = 1e9;
  p.motor.inductance_h = 1.0;
  return p;
}

struct ChipFixture {
  World world;
  TestHooks hooks;
  TestAppSlot slot{hooks};
  BoardParams params = [] {
    BoardParams b;
    b.current_noise_counts = 0.0;
    return b;
  }();
  DriveBoard board{frozenPlant(), params};
  std::vector<uint16_t> adc0;

  ChipFixture() {
    hooks.adc0 = [this](TestApp& app) {
      for (AdcConversion c : {AdcConversion::A, AdcConversion::B}) {
        if (app.hw.motorTimer.ADC_IsComplete(AdcUnit::ADC0, c)) {
          adc0.push_back(app.hw.motorTimer.ADC_ReadResult(AdcUnit::ADC0, c));
          if (c == AdcConversion::B) app.hw.motorTimer.PDB0_Disarm();
          return;
        }
      }
    };
  }
  SimNode& start() {
    SimNode& n = world.addNode({.name = "n", .factory = slot.factory(), .analog = &board});
    board.attach(n.chip().motorTimer(), n.chip().gpio(), world.queue());
    board.plant().setCurrents(3.0, 0.5 / (0.5 * std::sqrt(3.0)));  // A 3 A, B -1 A, C -2 A
    return n;
  }
  int expected(double amps) const {
    return static_cast<int>(
        std::lround(params.current_offset_counts + params.current_counts_per_a * amps));
  }
};

// Duties 100 (A), 200 (B), 210 (C) with the windows applied; samples at the node's delays fall
// 27 clocks before the middle phase's edges and read C, then -A. Other delays read other sums.
TEST(DriveBoardOnChip, SamplesAtTheProgrammedDelaysSeeTheWindowsCurrents) {
  struct Case {
    uint16_t first, second;
    double first_a, second_a;
  } cases[] = {{273, 673, -2.0, -3.0}, {100, 450, 0.0, 0.0}, {250, 640, -2.0, -3.0}};
  for (const Case& c : cases) {
    ChipFixture f;
    f.hooks.main = [&](TestApp& app) {
      for (platform::Pin pin : kGates) app.hw.gpio.PORT_SetMux(pin, DriveBoard::kPwmFunction);
      const int16_t compare[6] = {-100, 100, -200, 200, -284, 200};
      app.hw.motorTimer.FTM0_SetCompareValues(compare);
      app.hw.motorTimer.FTM0_Init(1000);
      app.hw.motorTimer.PDB0_SetDelaysAndArm(c.first, c.second, c.first + 100, c.second + 100);
    };
    f.start();
    f.world.runUntil(3000);
    ASSERT_EQ(f.adc0.size(), 2u) << c.first;
    EXPECT_NEAR(f.adc0[0], f.expected(c.first_a), 1) << c.first;
    EXPECT_NEAR(f.adc0[1], f.expected(c.second_a), 1) << c.second;
    EXPECT_EQ(f.board.shootThroughCount(), 0u);
  }
}

// Idle levels set by the node as GPIO outputs short the phases through the low sides; before
// anything is configured the pins float and every switch is off.
TEST(DriveBoardOnChip, GatePinsAsGpioDriveTheSwitchesActiveLow) {
  ChipFixture f;
  f.hooks.main = [&](TestApp& app) {
    const bool idle[6] = {true, false, true, false, true, false};
    for (size_t k = 0; k < 6; ++k) {
      app.hw.gpio.GPIO_SetOutput(kGates[k], idle[k]);
      app.hw.gpio.GPIO_SetDirection(kGates[k], true);
      app.hw.gpio.PORT_SetMux(kGates[k], 1);
    }
  };
  for (LegState s : f.board.legStates()) EXPECT_EQ(s, LegState::kOff);
  SimNode& n = f.start();
  f.world.runUntil(100);
  f.board.advanceTo(f.world.now());
  for (LegState s : f.board.legStates()) EXPECT_EQ(s, LegState::kLow);
  // A reset floats the pins again.
  n.chip().powerOnReset();
  for (LegState s : f.board.legStates()) EXPECT_EQ(s, LegState::kOff);
}

}  // namespace
}  // namespace tavrix::sim
