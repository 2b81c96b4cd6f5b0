// Second-order IIR filter section (biquad) in single-precision floating point.
//
// biquadInit designs the coefficients from a filter type, a corner frequency normalised to the
// sampling rate, a quality factor and a gain in dB; biquadProcess filters one sample in transposed
// direct form II. The design may use double precision (tangent, power, square roots); filtering is
// single precision only, so the control interrupt stays on the FPU.
//
// Ownership: each record belongs to the control interrupt, which designs it on its first run and
// filters with it every cycle. A re-design from the main loop rewrites the record in place; for
// one sample the interrupt may mix old and new coefficients. A caller that must avoid that designs
// into a local record and copies it inside a critical section.
#pragma once

#include <cstdint>

namespace tavrix {

// Filter types accepted by biquadInit.
inline constexpr int32_t BIQUAD_LOWPASS = 0;
inline constexpr int32_t BIQUAD_HIGHPASS = 1;
inline constexpr int32_t BIQUAD_BANDPASS = 2;
inline constexpr int32_t BIQUAD_NOTCH = 3;
inline constexpr int32_t BIQUAD_PEAK = 4;
inline constexpr int32_t BIQUAD_LOWSHELF = 5;
inline constexpr int32_t BIQUAD_HIGHSHELF = 6;

struct biquadStruct {
  int32_t type = 0;       // filter type, BIQUAD_LOWPASS .. BIQUAD_HIGHSHELF
  float Q = 0.0f;         // quality factor
  float Fc = 0.0f;        // corner (centre) frequency / sampling frequency
  float peakGain = 0.0f;  // dB, peaking and shelf types only
  float a0 = 0.0f;        // feed-forward coefficients
  float a1 = 0.0f;
  float a2 = 0.0f;
  float b1 = 0.0f;  // feedback coefficients; the denominator's leading 1 is implied
  float b2 = 0.0f;
  float z1 = 0.0f;  // state
  float z2 = 0.0f;
};

// Context: ISR, level 5 (PWM period), on the control interrupt's first run; main loop on a
// re-design.
// Designs `bq` and clears its state. A type outside 0..6 stores the parameters and clears the
// state but keeps the previous coefficients. Q = 0 yields IEEE results (norm 0, coefficients 0 or
// NaN), so the output may become NaN: convert it with tavrix::math::f2i32, never a plain cast.
void biquadInit(biquadStruct* bq, int32_t type, float Fc, float Q, float peakGain);

// Context: ISR, level 5 (PWM period).
// Filters one sample: five multiplications and four additions in single precision.
float biquadProcess(biquadStruct* bq, float in);

}  // namespace tavrix
