#include "tools/tavrix-sim/serve.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace tavrix::tools {
namespace {

using Clock = std::chrono::steady_clock;

// A reader with a backlog the test sets, counting the loop's visits.
class FakeIo final : public sim::PolledIo {
 public:
  void addPollFds(std::vector<pollfd>&) override {}
  void service(const std::vector<pollfd>&) override {
    ++services;
    if (on_service) on_service();
  }
  size_t backlogBytes() const override { return backlog; }

  size_t backlog = 0;
  int services = 0;
  std::function<void()> on_service;
};

TEST(ServeLoop, PacedRunsNeverRunAheadOfTheWallClock) {
  sim::World world;
  FakeIo io;
  LoopConfig c;
  c.end_clk = sim::fromMillis(300);
  c.speed = 10;
  // At every visit simulated time is at most what the wall clock allows since the start.
  const auto start = Clock::now();
  sim::SimTime ahead_clk = 0;
  io.on_service = [&] {
    const double wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    const auto allowed = static_cast<sim::SimTime>(wall_s * c.speed * sim::kBusClockHz);
    ahead_clk = std::max(ahead_clk, world.now() - allowed);
  };
  const LoopResult r = runLoop(world, c, {&io});
  EXPECT_FALSE(r.stopped);
  EXPECT_EQ(world.now(), c.end_clk);
  EXPECT_GE(r.wall_s, 0.030);               // 300 ms at ten times real time
  EXPECT_LE(ahead_clk, sim::kClocksPerMs);  // within one slice of the allowed time
  EXPECT_GT(io.services, 10);               // served all along, not only at the end
}

TEST(ServeLoop, UnpacedRunsWaitForASlowReaderAndFinallyDropIt) {
  sim::World world;
  FakeIo io;
  io.backlog = 1 << 20;
  LoopConfig c;
  c.end_clk = sim::fromMillis(5);
  c.max_stall_s = 0.05;
  int drops = 0;
  c.drop_behind = [&](size_t limit) {
    ++drops;
    EXPECT_EQ(limit, c.backlog_limit_bytes);
    io.backlog = 0;  // the reader is gone
  };
  sim::SimTime reached_while_stalled = -1;
  io.on_service = [&] {
    if (io.backlog != 0) reached_while_stalled = world.now();
  };
  const LoopResult r = runLoop(world, c, {&io});
  EXPECT_EQ(drops, 1);
  EXPECT_EQ(reached_while_stalled, 0);  // no simulated time passed while waiting
  EXPECT_GE(r.wall_s, 0.05);
  EXPECT_EQ(world.now(), c.end_clk);
}

TEST(ServeLoop, AStopOrAFailedOutputEndsTheRunAtTheNextSlice) {
  {
    sim::World world;
    volatile std::sig_atomic_t stop = 0;
    FakeIo io;
    io.on_service = [&] {
      if (world.now() >= sim::fromMillis(3)) stop = 2;
    };
    LoopConfig c;
    c.end_clk = sim::fromMillis(1000);
    c.stop = &stop;
    const LoopResult r = runLoop(world, c, {&io});
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(world.now(), sim::fromMillis(3));
  }
  {
    sim::World world;
    LoopConfig c;
    c.end_clk = sim::fromMillis(1000);
    c.failed = [&] { return world.now() >= sim::fromMillis(7); };
    const LoopResult r = runLoop(world, c, {});
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(world.now(), sim::fromMillis(7));
  }
}

}  // namespace
}  // namespace tavrix::tools
