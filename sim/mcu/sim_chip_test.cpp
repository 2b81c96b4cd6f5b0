#include "sim/mcu/sim_chip.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/world/testing/test_app.hpp"
#include "sim/world/world.hpp"

namespace tavrix::sim {
namespace {

using testing::TestApp;
using testing::TestAppSlot;
using testing::TestHooks;

struct ChipFixture : ::testing::Test {
  World world;
  TestHooks hooks;
  TestAppSlot slot{hooks};
  std::vector<std::string> log;
  SimNode* node = nullptr;

  void start(SpiDevice* spi1 = nullptr) {
    node = &world.addNode({.name = "n", .factory = slot.factory(), .spi1 = spi1});
  }
  void note(const std::string& what) {
    log.push_back(what + "@" + std::to_string(world.now()) + "/L" +
                  std::to_string(node->chip().runningLevel()));
  }
};

// The control interrupt (level 5) starts a sensor transfer and relaxes until the SPI1 completion
// (level 2) has preempted it; the tick (level 10) that falls due meanwhile waits for it to end.
TEST_F(ChipFixture, UrgentInterruptPreemptsAWaitingHandlerAndLessUrgentOnesWait) {
  uint16_t out = 0x1234, in = 0;
  hooks.main = [&](TestApp& app) {
    app.hw.sm1.SM1_Init(nullptr);
    app.hw.ti1.TI1_Init(nullptr);
    app.hw.ti1.FTM1_SetModulo(1019);    // ticks at 1020, 2040, ...
    app.hw.motorTimer.FTM0_Init(2000);  // overflows at 2000, 4000, ...
  };
  hooks.ftm0 = [&](TestApp& app) {
    app.hw.motorTimer.FTM0_ClearOverflowFlag();
    if (world.now() != 2000) return;
    note("pwm-in");
    app.SM1_Semaphore = 0;
    app.hw.sm1.SM1_ReceiveBlock(nullptr, &in, 1);
    app.hw.sm1.SM1_SendBlock(nullptr, &out, 1);
    app.waitUntil([&] { return app.SM1_Semaphore != 0; });
    note("pwm-out");
  };
  hooks.spi1_received = [&](TestApp&) { note("spi1"); };
  hooks.tick = [&](TestApp&) { note("tick"); };
  start();
  world.runUntil(2100);
  // Frame: 2 clocks select delay + 64 clocks; the tick at 2040 waits for the control handler.
  EXPECT_EQ(log, (std::vector<std::string>{"tick@1020/L10", "pwm-in@2000/L5", "spi1@2066/L2",
                                           "pwm-out@2066/L5", "tick@2066/L10"}));
  EXPECT_EQ(in, 0xFFFF);  // nothing on the chip select: the data line floats high
}

TEST_F(ChipFixture, CriticalSectionHoldsEveryInterruptUntilTheOutermostExit) {
  hooks.main = [&](TestApp& app) {
    app.hw.ti1.TI1_Init(nullptr);
    app.hw.cpu.EnterCritical();
    app.hw.cpu.EnterCritical();
    EXPECT_EQ(app.hw.cpu.SR_lock, 2);
    EXPECT_EQ(app.hw.cpu.SR_reg, 0);  // interrupts were open when the outer section began
    app.waitUntil([&] { return node->chip().tick().overflows() == 3; });
    note("inner-exit");
    app.hw.cpu.ExitCritical();
    note("outer-exit");
    app.hw.cpu.ExitCritical();
    note("after");
  };
  hooks.tick = [&](TestApp&) { note("tick"); };
  start();
  world.runUntil(fromMillis(4) + 10);
  const std::string t = std::to_string(fromMillis(3));
  // Three overflows while masked make one pending request, delivered at the outermost exit.
  EXPECT_EQ(log, (std::vector<std::string>{"inner-exit@" + t + "/L16", "outer-exit@" + t + "/L16",
                                           "tick@" + t + "/L10", "after@" + t + "/L16",
                                           "tick@" + std::to_string(fromMillis(4)) + "/L10"}));
}

// SPI0 and the CAN message buffers share level 7; held back together, SPI0 (the earlier
// vector) runs first.
TEST_F(ChipFixture, EqualLevelsRunInVectorOrder) {
  hooks.main = [&](TestApp& app) {
    app.hw.cpu.EnterCritical();
    app.hw.can2.CAN2_Init(nullptr);
    uint8_t bytes[1] = {0x55};
    platform::LDD_CAN_TFrame f;
    f.MessageID = 0x123;
    f.Length = 1;
    f.Data = bytes;
    app.hw.can2.CAN2_SendFrame(nullptr, 0, &f);
    app.hw.sm3.SM3_Init(nullptr);
    app.hw.sm3.SM3_SendBlock(nullptr, bytes, 1);  // handed over at once: block-sent request
    app.waitUntil([&] { return node->chip().can().bufferCode(0) == FlexCan::Code::kTxIdle; });
    note("exit");
    app.hw.cpu.ExitCritical();
  };
  hooks.can_tx = [&](TestApp&, uint8_t) { note("can-tx"); };
  hooks.spi0_sent = [&](TestApp&) { note("spi0-sent"); };
  start();
  world.runUntil(fromMillis(1));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].substr(0, 4), "exit");
  EXPECT_EQ(log[1].substr(0, 10), "spi0-sent@");
  EXPECT_EQ(log[2].substr(0, 7), "can-tx@");
}

