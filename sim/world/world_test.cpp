#include "sim/world/world.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/bus/can_frame.hpp"
#include "sim/world/testing/test_app.hpp"

namespace tavrix::sim {
namespace {

using testing::TestApp;
using testing::TestAppSlot;
using testing::TestHooks;

// CAN up with every receive buffer accepting every standard frame.
void openCan(TestApp& app) {
  platform::Can2& can = app.hw.can2;
  void* dev = can.CAN2_Init(nullptr);
  can.CAN2_Disable(dev);
  can.CAN2_SetAcceptanceMask(dev, 1, 0);
  can.CAN2_Enable(dev);
}

struct Received {
  std::string node;
  uint32_t id;
  SimTime at;
};

TEST(World, TwoNodesArbitrateByIdentifierAndReceiveEachOthersFrames) {
  World world;
  std::vector<Received> log;
  TestHooks hooks_a, hooks_b;
  TestAppSlot slot_a(hooks_a), slot_b(hooks_b);
  for (auto* h : {&hooks_a, &hooks_b}) {
    const std::string name = h == &hooks_a ? "a" : "b";
    const uint32_t id = h == &hooks_a ? 0x200 : 0x100;
    h->main = [id](TestApp& app) {
      openCan(app);
      uint8_t payload[2] = {0x12, 0x34};
      platform::LDD_CAN_TFrame f;
      f.MessageID = id;
      f.Length = 2;
      f.Data = payload;
      app.hw.can2.CAN2_SendFrame(nullptr, 0, &f);
    };
    h->can_rx = [&log, &world, name](TestApp& app, uint8_t buffer) {
      uint8_t data[8];
      platform::LDD_CAN_TFrame f;
      f.Data = data;
      if (app.hw.can2.CAN2_ReadFrame(nullptr, buffer, &f) == platform::ERR_OK) {
        log.push_back({name, f.MessageID, world.now()});
      }
    };
  }
  world.addNode({.name = "a", .factory = slot_a.factory()});
  world.addNode({.name = "b", .factory = slot_b.factory()});
  HostEndpoint& host = world.addHostEndpoint();
  world.runFor(fromMillis(1));

  ASSERT_EQ(host.received().size(), 2u);
  EXPECT_EQ(host.received()[0].message.id, 0x100u);
  EXPECT_EQ(host.received()[1].message.id, 0x200u);
  const SimTime frame_clk = canFrameDuration_clk(host.received()[0].message);
  EXPECT_EQ(host.received()[0].end_clk, frame_clk);
  EXPECT_EQ(host.received()[1].end_clk,
            frame_clk + canFrameDuration_clk(host.received()[1].message));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].node, "a");
  EXPECT_EQ(log[0].id, 0x100u);
  EXPECT_EQ(log[0].at, frame_clk);
  EXPECT_EQ(log[1].node, "b");
  EXPECT_EQ(log[1].id, 0x200u);
}

TEST(World, AWaitingNodeStaysParkedUntilAnEventConcernsIt) {
  World world;
  TestHooks hooks;
  TestAppSlot slot(hooks);
  uint64_t turns = 0;
  hooks.main = [&turns](TestApp& app) {
    app.hw.ti1.TI1_Init(nullptr);
    for (;;) {
      ++turns;
      app.hw.cpu.Cpu_Relax();
    }
  };
  world.addNode({.name = "n", .factory = slot.factory()});
  world.runUntil(fromMillis(10));
  // One turn at start, then one per tick: nothing else ever touched the chip.
  EXPECT_EQ(turns, 11u);
  EXPECT_EQ(world.now(), fromMillis(10));
}

TEST(TouchSet, FindsTouchedMembersInOrderAcrossWords) {
  TouchSet set;
  for (size_t i = 0; i < 130; ++i) EXPECT_EQ(set.add(), i);
  EXPECT_EQ(set.next(0), TouchSet::kNone);
  for (size_t i : {129u, 3u, 64u, 63u}) set.mark(i);
  std::vector<size_t> found;
  for (size_t i = set.next(0); i != TouchSet::kNone; i = set.next(i + 1)) found.push_back(i);
  EXPECT_EQ(found, (std::vector<size_t>{3, 63, 64, 129}));
  set.clear(63);
  set.clear(3);
  EXPECT_EQ(set.next(0), 64u);
  EXPECT_EQ(set.next(65), 129u);
  EXPECT_EQ(set.next(130), TouchSet::kNone);
}

