// The simulator's one time-ordered event queue and its clock.
//
// Events run in time order; events at the same time run in the order they were scheduled. The
// queue owns simulated time: it only ever moves forward, to the time of the event being run or to
// the end of a run. Header-only so the peripheral and bus models can use it without linking the
// world that drives it.
//
// Hot path: a peripheral model schedules several events per PWM period, so scheduling allocates
// nothing in the steady state. Actions live in a pool of reusable slots (small callables stored
// inline), and the order is a binary heap of (time, sequence) keys over those slots; a cancelled
// event frees its slot at once and leaves a stale key that is dropped when it reaches the top.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

// Names one scheduled event, for cancelling it. A default-constructed id names nothing.
struct EventId {
  SimTime time = 0;
  uint64_t seq = 0;  // 0: no event
  uint32_t slot = 0;  // where the queue keeps the event's action
  explicit operator bool() const { return seq != 0; }
  bool operator==(const EventId&) const = default;
};

// A move-only `void()` callable. Callables up to kInlineBytes are stored in place; larger ones
// on the heap.
class EventAction {
 public:
  static constexpr size_t kInlineBytes = 56;

  EventAction() = default;
  template <typename F, typename D = std::decay_t<F>,
            typename = std::enable_if_t<!std::is_same_v<D, EventAction> &&
                                        std::is_invocable_r_v<void, D&>>>
  EventAction(F&& f) {  // NOLINT(google-explicit-constructor): lambdas convert implicitly
    if constexpr (sizeof(D) <= kInlineBytes && alignof(D) <= alignof(std::max_align_t) &&
                  std::is_nothrow_move_constructible_v<D>) {
      ::new (static_cast<void*>(buf_)) D(std::forward<F>(f));
      ops_ = &kInlineOps<D>;
    } else {
      *reinterpret_cast<D**>(buf_) = new D(std::forward<F>(f));
      ops_ = &kHeapOps<D>;
    }
  }
  EventAction(EventAction&& other) noexcept { take(other); }
  EventAction& operator=(EventAction&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  EventAction(const EventAction&) = delete;
  EventAction& operator=(const EventAction&) = delete;
  ~EventAction() { reset(); }

  explicit operator bool() const { return ops_ != nullptr; }
  void operator()() { ops_->invoke(buf_); }
  void reset() {
    if (ops_ != nullptr) ops_->destroy(buf_);
    ops_ = nullptr;
  }

 private:
  struct Ops {
    void (*invoke)(void* self);
    void (*relocate)(void* to, void* from);  // move-constructs at `to`, destroys `from`
    void (*destroy)(void* self);
  };
  template <typename D>
  static constexpr Ops kInlineOps{
      [](void* s) { (*static_cast<D*>(s))(); },
      [](void* to, void* from) {
        ::new (to) D(std::move(*static_cast<D*>(from)));
        static_cast<D*>(from)->~D();
      },
      [](void* s) { static_cast<D*>(s)->~D(); }};
  template <typename D>
  static constexpr Ops kHeapOps{
      [](void* s) { (**static_cast<D**>(s))(); },
      [](void* to, void* from) { *static_cast<D**>(to) = *static_cast<D**>(from); },
      [](void* s) { delete *static_cast<D**>(s); }};

  void take(EventAction& other) {
    ops_ = other.ops_;
    if (ops_ != nullptr) ops_->relocate(buf_, other.buf_);
    other.ops_ = nullptr;
  }

  alignas(std::max_align_t) unsigned char buf_[kInlineBytes];
  const Ops* ops_ = nullptr;
};

class EventQueue {
 public:
  using Action = EventAction;

  SimTime now() const { return now_; }

  // Runs `action` at `at`; a time in the past is taken as now.
  EventId schedule(SimTime at, Action action) {
    if (at < now_) at = now_;
    uint32_t slot;
    if (free_.empty()) {
      slot = static_cast<uint32_t>(slots_.size());
      slots_.emplace_back();
    } else {
      slot = free_.back();
      free_.pop_back();
    }
    const EventId id{at, ++last_seq_, slot};
    slots_[slot].seq = id.seq;
    slots_[slot].action = std::move(action);
    heap_.push_back(Key{at, id.seq, slot});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
    ++live_;
    return id;
  }
  EventId scheduleAfter(SimTime delay_clk, Action action) {
    return schedule(now_ + delay_clk, std::move(action));
  }

  // Removes the event if it has not run yet and clears `id`. Returns whether it was pending.
  bool cancel(EventId& id) {
    const bool removed = pending(id);
    if (removed) {
      release(id.slot).reset();
      dropStale();
    }
    id = EventId{};
    return removed;
  }
  bool pending(const EventId& id) const {
    return id && id.slot < slots_.size() && slots_[id.slot].seq == id.seq;
  }

  bool empty() const { return live_ == 0; }
  size_t size() const { return live_; }
  // Time of the earliest event; only meaningful when not empty.
  SimTime nextTime() const { return heap_.front().time; }

  // Runs the earliest event, after moving the clock to its time. False when there is none.
  bool runNext() {
    if (live_ == 0) return false;
    const Key first = heap_.front();
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    heap_.pop_back();
    now_ = first.time;
    // Out of the pool before it runs: the action may schedule (and grow the pool) or look
    // itself up, and finds itself gone, as an event that has run.
    Action action = std::move(release(first.slot));
    dropStale();
    action();
    return true;
  }

  // Moves the clock forward to `t` (never back, never past a pending event).
  void advanceTo(SimTime t) {
    if (!empty() && nextTime() < t) t = nextTime();
    if (t > now_) now_ = t;
  }

 private:
  struct Slot {
    uint64_t seq = 0;  // of the event it holds; 0 when free
    Action action;
  };
  struct Key {
    SimTime time;
    uint64_t seq;
    uint32_t slot;
  };
  // Heap order: the earliest time, then the earliest scheduled, on top.
  struct Later {
    bool operator()(const Key& a, const Key& b) const {
      return a.time != b.time ? a.time > b.time : a.seq > b.seq;
    }
  };

  // Frees the slot for reuse; the action stays there until the caller moves or resets it.
  Action& release(uint32_t slot) {
    slots_[slot].seq = 0;
    free_.push_back(slot);
    --live_;
    return slots_[slot].action;
  }
  // Keys of cancelled events leave the top, so the top always names a pending event.
  void dropStale() {
    while (!heap_.empty() && slots_[heap_.front().slot].seq != heap_.front().seq) {
      std::pop_heap(heap_.begin(), heap_.end(), Later{});
      heap_.pop_back();
    }
  }

  SimTime now_ = 0;
  uint64_t last_seq_ = 0;
  size_t live_ = 0;
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
  std::vector<Key> heap_;
};

}  // namespace tavrix::sim
