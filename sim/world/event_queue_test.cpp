#include "sim/world/event_queue.hpp"

#include <gtest/gtest.h>

#include <array>
#include <memory>
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

TEST(EventQueue, ReusedSlotsNeverConfuseAnOldIdWithANewEvent) {
  EventQueue q;
  std::string log;
  EventId a = q.schedule(10, [&] { log += "a"; });
  const EventId stale = a;
  ASSERT_TRUE(q.cancel(a));
  // The cancelled event's slot is taken again by the next one.
  EventId b = q.schedule(5, [&] { log += "b"; });
  EXPECT_EQ(b.slot, stale.slot);
  EXPECT_FALSE(q.pending(stale));
  EventId copy = stale;
  EXPECT_FALSE(q.cancel(copy));  // does not remove the new event
  EXPECT_TRUE(q.pending(b));
  EXPECT_EQ(q.size(), 1u);
  EXPECT_EQ(q.nextTime(), 5);
  ASSERT_TRUE(q.runNext());
  EXPECT_FALSE(q.pending(b));
  EXPECT_FALSE(q.runNext());
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(log, "b");
}

TEST(EventQueue, CancelledEventsAtTheFrontDoNotHideTheNextTime) {
  EventQueue q;
  EventId first = q.schedule(10, [] {});
  EventId second = q.schedule(20, [] {});
  q.schedule(30, [] {});
  q.cancel(first);
  EXPECT_EQ(q.nextTime(), 20);
  q.cancel(second);
  EXPECT_EQ(q.nextTime(), 30);
  q.advanceTo(100);
  EXPECT_EQ(q.now(), 30);
}

TEST(EventQueue, LargeCallablesAndEventsScheduledWhileRunningKeepTheirOrder) {
  EventQueue q;
  std::string log;
  // Bigger than the inline storage: kept on the heap, freed when run or cancelled.
  auto big = std::make_shared<std::array<char, 200>>();
  (*big)[0] = 'L';
  std::array<char, 100> payload{};
  payload[0] = 'P';
  q.schedule(10, [&log, payload] { log += payload[0]; });
  EventId dropped = q.schedule(10, [&log, big, payload] { log += (*big)[0]; });
  EXPECT_EQ(big.use_count(), 2);
  q.cancel(dropped);
  EXPECT_EQ(big.use_count(), 1);
  // Many events scheduled from inside a running one (the pool grows under it).
  q.schedule(10, [&] {
    for (int i = 0; i < 100; ++i) q.schedule(10 + i % 3, [&log, i] { log += static_cast<char>('a' + i % 3); });
    log += "R";
  });
  while (q.runNext()) {
  }
  std::string expected = "PR";
  for (char c : {'a', 'b', 'c'}) expected += std::string(c == 'a' ? 34 : 33, c);
  EXPECT_EQ(log, expected);
}

}  // namespace
}  // namespace tavrix::sim