// More nodes than one word of the touched set holds: each starts once and wakes once per
// tick of its own, in the order the nodes were added.
TEST(World, EveryNodeOfALargeWorldWakesForItsOwnEventsInOrder) {
  constexpr size_t kNodes = 70;
  World world;
  std::vector<std::unique_ptr<TestHooks>> hooks;
  std::vector<std::unique_ptr<TestAppSlot>> slots;
  std::vector<uint64_t> turns(kNodes, 0);
  std::vector<size_t> order;
  for (size_t n = 0; n < kNodes; ++n) {
    hooks.push_back(std::make_unique<TestHooks>());
    slots.push_back(std::make_unique<TestAppSlot>(*hooks.back()));
    hooks.back()->main = [&turns, &order, n](TestApp& app) {
      // Odd nodes start the 1 ms tick; even ones wait for nothing.
      if (n % 2 == 1) app.hw.ti1.TI1_Init(nullptr);
      for (;;) {
        ++turns[n];
        order.push_back(n);
        app.hw.cpu.Cpu_Relax();
      }
    };
    world.addNode({.name = "n" + std::to_string(n), .factory = slots.back()->factory()});
  }
  world.runUntil(fromMillis(3));
  for (size_t n = 0; n < kNodes; ++n) {
    // One turn at start; then one per tick for the nodes that started their timer.
    EXPECT_EQ(turns[n], n % 2 == 1 ? 4u : 1u) << n;
  }
  // Every turn of a round runs in the order the nodes were added.
  ASSERT_EQ(order.size(), kNodes + 3 * kNodes / 2);
  for (size_t i = 0; i < kNodes; ++i) EXPECT_EQ(order[i], i);
  for (size_t round = 0; round < 3; ++round) {
    for (size_t k = 0; k < kNodes / 2; ++k) {
      EXPECT_EQ(order[kNodes + round * kNodes / 2 + k], 2 * k + 1);
    }
  }
}

// Four lives: the first ends by a reset from the main loop after two ticks, the second by a
// reset from inside the tick handler, the third from the main loop again; the fourth stays.
TEST(World, SystemResetRebuildsTheApplicationOverItsStorageAndRestartsMain) {
  World world;
  TestHooks hooks;
  TestAppSlot slot(hooks);
  std::vector<SimTime> starts;
  int lives = 0;
  hooks.main = [&](TestApp& app) {
    starts.push_back(world.now());
    ++lives;
    EXPECT_EQ(app.scratch[0], 0u) << "fresh application state";
    EXPECT_EQ(app.hw.cpu.SR_lock, 0);
    if (lives == 4) return;
    openCan(app);
    app.hw.ti1.TI1_Init(nullptr);
    app.hw.cpu.EnterCritical();  // the reset must clear the nesting count
    app.hw.cpu.ExitCritical();
    app.hw.cpu.EnterCritical();
    app.hw.cpu.ExitCritical();
    app.waitUntil([&] { return app.scratch[0] >= 2; });
    app.hw.cpu.EnterCritical();
    app.hw.cpu.Cpu_SystemReset();
  };
  hooks.tick = [&](TestApp& app) {
    ++app.scratch[0];
    if (lives == 2 && app.scratch[0] == 2) app.hw.cpu.Cpu_SystemReset();
  };
  SimNode& node = world.addNode({.name = "n", .factory = slot.factory()});
  world.runUntil(fromMillis(20));

  EXPECT_EQ(lives, 4);
  EXPECT_EQ(node.resetCount(), 3u);
  EXPECT_EQ(slot.constructions(), 4);
  EXPECT_EQ(starts, (std::vector<SimTime>{0, fromMillis(2), fromMillis(4), fromMillis(6)}));
  // The last life never started the tick or CAN: the reset left them at power-on.
  EXPECT_FALSE(node.chip().tick().running());
  EXPECT_FALSE(node.chip().can().enabled());
  EXPECT_EQ(node.chip().can().acceptanceMask(), 0u);
  EXPECT_FALSE(node.chip().interruptsMasked());
}

// Resets from every depth: the main loop, the control interrupt waiting for the sensor, and the
// sensor's completion handler nested inside it; stacks full of abandoned frames are reused each
// time (the sanitizer build checks that nothing stale is left in them).
TEST(World, ManyResetsFromNestedHandlersLeaveNothingBehind) {
  World world;
  TestHooks hooks;
  TestAppSlot slot(hooks);
  uint16_t out = 0xA5A5;
  uint16_t in = 0;
  int lives = 0;
  hooks.main = [&](TestApp& app) {
    ++lives;
    app.hw.sm1.SM1_Init(nullptr);
    app.hw.motorTimer.FTM0_Init(1000);
    volatile uint8_t frame[300];  // a big frame below the handlers that will be abandoned
    frame[lives % 300] = 1;
    app.scratch[1] += frame[lives % 300];
    app.waitUntil([&] { return lives % 3 == 0 && app.scratch[0] == 2; });
    app.hw.cpu.Cpu_SystemReset();
  };
  hooks.ftm0 = [&](TestApp& app) {
    app.hw.motorTimer.FTM0_ClearOverflowFlag();
    ++app.scratch[0];
    volatile uint8_t frame[200];
    frame[app.scratch[0] % 200] = 2;
    app.scratch[1] += frame[app.scratch[0] % 200];
    app.SM1_Semaphore = 0;
    app.hw.sm1.SM1_ReceiveBlock(nullptr, &in, 1);
    app.hw.sm1.SM1_SendBlock(nullptr, &out, 1);
    app.waitUntil([&] { return app.SM1_Semaphore != 0; });
    if (lives % 3 == 1 && app.scratch[0] == 3) app.hw.cpu.Cpu_SystemReset();
  };
  hooks.spi1_received = [&](TestApp& app) {
    volatile uint8_t frame[100];
    frame[app.scratch[0] % 100] = 3;
    app.scratch[1] += frame[app.scratch[0] % 100];
    if (lives % 3 == 2 && app.scratch[0] == 2) app.hw.cpu.Cpu_SystemReset();
  };
  SimNode& node = world.addNode({.name = "n", .factory = slot.factory()});
  world.runUntil(fromMillis(2));
  EXPECT_GT(lives, 30);
  EXPECT_EQ(node.resetCount(), static_cast<uint32_t>(lives - 1));
  EXPECT_EQ(slot.constructions(), lives);
}

