// PWM compare-value patterns for single-sensor current measurement.
//
// One current sensor sits in the DC link, so a phase current can only be read while a known set
// of phases conducts. calculateCompareValues orders the three duties of a pattern, moves the edges
// of the smallest and the largest phase so that two sampling windows of at least kMinWindow ticks
// open before the middle phase's edges, and computes two compare sets: the measurement set (moved
// edges) and the regular set, which gives back the pulse width the measurement set took or added,
// so that one measurement period plus one regular period keep each phase's volt-seconds.
//
// Timer ticks: the PWM timer counts from -(MODULO/2) to MODULO/2 - 1, and a pulse of half-width w
// centred in the period has the compare values -w (on edge) and +w (off edge).
#pragma once

#include <cstdint>

namespace tavrix {

// One phase of a pattern. All values in PWM timer ticks except the currents (ADC counts).
struct phaseStruct {
  int16_t duty = 0;    // half the on-time; may be raised by calculateCompareValues
  int16_t shift = 0;   // both edges move this much earlier in the measurement set
  int16_t resize = 0;  // pulse shortened (Min) / lengthened (Max) in the measurement set
  int16_t i = 0;       // sum of the current samples of the cycle, ADC counts
  int16_t iAvg = 0;    // average phase current of the cycle, ADC counts
  int16_t t_on = 0;    // regular set, on edge
  int16_t t_off = 0;   // regular set, off edge
  int16_t m_on = 0;    // measurement set, on edge
  int16_t m_off = 0;   // measurement set, off edge
};

// Three phases and their ordering by duty.
struct patternStruct {
  phaseStruct A;
  phaseStruct B;
  phaseStruct C;
  phaseStruct* Min = nullptr;  // phase with the smallest duty
  phaseStruct* Mid = nullptr;  // middle duty
  phaseStruct* Max = nullptr;  // largest duty
  int16_t sector = 0;          // ordering of the duties, 1..6
  int16_t samples = 0;         // cleared with the accumulators; nothing counts in it
};

class PwmPatterns {
 public:
  static constexpr int16_t kMinWindow = 84;   // 2.1 us at the 40 MHz timer clock
  static constexpr int16_t kHalfWindow = 42;  // 1.05 us
  static constexpr int16_t kWithholdLimit = 50;

  // Context: ISR, level 5 (PWM period).
  // Orders the duties of *p (Min/Mid/Max, sector), raises them so the middle duty is at least
  // kHalfWindow, computes shift/resize of Min and Max and the compare values of all three phases.
  // With property41 == 0, resized windows are withheld in 50 computations out of 51 and
  // useEstimate reports whether the samples taken with this pattern can be trusted; with
  // property41 != 0 windows are always applied and useEstimate is 1.
  void calculateCompareValues(patternStruct* p, int16_t property41);

  // 1 if the currents sampled with the pattern just computed must not be trusted. Owner: control
  // interrupt (read by the observer correction).
  int16_t useEstimate = 0;
  // Computations since the last one that applied resized windows; reset only when it reaches the
  // withholding limit. Owner: control interrupt.
  int16_t sampleMod = 0;
};

}  // namespace tavrix
