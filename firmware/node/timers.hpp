// Software timers: six one-shot slots that turn the 1 ms tick into deferred work for the main loop.
//
// The tick (timerInt) only counts slots that are counting and marks them due; the main loop
// (timerHandle) runs the callbacks of due slots. A slot is filled while free and published by
// writing `state` = 1 last, so neither side needs a lock.
#pragma once

#include <cstdint>

namespace tavrix {

class Node;

// A timer callback; it runs in the main loop with the node it was registered on.
using TimerCallback = void (*)(Node&);

// One software-timer slot. Ownership: `f`, `end` and `count` = 0 are written by the main loop while
// the slot is free; the tick then owns `count` and the step `state` 1 -> 2; the main loop owns the
// steps 0 -> 1 and 2 -> 0, and any state -> 0 through timerRemoveEvent.
struct timerStruct {
  TimerCallback f = nullptr;
  volatile uint32_t end = 0;    // ticks to count before the slot falls due
  volatile uint32_t count = 0;  // ticks counted so far
  volatile int16_t state = 0;   // kFree, kCounting or kDue
};

class Timers {
 public:
  static constexpr int16_t kSlots = 6;
  static constexpr int16_t kFree = 0;
  static constexpr int16_t kCounting = 1;
  static constexpr int16_t kDue = 2;

  explicit Timers(Node& node) : node_(node) {}

  // Context: main loop (start-up, before the tick runs).
  // Marks every slot free; only `state` is cleared.
  void timerInit();

  // Context: main loop.
  // Takes the lowest free slot: `f` runs at the first timerHandle after the (ms + 1)-th tick from
  // now. Returns the slot index (the handle), or -1 when all six slots are in use.
  int16_t timerAddEvent(TimerCallback f, uint32_t ms);

  // Context: main loop.
  // Frees slot `i` whatever its state; a handle outside 0..5 does nothing.
  void timerRemoveEvent(int16_t i);

  // Context: main loop (also nested inside waiting operations).
  // Runs the callback of every due slot in slot order, freeing each slot just before its call.
  void timerHandle();

  // Context: ISR, level 10 (tick).
  // Advances every counting slot: counts while count < end, else marks it due.
  void timerInt();

  timerStruct timers[kSlots] = {};

 private:
  Node& node_;
};

}  // namespace tavrix