TEST_F(ChipFixture, CoreServicesAreRecorded) {
  hooks.main = [&](TestApp& app) {
    app.hw.cpu.PE_low_level_init();
    app.hw.cpu.Cpu_EnablePeripheralClocks();
    app.hw.cpu.OSC_SetCapLoad(0x1A);
  };
  start();
  world.runFor(1);
  EXPECT_EQ(node->chip().lowLevelInitCalls(), 1u);
  EXPECT_TRUE(node->chip().peripheralClocksEnabled());
  EXPECT_EQ(node->chip().oscCapLoad(), 0xA);
}

TEST_F(ChipFixture, GpioOutputsReadTheirLatchInputsTheBoardLevel) {
  using platform::pins::PTA11;
  using platform::pins::PTC1;
  std::vector<bool> reads;
  hooks.main = [&](TestApp& app) {
    platform::Gpio& gpio = app.hw.gpio;
    gpio.PORT_SetMux(PTA11, platform::kPinMuxGpio);
    gpio.GPIO_SetDirection(PTA11, false);
    reads.push_back(gpio.GPIO_GetInput(PTA11));  // board drives it high
    gpio.GPIO_SetOutput(PTA11, false);
    gpio.GPIO_SetDirection(PTA11, true);
    reads.push_back(gpio.GPIO_GetInput(PTA11));  // now its own latch, low
    gpio.GPIO_SetOutput(PTC1, true);
    gpio.GPIO_SetDirection(PTC1, true);
    gpio.PORT_SetMux(PTC1, platform::kPinMuxFtm0);
  };
  start();
  node->chip().gpio().setInputLevel(PTA11, true);
  world.runFor(1);
  EXPECT_EQ(reads, (std::vector<bool>{true, false}));
  GpioPorts& gpio = node->chip().gpio();
  EXPECT_EQ(gpio.mux(PTC1), platform::kPinMuxFtm0);
  EXPECT_TRUE(gpio.latch(PTC1));
  EXPECT_FALSE(gpio.drivenLevel(PTC1).has_value());  // the PWM timer has the pin
  EXPECT_EQ(gpio.drivenLevel(PTA11), std::optional<bool>(false));
}

// The observer of the pins (the board) hears of every real change of a latch, direction or
// multiplexer, never of a write that changes nothing, and, when it names its pins, of those only.
TEST(GpioObserver, HearsOfRealChangesOfItsPinsOnly) {
  using platform::Pin;
  using platform::pins::PTA10;
  using platform::pins::PTA11;
  using platform::pins::PTC1;
  auto observe = [](bool only_some) {
    World world;
    TestHooks hooks;
    TestAppSlot slot{hooks};
    hooks.main = [](TestApp& app) {
      platform::Gpio& gpio = app.hw.gpio;
      for (int cycle = 0; cycle < 3; ++cycle) {
        gpio.GPIO_SetOutput(PTA10, cycle % 2 == 0);  // a probe toggled every cycle
        gpio.GPIO_SetOutput(PTC1, false);            // rewritten with the level it has
        gpio.GPIO_SetOutput(PTA11, true);            // changes the first time only
      }
      gpio.GPIO_SetDirection(PTC1, true);
      gpio.GPIO_SetDirection(PTC1, true);
      gpio.PORT_SetMux(PTC1, platform::kPinMuxFtm0);
      gpio.PORT_SetMux(PTC1, platform::kPinMuxFtm0 | 0x8);  // bits beyond the field
      gpio.GPIO_SetOutput(Pin{7, 1}, true);                 // no such port
    };
    SimNode& node = world.addNode({.name = "n", .factory = slot.factory()});
    std::vector<Pin> seen;
    auto note = [&seen](Pin pin) { seen.push_back(pin); };
    if (only_some) {
      const std::vector<Pin> watched = {PTC1, PTA11, Pin{7, 1}};
      node.chip().gpio().onChange(note, watched);
    } else {
      node.chip().gpio().onChange(note);
    }
    world.runFor(1);
    return seen;
  };
  EXPECT_EQ(observe(false), (std::vector<Pin>{PTA10, PTA11, PTA10, PTA10, PTC1, PTC1}));
  EXPECT_EQ(observe(true), (std::vector<Pin>{PTA11, PTC1, PTC1}));
}

}  // namespace
}  // namespace tavrix::sim
