#include "firmware/node/timers.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using testing::NodeHarness;

// Callbacks record which ran, in order.
std::vector<char> g_ran;
void cbA(Node&) {
  g_ran.push_back('A');
}
void cbB(Node&) {
  g_ran.push_back('B');
}
// Re-registers itself, as periodic callbacks do; remembers the slot it got back.
int16_t g_again = -2;
void cbAgain(Node& n) {
  g_ran.push_back('R');
  g_again = n.timers.timerAddEvent(cbAgain, 5);
}

class TimersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ran.clear();
    g_again = -2;
    h.node.timers.timerInit();
  }
  // The tick after which a timer registered now with delay n falls due (it runs at the
  // timerHandle that follows that tick).
  int ticksUntilRun(uint32_t n) {
    timers().timerAddEvent(cbA, n);
    timers().timerHandle();
    for (int t = 1; t <= 1000; ++t) {
      h.fake.tick(h.node);
      timers().timerHandle();
      if (!g_ran.empty()) return t;
    }
    return -1;
  }
  Timers& timers() { return h.node.timers; }
  NodeHarness h;
};

TEST_F(TimersTest, DelayNFallsDueOnTickNPlusOne) {
  for (uint32_t n : {0u, 1u, 3u, 250u}) {
    SetUp();
    EXPECT_EQ(ticksUntilRun(n), static_cast<int>(n) + 1) << n;
    // One-shot: never again.
    h.run(n + 5);
    EXPECT_EQ(g_ran.size(), 1u) << n;
  }
}

TEST_F(TimersTest, SeventhTimerIsRefusedAndChangesNothing) {
  for (int i = 0; i < 6; ++i) EXPECT_EQ(timers().timerAddEvent(cbA, 100 + i), i);
  EXPECT_EQ(timers().timerAddEvent(cbB, 1), -1);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(timers().timers[i].f, cbA);
    EXPECT_EQ(timers().timers[i].end, 100u + i);
    EXPECT_EQ(timers().timers[i].state, Timers::kCounting);
  }
  h.run(200);
  EXPECT_EQ(g_ran, std::vector<char>(6, 'A'));  // B never ran
}

TEST_F(TimersTest, SelfRegisteringCallbackGetsLowestFreeSlot) {
  timers().timerAddEvent(cbA, 1000);  // slot 0 stays busy
  EXPECT_EQ(timers().timerAddEvent(cbAgain, 0), 1);
  h.run(1);
  EXPECT_EQ(g_again, 1);  // its own slot: the lowest free one, freed before the call
  timers().timerRemoveEvent(0);
  h.run(6);
  EXPECT_EQ(g_again, 0);  // a lower slot was free this time
}

TEST_F(TimersTest, SlotsDueOnTheSameTickRunInSlotOrder) {
  timers().timerAddEvent(cbB, 2);
  timers().timerAddEvent(cbA, 2);
  for (int i = 0; i < 3; ++i) h.fake.tick(h.node);
  EXPECT_TRUE(g_ran.empty());  // due, but callbacks run only in timerHandle
  timers().timerHandle();
  EXPECT_EQ(g_ran, (std::vector<char>{'B', 'A'}));
}

TEST_F(TimersTest, RemovedTimerNeverRuns) {
  const int16_t a = timers().timerAddEvent(cbA, 3);
  timers().timerAddEvent(cbB, 3);
  h.run(2);
  timers().timerRemoveEvent(a);
  h.run(5);
  EXPECT_EQ(g_ran, std::vector<char>{'B'});
}

TEST_F(TimersTest, RemoveWithHandleOutsideTheTableDoesNothing) {
  for (int i = 0; i < 6; ++i) timers().timerAddEvent(cbA, 1);
  for (int16_t bad : {-1, 6, 7, 100, -32768}) timers().timerRemoveEvent(bad);
  h.run(2);
  EXPECT_EQ(g_ran.size(), 6u);
}

}  // namespace
}  // namespace tavrix
