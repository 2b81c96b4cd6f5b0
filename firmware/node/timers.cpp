#include "firmware/node/timers.hpp"

#include "firmware/node/node.hpp"

namespace tavrix {

// Context: main loop (start-up, before the tick runs).
void Timers::timerInit() {
  for (timerStruct& t : timers) t.state = kFree;
}

// Context: main loop.
int16_t Timers::timerAddEvent(TimerCallback f, uint32_t ms) {
  for (int16_t i = 0; i < kSlots; ++i) {
    timerStruct& t = timers[i];
    if (t.state != kFree) continue;
    t.f = f;
    t.end = ms;
    t.count = 0;
    t.state = kCounting;  // publishes the slot to the tick: written last
    return i;
  }
  return -1;
}

// Context: main loop.
void Timers::timerRemoveEvent(int16_t i) {
  if (i < 0 || i >= kSlots) return;
  timers[i].state = kFree;
}

// Context: main loop (also nested inside waiting operations).
void Timers::timerHandle() {
  for (timerStruct& t : timers) {
    if (t.state != kDue) continue;
    // Freed before the call, so a callback that registers itself again usually gets its own slot.
    const TimerCallback f = t.f;
    t.state = kFree;
    f(node_);
  }
}

// Context: ISR, level 10 (tick).
void Timers::timerInt() {
  for (timerStruct& t : timers) {
    if (t.state != kCounting) continue;
    if (t.count < t.end) {
      t.count = t.count + 1;
    } else {
      t.state = kDue;
    }
  }
}

}  // namespace tavrix
