// What every peripheral model of one simulated chip shares: the event queue, the interrupt
// controller, the application whose handlers the interrupts call, and the "touched" mark that
// tells the scheduler the node's code may see something new.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "firmware/platform/platform.hpp"
#include "sim/mcu/nvic.hpp"
#include "sim/world/event_queue.hpp"

namespace tavrix::sim {

// Runs the node's main context; implemented by the world (one fiber per node).
class CpuHost {
 public:
  // Suspends the node's code until an event touches its chip. Node context only.
  virtual void park() = 0;
  // Abandons the node's code for good; the host resets the chip and starts the application
  // afresh. Node context only.
  [[noreturn]] virtual void systemReset() = 0;

 protected:
  ~CpuHost() = default;
};

// The chips of one world that have been touched since their node last ran, one bit per chip,
// so the scheduler finds them after an event without asking every chip.
class TouchSet {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // A new member, not touched; returns its index.
  size_t add() {
    if (count_ % 64 == 0) words_.push_back(0);
    return count_++;
  }
  void mark(size_t i) { words_[i / 64] |= uint64_t{1} << (i % 64); }
  void clear(size_t i) { words_[i / 64] &= ~(uint64_t{1} << (i % 64)); }
  // Whether any member is touched: the common case after an event is none or one.
  bool any() const {
    if (words_.size() == 1) return words_[0] != 0;
    for (const uint64_t w : words_) {
      if (w != 0) return true;
    }
    return false;
  }
  // The first touched member at or after `from`, or kNone.
  size_t next(size_t from) const {
    if (words_.size() == 1) {  // up to 64 members: one word, no loop
      const uint64_t bits = from < 64 ? words_[0] & (~uint64_t{0} << from) : 0;
      return bits != 0 ? static_cast<size_t>(__builtin_ctzll(bits)) : kNone;
    }
    for (size_t w = from / 64; w < words_.size(); ++w) {
      uint64_t bits = words_[w];
      if (w == from / 64) bits &= ~uint64_t{0} << (from % 64);
      if (bits != 0) return w * 64 + static_cast<size_t>(__builtin_ctzll(bits));
    }
    return kNone;
  }

 private:
  std::vector<uint64_t> words_;
  size_t count_ = 0;
};

class ChipCore {
 public:
  ChipCore(EventQueue& queue, std::string name, uint64_t runaway_call_limit)
      : queue_(queue), name_(std::move(name)), runaway_call_limit_(runaway_call_limit) {}

  const std::string& name() const { return name_; }
  EventQueue& queue() { return queue_; }
  SimTime now() const { return queue_.now(); }
  Nvic& nvic() { return nvic_; }
  const Nvic& nvic() const { return nvic_; }

  // A peripheral event: `action` runs at `at` unless the chip has been reset meanwhile, and
  // marks the chip touched afterwards.
  // The callable is kept as it is (no type erasure of its own), so small peripheral lambdas
  // stay inside the queue's inline storage.
  template <typename F>
  EventId schedule(SimTime at, F&& action) {
    return queue_.schedule(at,
                           [this, generation = generation_, a = std::forward<F>(action)]() mutable {
                             if (generation != generation_) return;
                             a();
                             setTouched();
                           });
  }
  template <typename F>
  EventId scheduleAfter(SimTime delay_clk, F&& action) {
    return schedule(now() + delay_clk, std::forward<F>(action));
  }
  // An internal step of a peripheral that changes nothing the node's code can read or be
  // interrupted by (it only leads to later events): the node is not woken for it, which saves
  // a switch to its fiber and back. Anything that raises an interrupt or changes a readable
  // register must use schedule().
  template <typename F>
  EventId scheduleInternalAfter(SimTime delay_clk, F&& action) {
    return queue_.schedule(now() + delay_clk,
                           [this, generation = generation_, a = std::forward<F>(action)]() mutable {
                             if (generation != generation_) return;
                             a();
                           });
  }
  void cancel(EventId& id) { queue_.cancel(id); }

  // An interrupt request from a peripheral.
  void raise(Irq irq) {
    nvic_.setPending(irq);
    setTouched();
  }
  // Something the node's code may poll has changed (from outside the node's code).
  void touch() { setTouched(); }
  bool takeTouched() {
    if (touch_set_ != nullptr) touch_set_->clear(touch_index_);
    return std::exchange(touched_, false);
  }
  // Reports every touch to `set` as well, under `index` (the world's set of its chips).
  void joinTouchSet(TouchSet& set, size_t index) {
    touch_set_ = &set;
    touch_index_ = index;
    if (touched_) set.mark(index);
  }

  // The application whose handlers the interrupts call; null before the first start.
  platform::PlatformEvents* app() const { return app_; }
  void setApp(platform::PlatformEvents* app) { app_ = app; }
  // The chip's core services, for platform operations that busy-wait (they relax like firmware).
  platform::Cpu& cpu() const { return *cpu_; }
  void setCpu(platform::Cpu* cpu) { cpu_ = cpu; }

  // Counts one platform call or handler entry of the node's code; a count far beyond anything a
  // real pass needs means a busy-wait that never relaxes, which would hang the world.
  void countCall() {
    if (++calls_since_park_ > runaway_call_limit_) runaway();
  }
  void parked() { calls_since_park_ = 0; }

  // Power-on reset: pending peripheral events become void, the interrupt controller clears.
  void reset() {
    ++generation_;
    nvic_.reset();
    takeTouched();
    calls_since_park_ = 0;
  }

 private:
  [[noreturn]] void runaway() const;
  void setTouched() {
    touched_ = true;
    if (touch_set_ != nullptr) touch_set_->mark(touch_index_);
  }

  EventQueue& queue_;
  std::string name_;
  Nvic nvic_;
  platform::PlatformEvents* app_ = nullptr;
  platform::Cpu* cpu_ = nullptr;
  uint64_t generation_ = 0;
  bool touched_ = false;
  TouchSet* touch_set_ = nullptr;
  size_t touch_index_ = 0;
  uint64_t calls_since_park_ = 0;
  uint64_t runaway_call_limit_;
};

}  // namespace tavrix::sim
