#include "sim/mcu/motor_timer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/mcu/tick_timer.hpp"
#include "sim/world/testing/test_app.hpp"
#include "sim/world/world.hpp"

namespace tavrix::sim {
namespace {

using platform::AdcConversion;
using platform::AdcInputSet;
using platform::AdcUnit;
using testing::TestApp;
using testing::TestAppSlot;
using testing::TestHooks;

struct TimerFixture : ::testing::Test {
  World world;
  TestHooks hooks;
  TestAppSlot slot{hooks};
  ConstantAnalogSource analog{0};
  std::vector<std::string> log;
  SimNode* node = nullptr;

  void start() {
    node = &world.addNode({.name = "n", .factory = slot.factory(), .analog = &analog});
  }
  void note(const std::string& what) { log.push_back(what + "@" + std::to_string(world.now())); }
  MotorTimerUnit& timer() { return node->chip().motorTimer(); }
};

TEST_F(TimerFixture, TickEvery40000ClocksAnd20000AfterModulo19999) {
  hooks.main = [&](TestApp& app) {
    app.hw.ti1.TI1_Init(nullptr);
    app.waitUntil([&] { return log.size() == 2; });
    app.hw.ti1.FTM1_SetModulo(19999);
  };
  hooks.tick = [&](TestApp&) { note("tick"); };
  start();
  world.runUntil(125000);
  EXPECT_EQ(log,
            (std::vector<std::string>{"tick@40000", "tick@80000", "tick@100000", "tick@120000"}));
}

TEST_F(TimerFixture, PwmPeriodFromModulo) {
  struct Case {
    int16_t MODULO;
    int16_t modulo, start;
    SimTime period_clk;
  };
  // An odd MODULO loses one count; a MODULO too small for the counter wraps its 16 bits.
  const Case cases[] = {{1000, 499, -500, 1000},
                        {1001, 499, -500, 1000},
                        {2000, 999, -1000, 2000},
                        {1, -1, 0, 65536}};
  for (const Case& c : cases) {
    World w;
    TestHooks h;
    TestAppSlot s(h);
    std::vector<SimTime> overflows;
    h.main = [&](TestApp& app) { app.hw.motorTimer.FTM0_Init(c.MODULO); };
    h.ftm0 = [&](TestApp& app) {
      app.hw.motorTimer.FTM0_ClearOverflowFlag();
      overflows.push_back(w.now());
    };
    SimNode& n = w.addNode({.name = "n", .factory = s.factory()});
    w.runUntil(3 * c.period_clk);
    EXPECT_EQ(n.chip().motorTimer().moduloRegister(), c.modulo) << c.MODULO;
    EXPECT_EQ(n.chip().motorTimer().startRegister(), c.start) << c.MODULO;
    EXPECT_EQ(overflows, (std::vector<SimTime>{c.period_clk, 2 * c.period_clk, 3 * c.period_clk}))
        << c.MODULO;
  }
}

// Values written during a period take effect at the next period start; a restart begins a new
// period at once.
TEST_F(TimerFixture, CompareValuesAndModuloLoadAtTheNextPeriodStart) {
  std::vector<std::string> periods;
  hooks.main = [&](TestApp& app) {
    timer().onPeriodStart([&](const PwmPeriod& p) {
      periods.push_back(std::to_string(p.start_clk) + ":" + std::to_string(p.period_clk) + ":" +
                        std::to_string(p.compare[0]) + "," + std::to_string(p.compare[5]));
    });
    app.hw.motorTimer.FTM0_Init(1000);
  };
  hooks.ftm0 = [&](TestApp& app) {
    app.hw.motorTimer.FTM0_ClearOverflowFlag();
    const auto k = static_cast<int16_t>(world.now() / 1000);
    const int16_t values[6] = {k, 0, 0, 0, 0, static_cast<int16_t>(-k)};
    app.hw.motorTimer.FTM0_SetCompareValues(values);
    if (world.now() == 3000) app.hw.motorTimer.FTM0_SetModulo(2000);
    if (world.now() == 6000) app.hw.motorTimer.FTM0_RestartPeriod();
  };
  start();
  world.runUntil(8000);
  EXPECT_EQ(periods, (std::vector<std::string>{"0:1000:0,0", "1000:1000:0,0", "2000:1000:1,-1",
                                               "3000:1000:2,-2", "4000:2000:3,-3", "6000:2000:4,-4",
                                               "6000:2000:6,-6", "8000:2000:6,-6"}));
}

struct SamplingFixture : TimerFixture {
  bool switch_sets = true;
  SamplingFixture() {
    analog.set(AdcUnit::ADC0, 7, AdcInputSet::b, 1000);
    analog.set(AdcUnit::ADC1, 23, AdcInputSet::a, 2300);
    analog.set(AdcUnit::ADC1, 6, AdcInputSet::b, 600);
    analog.set(AdcUnit::ADC1, 6, AdcInputSet::a, 6);
    // The node's handlers: A first; ADC0 B disarms; ADC1 switches its input set around B.
    hooks.adc0 = [this](TestApp& app) {
      platform::MotorTimer& t = app.hw.motorTimer;
      if (t.ADC_IsComplete(AdcUnit::ADC0, AdcConversion::A)) {
        note("0A=" + std::to_string(t.ADC_ReadResult(AdcUnit::ADC0, AdcConversion::A)));
      } else if (t.ADC_IsComplete(AdcUnit::ADC0, AdcConversion::B)) {
        note("0B=" + std::to_string(t.ADC_ReadResult(AdcUnit::ADC0, AdcConversion::B)));
        t.PDB0_Disarm();
      }
    };
    hooks.adc1 = [this](TestApp& app) {
      platform::MotorTimer& t = app.hw.motorTimer;
      if (t.ADC_IsComplete(AdcUnit::ADC1, AdcConversion::A)) {
        note("1A=" + std::to_string(t.ADC_ReadResult(AdcUnit::ADC1, AdcConversion::A)));
        if (switch_sets) t.ADC1_SelectInputSet(AdcInputSet::b);
      } else if (t.ADC_IsComplete(AdcUnit::ADC1, AdcConversion::B)) {
        note("1B=" + std::to_string(t.ADC_ReadResult(AdcUnit::ADC1, AdcConversion::B)));
        if (switch_sets) t.ADC1_SelectInputSet(AdcInputSet::a);
        switch_sets = false;
      }
    };
  }
};

TEST_F(SamplingFixture, EachArmingYieldsOneSetAThenBPerConverterInTheFollowingPeriod) {
  uint32_t period = 0;
  hooks.main = [&](TestApp& app) { app.hw.motorTimer.FTM0_Init(1000); };
  hooks.ftm0 = [&](TestApp& app) {
    app.hw.motorTimer.FTM0_ClearOverflowFlag();
    if (++period == 2 || period == 5) app.hw.motorTimer.PDB0_SetDelaysAndArm(273, 673, 373, 773);
  };
  start();
  world.runUntil(12000);
  // Armed at 2000 and 5000; conversions of 50 clocks from the delays after 3000 and 6000. The
  // second set finds ADC1 left on input set a, so its B reads the other input.
  EXPECT_EQ(
      log, (std::vector<std::string>{"0A=1000@3323", "1A=2300@3423", "0B=1000@3723", "1B=600@3823",
                                     "0A=1000@6323", "1A=2300@6423", "0B=1000@6723", "1B=6@6823"}));
  EXPECT_EQ(timer().adcInputSet(AdcUnit::ADC1), AdcInputSet::a);
  EXPECT_FALSE(timer().pdbArmed());
}

TEST_F(SamplingFixture, ResultsHeldBackTogetherRaiseTheEventOncePerResult) {
  hooks.main = [&](TestApp& app) {
    app.hw.motorTimer.FTM0_Init(1000);
    app.hw.motorTimer.PDB0_SetDelaysAndArm(273, 673, 373, 773);
    app.hw.cpu.EnterCritical();
    app.waitUntil([&] { return timer().conversionsCompleted(AdcUnit::ADC0, AdcConversion::B); });
    app.hw.cpu.ExitCritical();
  };
  start();
  world.runUntil(2000);
  EXPECT_EQ(log, (std::vector<std::string>{"0A=1000@1723", "0B=1000@1723", "1A=2300@1723",
                                           "1B=600@1823"}));
}

TEST_F(SamplingFixture, OnDemandReadWaitsForTheNextTriggeredConversion) {
  uint16_t value = 0;
  SimTime returned_at = 0;
  hooks.main = [&](TestApp& app) {
    app.hw.motorTimer.FTM0_Init(1000);
    value = app.hw.motorTimer.ADC1_ReadOnDemand();
    returned_at = world.now();
  };
  hooks.ftm0 = [&](TestApp& app) {
    app.hw.motorTimer.FTM0_ClearOverflowFlag();
    app.hw.motorTimer.PDB0_SetDelaysAndArm(273, 673, 373, 773);
  };
  start();
  world.runUntil(3000);
  EXPECT_EQ(value, 600);  // channel 6 of input set b
  EXPECT_EQ(returned_at, 2000 + 373 + MotorTimerUnit::kConversion_clk);
  // Conversion A raised no event; B still did.
  for (const std::string& entry : log) EXPECT_EQ(entry.substr(0, 2) == "1A", false) << entry;
  EXPECT_NE(std::find(log.begin(), log.end(), "0B=1000@2723"), log.end());
}

}  // namespace
}  // namespace tavrix::sim