// Nodes talking on a timer and answering each other, a host injecting frames: the recording of a
// run is the same byte for byte every time.
std::string recordScenario() {
  World world;
  std::ostringstream out;
  world.addRecorder(out);
  TestHooks hooks[2];
  TestAppSlot slots[2] = {TestAppSlot(hooks[0]), TestAppSlot(hooks[1])};
  for (uint32_t n = 0; n < 2; ++n) {
    hooks[n].main = [](TestApp& app) {
      openCan(app);
      app.hw.ti1.TI1_Init(nullptr);
    };
    hooks[n].tick = [n](TestApp& app) {
      if (++app.scratch[0] % (3 + n) != 0) return;
      uint8_t data[3] = {static_cast<uint8_t>(n), static_cast<uint8_t>(app.scratch[0]), 0};
      platform::LDD_CAN_TFrame f;
      f.MessageID = 0x100 + n;
      f.Length = 3;
      f.Data = data;
      app.hw.can2.CAN2_SendFrame(nullptr, 0, &f);
    };
    hooks[n].can_rx = [n](TestApp& app, uint8_t buffer) {
      uint8_t data[8] = {};
      platform::LDD_CAN_TFrame f;
      f.Data = data;
      app.hw.can2.CAN2_ReadFrame(nullptr, buffer, &f);
      if (f.MessageID >= 0x700) {  // host requests get an answer
        data[0] = static_cast<uint8_t>(n);
        f.MessageID = 0x580 + n;
        app.hw.can2.CAN2_SendFrame(nullptr, 0, &f);
      }
    };
    world.addNode({.name = "n" + std::to_string(n), .factory = slots[n].factory()});
  }
  HostEndpoint& host = world.addHostEndpoint();
  for (int i = 0; i < 20; ++i) {
    world.queue().schedule(fromMicros(700 * i + 13), [&host, i] {
      CanMessage m;
      m.id = 0x700 + static_cast<uint32_t>(i % 3);
      m.length = 2;
      m.data = {static_cast<uint8_t>(i), 0xA6};
      host.send(m);
    });
  }
  world.runFor(fromMillis(20));
  return out.str();
}

TEST(World, IdenticalRunsGiveIdenticalRecordings) {
  const std::string first = recordScenario();
  EXPECT_GT(std::count(first.begin(), first.end(), '\n'), 50);
  EXPECT_NE(first.find("581#01"), std::string::npos);
  EXPECT_EQ(recordScenario(), first);
}

TEST(WorldDeathTest, ABusyWaitThatNeverRelaxesIsReported) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        World world(WorldConfig{.runaway_call_limit = 1000});
        TestHooks hooks;
        TestAppSlot slot(hooks);
        hooks.main = [](TestApp& app) {
          for (;;) app.hw.gpio.GPIO_GetInput(platform::pins::PTA11);
        };
        world.addNode({.name = "spinner", .factory = slot.factory()});
        world.runFor(1);
      },
      "spinner: 1001 platform calls without Cpu_Relax");
}

TEST(WorldDeathTest, WaitingOutsideTheNodesOwnCodeIsReported) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  // From the scheduler, and from another node's code: neither may park this node.
  EXPECT_DEATH(
      {
        World world;
        TestHooks hooks;
        TestAppSlot slot(hooks);
        SimNode& node = world.addNode({.name = "idle", .factory = slot.factory()});
        world.runFor(10);
        node.chip().Cpu_Relax();
      },
      "idle: waits outside its own code");
  EXPECT_DEATH(
      {
        World world;
        TestHooks hooks_a;
        TestHooks hooks_b;
        TestAppSlot slot_a(hooks_a);
        TestAppSlot slot_b(hooks_b);
        SimNode* b = nullptr;
        hooks_a.main = [&b](TestApp&) { b->chip().Cpu_Relax(); };
        world.addNode({.name = "a", .factory = slot_a.factory()});
        b = &world.addNode({.name = "b", .factory = slot_b.factory()});
        world.runFor(10);
      },
      "b: waits outside its own code");
}

}  // namespace
}  // namespace tavrix::sim
