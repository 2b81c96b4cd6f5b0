// What every peripheral model of one simulated chip shares: the event queue, the interrupt
// controller, the application whose handlers the interrupts call, and the "touched" mark that
// tells the scheduler the node's code may see something new.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

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
    return queue_.schedule(
        at, [this, generation = generation_, a = std::forward<F>(action)]() mutable {
          if (generation != generation_) return;
          a();
          touched_ = true;
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
    return queue_.schedule(now() + delay_clk, [this, generation = generation_,
                                               a = std::forward<F>(action)]() mutable {
      if (generation != generation_) return;
      a();
    });
  }
  void cancel(EventId& id) { queue_.cancel(id); }

  // An interrupt request from a peripheral.
  void raise(Irq irq) {
    nvic_.setPending(irq);
    touched_ = true;
  }
  // Something the node's code may poll has changed (from outside the node's code).
  void touch() { touched_ = true; }
  bool takeTouched() { return std::exchange(touched_, false); }

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
    touched_ = false;
    calls_since_park_ = 0;
  }

 private:
  [[noreturn]] void runaway() const;

  EventQueue& queue_;
  std::string name_;
  Nvic nvic_;
  platform::PlatformEvents* app_ = nullptr;
  platform::Cpu* cpu_ = nullptr;
  uint64_t generation_ = 0;
  bool touched_ = false;
  uint64_t calls_since_park_ = 0;
  uint64_t runaway_call_limit_;
};

}  // namespace tavrix::sim
