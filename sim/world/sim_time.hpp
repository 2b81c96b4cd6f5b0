// Simulated time: a count of 40 MHz bus clocks since the start of a run.
#pragma once

#include <cstdint>

namespace tavrix::sim {

using SimTime = int64_t;
inline constexpr SimTime kBusClockHz = 40'000'000;
inline constexpr SimTime kClocksPerUs = kBusClockHz / 1'000'000;
inline constexpr SimTime kClocksPerMs = kBusClockHz / 1'000;

constexpr SimTime fromMicros(int64_t us) { return us * kClocksPerUs; }
constexpr SimTime fromMillis(int64_t ms) { return ms * kClocksPerMs; }
constexpr int64_t toMicros(SimTime t) { return t / kClocksPerUs; }

}  // namespace tavrix::sim
