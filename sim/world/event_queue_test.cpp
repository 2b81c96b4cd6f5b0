#include "sim/world/event_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

TEST(EventQueue, ARunningActionKeepsItsStateWhileItSchedulesManyMoreAndCancelsItself) {
  EventQueue q;
  std::string log;
  EventId self;
  // State captured by value lives in the action's slot; the pool grows several chunks while the
  // action runs and must not move it.
  const std::string tag = "T";
  self = q.schedule(10, [&, tag, count = 0]() mutable {
    EXPECT_FALSE(q.pending(self));  // running: no longer pending
    for (int i = 0; i < 300; ++i) q.schedule(11, [] {});
    EXPECT_FALSE(q.cancel(self));  // cancelling itself does nothing
    EXPECT_FALSE(self);
    ++count;
    log += tag + std::to_string(count);
  });
  const EventId later = q.schedule(12, [&] { log += "L"; });
  ASSERT_TRUE(q.runNext());
  EXPECT_EQ(log, "T1");
  EXPECT_EQ(q.size(), 301u);
  EXPECT_TRUE(q.pending(later));
  while (q.runNext()) {
  }
  EXPECT_EQ(log, "T1L");
  EXPECT_EQ(q.now(), 12);
}

TEST(EventQueue, ARunningActionCancelsOthersAndItsSlotIsFreedOnlyAfterItsRun) {
  EventQueue q;
  std::string log;
  EventId victim = q.schedule(20, [&] { log += "v"; });
  EventId first{};
  EventId second{};
  first = q.schedule(10, [&] {
    // Scheduled while running: a new slot, never the running one's.
    second = q.schedule(15, [&] { log += "s"; });
    EXPECT_NE(second.slot, first.slot);
    EXPECT_TRUE(q.cancel(victim));
    log += "f";
  });
  while (q.runNext()) {
  }
  EXPECT_EQ(log, "fs");
  // All three slots free again: the next three events reuse them, not new ones.
  const EventId a = q.schedule(30, [] {});
  const EventId b = q.schedule(30, [] {});
  const EventId c = q.schedule(30, [] {});
  EXPECT_LT(std::max({a.slot, b.slot, c.slot}), 3u);
}

TEST(EventQueue, AnActionThatThrowsIsDestroyedAndItsSlotFreed) {
  EventQueue q;
  auto owned = std::make_shared<int>(1);
  q.schedule(10, [owned] { throw std::runtime_error("boom"); });
  EXPECT_EQ(owned.use_count(), 2);
  EXPECT_THROW(q.runNext(), std::runtime_error);
  EXPECT_EQ(owned.use_count(), 1);
  EXPECT_TRUE(q.empty());
  bool ran = false;
  const EventId next = q.schedule(20, [&] { ran = true; });
  EXPECT_EQ(next.slot, 0u);
  ASSERT_TRUE(q.runNext());
  EXPECT_TRUE(ran);
}

TEST(EventQueue, EventActionsPassedAsSuchKeepTheirCallable) {
  EventQueue q;
  std::string log;
  EventAction action([&] { log += "a"; });
  q.schedule(5, std::move(action));
  EXPECT_FALSE(action);  // NOLINT(bugprone-use-after-move): moved into the queue
  q.scheduleAfter(1, EventAction([&] { log += "b"; }));
  while (q.runNext()) {
  }
  EXPECT_EQ(log, "ba");
}

// Against a plain ordered map of (time, scheduling order): random mixes of near events (within
// the wheel), far ones (in the heap until the clock comes close), ties, cancels of either kind,
// clock advances and events scheduled from running ones, over several seeds.
TEST(EventQueue, RandomMixesRunInTheOrderOfAnOrderedMap) {
  for (const uint32_t seed : {1u, 2u, 3u, 77u, 2026u}) {
    std::mt19937 rng(seed);
    EventQueue q;
    std::map<std::pair<SimTime, uint64_t>, int> model;  // pending: (time, order) -> name
    std::vector<std::pair<EventId, std::pair<SimTime, uint64_t>>> ids;
    std::vector<int> ran;
    std::vector<int> expected;
    uint64_t order = 0;
    int names = 0;
    const auto delay = [&rng]() -> SimTime {
      switch (rng() % 6) {
        case 0:
          return 0;
        case 1:
          return rng() % 64;
        case 2:
          return 2040 + rng() % 16;  // either side of the wheel's span
        case 3:
          return 2048 + rng() % 60'000;
        default:
          return rng() % 2000;
      }
    };
    std::function<void(SimTime)> add = [&](SimTime at) {
      const int name = names++;
      const SimTime due = std::max(at, q.now());
      const auto key = std::make_pair(due, ++order);
      model[key] = name;
      const EventId id = q.schedule(at, [&, name] {
        ran.push_back(name);
        // Now and then an event schedules others, some at this very instant.
        if (name % 7 == 0) add(q.now());
        if (name % 5 == 0) add(q.now() + delay());
      });
      ids.push_back({id, key});
    };
    for (int step = 0; step < 4000; ++step) {
      const uint32_t op = rng() % 10;
      if (op < 5) {
        add(q.now() + delay() - (rng() % 8 == 0 ? 5 : 0));  // some in the past: due now
      } else if (op < 7 && !ids.empty()) {
        auto& [id, key] = ids[rng() % ids.size()];
        const bool was = model.erase(key) != 0;
        EXPECT_EQ(q.cancel(id), was);
      } else if (op < 9) {
        if (model.empty()) {
          EXPECT_FALSE(q.runNext());
          continue;
        }
        // The model's first is what runs next; record it before the run adds more.
        const auto first = model.begin();
        const SimTime due = first->first.first;
        EXPECT_EQ(q.nextTime(), due);
        expected.push_back(first->second);
        model.erase(first);
        ASSERT_TRUE(q.runNext());
        EXPECT_EQ(q.now(), due);
      } else {
        const SimTime before = q.now();
        const SimTime target = before + delay();
        const SimTime bound = model.empty() ? target : std::min(target, model.begin()->first.first);
        q.advanceTo(target);
        EXPECT_EQ(q.now(), std::max(bound, before));
      }
      ASSERT_EQ(q.size(), model.size()) << "seed " << seed << " step " << step;
    }
    while (!model.empty()) {
      expected.push_back(model.begin()->second);
      model.erase(model.begin());
      ASSERT_TRUE(q.runNext());
    }
    EXPECT_FALSE(q.runNext());
    EXPECT_EQ(ran, expected) << "seed " << seed;
  }
}

}  // namespace
}  // namespace tavrix::sim
