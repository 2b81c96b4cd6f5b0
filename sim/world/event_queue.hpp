// The simulator's one time-ordered event queue and its clock.
//
// Events run in time order; events at the same time run in the order they were scheduled. The
// queue owns simulated time: it only ever moves forward, to the time of the event being run or to
// the end of a run. Header-only so the peripheral and bus models can use it without linking the
// world that drives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

// Names one scheduled event, for cancelling it. A default-constructed id names nothing.
struct EventId {
  SimTime time = 0;
  uint64_t seq = 0;  // 0: no event
  explicit operator bool() const { return seq != 0; }
  bool operator==(const EventId&) const = default;
};

class EventQueue {
 public:
  using Action = std::function<void()>;

  SimTime now() const { return now_; }

  // Runs `action` at `at`; a time in the past is taken as now.
  EventId schedule(SimTime at, Action action) {
    if (at < now_) at = now_;
    const EventId id{at, ++last_seq_};
    events_.emplace(Key{at, id.seq}, std::move(action));
    return id;
  }
  EventId scheduleAfter(SimTime delay_clk, Action action) {
    return schedule(now_ + delay_clk, std::move(action));
  }

  // Removes the event if it has not run yet and clears `id`. Returns whether it was pending.
  bool cancel(EventId& id) {
    const bool removed = id && events_.erase(Key{id.time, id.seq}) > 0;
    id = EventId{};
    return removed;
  }
  bool pending(const EventId& id) const { return id && events_.count(Key{id.time, id.seq}) > 0; }

  bool empty() const { return events_.empty(); }
  size_t size() const { return events_.size(); }
  // Time of the earliest event; only meaningful when not empty.
  SimTime nextTime() const { return events_.begin()->first.first; }

  // Runs the earliest event, after moving the clock to its time. False when there is none.
  bool runNext() {
    if (events_.empty()) return false;
    auto first = events_.begin();
    now_ = first->first.first;
    Action action = std::move(first->second);
    events_.erase(first);
    action();
    return true;
  }

  // Moves the clock forward to `t` (never back, never past a pending event).
  void advanceTo(SimTime t) {
    if (!events_.empty() && nextTime() < t) t = nextTime();
    if (t > now_) now_ = t;
  }

 private:
  using Key = std::pair<SimTime, uint64_t>;
  SimTime now_ = 0;
  uint64_t last_seq_ = 0;
  std::map<Key, Action> events_;
};

}  // namespace tavrix::sim
