// The simulator's one time-ordered event queue and its clock.
//
// Events run in time order; events at the same time run in the order they were scheduled. The
// queue owns simulated time: it only ever moves forward, to the time of the event being run or to
// the end of a run. Header-only so the peripheral and bus models can use it without linking the
// world that drives it.
//
// Hot path: a peripheral model schedules several events per PWM period, so scheduling allocates
// nothing in the steady state. Actions live in a pool of reusable slots (small callables stored
// inline). The pool grows in chunks that never move, so an action is built in its slot by
// schedule() and runs there: it is never moved after scheduling, even when it schedules more
// events while it runs.
//
// The order: an event due within kWheelSpan clocks of now (nearly all of them: the PWM period is
// 1 000 clocks) is linked into the wheel's bucket for its exact clock, behind the events already
// there, so a bucket's events are in scheduling order; the earliest bucket is found in a bit map.
// A later event waits in a binary heap of (time, sequence) keys and joins its bucket as soon as
// the clock comes within the span, before anything can be scheduled into that bucket from
// closer. A cancelled event leaves its bucket at once; in the heap it leaves a stale key that is
// dropped when it reaches the top.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
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
    construct(std::forward<F>(f));
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

  // Replaces the callable with `f`, built in place (an EventAction is moved in).
  template <typename F>
  void emplace(F&& f) {
    if constexpr (std::is_same_v<std::decay_t<F>, EventAction>) {
      *this = std::move(f);
    } else {
      reset();
      construct(std::forward<F>(f));
    }
  }

  explicit operator bool() const { return ops_ != nullptr; }
  void operator()() { ops_->invoke(buf_); }
  void reset() {
    if (ops_ != nullptr && ops_->destroy != nullptr) ops_->destroy(buf_);
    ops_ = nullptr;
  }

 private:
  template <typename F, typename D = std::decay_t<F>>
  void construct(F&& f) {
    if constexpr (sizeof(D) <= kInlineBytes && alignof(D) <= alignof(std::max_align_t) &&
                  std::is_nothrow_move_constructible_v<D>) {
      ::new (static_cast<void*>(buf_)) D(std::forward<F>(f));
      ops_ = &kInlineOps<D>;
    } else {
      *reinterpret_cast<D**>(buf_) = new D(std::forward<F>(f));
      ops_ = &kHeapOps<D>;
    }
  }

  struct Ops {
    void (*invoke)(void* self);
    void (*relocate)(void* to, void* from);  // move-constructs at `to`, destroys `from`
    void (*destroy)(void* self);  // null: nothing to do (trivially destructible)
  };
  template <typename D>
  static constexpr Ops kInlineOps{
      [](void* s) { (*static_cast<D*>(s))(); },
      [](void* to, void* from) {
        ::new (to) D(std::move(*static_cast<D*>(from)));
        static_cast<D*>(from)->~D();
      },
      std::is_trivially_destructible_v<D>
          ? nullptr
          : static_cast<void (*)(void*)>([](void* s) { static_cast<D*>(s)->~D(); })};
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

  EventQueue() = default;
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  SimTime now() const { return now_; }

  // Runs `action` (any `void()` callable, or an EventAction) at `at`; a time in the past is taken
  // as now. The callable is built in its slot, where it stays until it has run or is cancelled.
  template <typename F>
  EventId schedule(SimTime at, F&& action) {
    if (at < now_) at = now_;
    const uint32_t slot = takeSlot();
    const EventId id{at, ++last_seq_, slot};
    Slot& s = slotAt(slot);
    s.action.emplace(std::forward<F>(action));
    s.seq = id.seq;
    s.time = at;
    if (at - now_ < kWheelSpan) {
      link(s);
    } else {
      pushKey(Key{at, id.seq, &s});
    }
    ++live_;
    return id;
  }
  template <typename F>
  EventId scheduleAfter(SimTime delay_clk, F&& action) {
    return schedule(now_ + delay_clk, std::forward<F>(action));
  }

  // Removes the event if it has not run yet and clears `id`. Returns whether it was pending (an
  // event that is running is no longer pending: cancelling it from its own action does nothing).
  bool cancel(EventId& id) {
    const bool removed = pending(id);
    if (removed) {
      Slot& s = slotAt(id.slot);
      s.seq = 0;
      --live_;
      if (s.in_wheel) unlink(s);
      s.action.reset();
      free_.push_back(s.index);
      dropStale();
    }
    id = EventId{};
    return removed;
  }
  bool pending(const EventId& id) const {
    return id && id.slot < slot_count_ && slotAt(id.slot).seq == id.seq;
  }

  bool empty() const { return live_ == 0; }
  size_t size() const { return live_; }
  // Time of the earliest event; only meaningful when not empty.
  SimTime nextTime() const {
    return wheel_count_ != 0 ? earliestInWheel().time : heap_.front().time;
  }

  // Runs the earliest event, after moving the clock to its time. False when there is none.
  bool runNext() { return runNextUpTo(kNever); }
  // The same, when the earliest event is due at or before `t`.
  bool runNextUpTo(SimTime t) {
    if (live_ == 0) return false;
    if (wheel_count_ == 0) {
      // Everything is far off: the earliest (the heap's top is pending) joins the wheel.
      if (heap_.front().time > t) return false;
      now_ = heap_.front().time;
      admitDue();
    }
    Slot& s = earliestInWheel();
    if (s.time > t) return false;
    unlink(s);
    now_ = s.time;
    // Events the clock has come close to join their buckets before this action can schedule
    // into them.
    admitDue();
    // No longer pending while it runs: it may look itself up or cancel itself and finds itself
    // gone, as an event that has run. Its slot is freed only after the run, so events it
    // schedules take other slots and the action is not disturbed.
    s.seq = 0;
    --live_;
    struct Release {  // also when the action throws
      EventQueue& q;
      Slot& s;
      ~Release() {
        s.action.reset();
        q.free_.push_back(s.index);
      }
    } release{*this, s};
    s.action();
    return true;
  }

  // Moves the clock forward to `t` (never back, never past a pending event).
  void advanceTo(SimTime t) {
    if (!empty()) t = std::min(t, nextTime());
    if (t > now_) {
      now_ = t;
      admitDue();
    }
  }

 private:
  struct Slot {
    uint64_t seq = 0;  // of the event it holds; 0 when free or running
    SimTime time = 0;  // when it is due
    // Its neighbours in its bucket (a circular list) while it is in the wheel.
    Slot* next = nullptr;
    Slot* prev = nullptr;
    uint32_t index = 0;  // its number in the pool
    bool in_wheel = false;
    Action action;
  };
  struct Key {
    SimTime time;
    uint64_t seq;
    Slot* slot;  // slots never move
  };
  // The earlier of two keys: the earliest time, then the earliest scheduled.
  static bool before(const Key& a, const Key& b) {
    return a.time != b.time ? a.time < b.time : a.seq < b.seq;
  }
  static constexpr SimTime kNever = INT64_MAX;
  static constexpr uint32_t kWheelBits = 11;
  static constexpr SimTime kWheelSpan = SimTime{1} << kWheelBits;
  static constexpr uint32_t kBucketMask = (1u << kWheelBits) - 1;
  static constexpr uint32_t kMapWords = (1u << kWheelBits) / 64;
  static constexpr uint32_t kChunkBits = 6;
  static constexpr uint32_t kChunkSlots = 1u << kChunkBits;

  Slot& slotAt(uint32_t slot) { return chunks_[slot >> kChunkBits][slot & (kChunkSlots - 1)]; }
  const Slot& slotAt(uint32_t slot) const {
    return chunks_[slot >> kChunkBits][slot & (kChunkSlots - 1)];
  }
  uint32_t takeSlot() {
    if (free_.empty()) {
      if (slot_count_ % kChunkSlots == 0) {
        chunks_.push_back(std::make_unique<Slot[]>(kChunkSlots));
        for (uint32_t k = 0; k < kChunkSlots; ++k) chunks_.back()[k].index = slot_count_ + k;
      }
      return slot_count_++;
    }
    const uint32_t slot = free_.back();
    free_.pop_back();
    return slot;
  }

  static uint32_t bucketOf(SimTime t) { return static_cast<uint32_t>(t) & kBucketMask; }

  // Appends `s` (due within the span) to its bucket.
  void link(Slot& s) {
    const uint32_t b = bucketOf(s.time);
    Slot*& head = buckets_[b];
    if (head == nullptr) {
      head = &s;
      s.next = s.prev = &s;
      occupied_[b / 64] |= uint64_t{1} << (b % 64);
    } else {
      Slot* tail = head->prev;
      tail->next = &s;
      s.prev = tail;
      s.next = head;
      head->prev = &s;
    }
    s.in_wheel = true;
    ++wheel_count_;
  }
  void unlink(Slot& s) {
    const uint32_t b = bucketOf(s.time);
    if (s.next == &s) {
      buckets_[b] = nullptr;
      occupied_[b / 64] &= ~(uint64_t{1} << (b % 64));
    } else {
      s.prev->next = s.next;
      s.next->prev = s.prev;
      if (buckets_[b] == &s) buckets_[b] = s.next;
    }
    s.in_wheel = false;
    --wheel_count_;
  }
  // The first event of the earliest occupied bucket; the wheel must not be empty. Buckets count
  // round the wheel from now's; those below now's in its own word are the latest, so that word
  // is looked at again, whole, last.
  Slot& earliestInWheel() const {
    const uint32_t from = bucketOf(now_);
    uint32_t w = from / 64;
    uint64_t bits = occupied_[w] & (~uint64_t{0} << (from % 64));
    while (bits == 0) {
      w = (w + 1) % kMapWords;
      bits = occupied_[w];
    }
    return *buckets_[w * 64 + static_cast<uint32_t>(std::countr_zero(bits))];
  }
  // Moves the heap's events that the clock has come within the span of into their buckets,
  // earliest first; the heap's top is then pending again.
  void admitDue() {
    while (!heap_.empty() && heap_.front().time - now_ < kWheelSpan) {
      const Key key = heap_.front();
      popKey();
      if (key.slot->seq == key.seq) link(*key.slot);
    }
    dropStale();
  }

  // A binary min-heap of keys (earliest on top).
  void pushKey(const Key& key) {
    size_t i = heap_.size();
    heap_.push_back(key);
    while (i > 0) {
      const size_t parent = (i - 1) / 2;
      if (!before(key, heap_[parent])) break;
      heap_[i] = heap_[parent];
      i = parent;
    }
    heap_[i] = key;
  }
  void popKey() {
    const Key last = heap_.back();
    heap_.pop_back();
    const size_t n = heap_.size();
    if (n == 0) return;
    size_t i = 0;
    for (;;) {
      size_t child = 2 * i + 1;
      if (child >= n) break;
      if (child + 1 < n && before(heap_[child + 1], heap_[child])) ++child;
      if (!before(heap_[child], last)) break;
      heap_[i] = heap_[child];
      i = child;
    }
    heap_[i] = last;
  }
  // Keys of cancelled events leave the top, so the top always names a pending event.
  void dropStale() {
    while (!heap_.empty() && heap_.front().slot->seq != heap_.front().seq) popKey();
  }

  SimTime now_ = 0;
  uint64_t last_seq_ = 0;
  size_t live_ = 0;
  uint32_t slot_count_ = 0;
  std::vector<std::unique_ptr<Slot[]>> chunks_;
  std::vector<uint32_t> free_;
  std::vector<Key> heap_;  // events due beyond the wheel's span
  std::vector<Slot*> buckets_ = std::vector<Slot*>(size_t{1} << kWheelBits);  // each one's first
  std::array<uint64_t, kMapWords> occupied_{};  // a bit per bucket that holds an event
  size_t wheel_count_ = 0;
};

}  // namespace tavrix::sim
