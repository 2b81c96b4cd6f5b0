#include "sim/world/event_queue.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tavrix::sim {
namespace {

TEST(EventQueue, RunsInTimeOrderTiesInSchedulingOrderAndHonoursCancel) {
  EventQueue q;
  std::string log;
  q.schedule(30, [&] { log += "c"; });
  q.schedule(10, [&] { log += "a"; });
  EventId dropped = q.schedule(20, [&] { log += "x"; });
  q.schedule(20, [&] {
    log += "b";
    // Scheduled for now while running: after everything already due at this instant.
    q.schedule(q.now(), [&] { log += "e"; });
  });
  q.schedule(20, [&] { log += "d"; });
  EXPECT_TRUE(q.cancel(dropped));
  EXPECT_FALSE(dropped);
  EXPECT_FALSE(q.cancel(dropped));
  while (q.runNext()) log += std::to_string(q.now());
  EXPECT_EQ(log, "a10b20d20e20c30");
}

TEST(EventQueue, ClockNeverMovesBackNorPastAPendingEvent) {
  EventQueue q;
  q.advanceTo(100);
  EXPECT_EQ(q.now(), 100);
  q.advanceTo(50);
  EXPECT_EQ(q.now(), 100);
  bool ran = false;
  q.schedule(10, [&] { ran = true; });  // in the past: runs now
  q.schedule(500, [] {});
  q.advanceTo(1000);
  EXPECT_EQ(q.now(), 100);
  ASSERT_TRUE(q.runNext());
  EXPECT_TRUE(ran);
  EXPECT_EQ(q.now(), 100);
}

}  // namespace
}  // namespace tavrix::sim
