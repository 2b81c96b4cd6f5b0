// Motor temperature: thermistor reading to temperature, and the over-temperature debounce.
//
// Temperatures are signed 16-bit values in 1/256 degC (12800 = 50 degC). The conversion is a
// piecewise-linear fit of the thermistor divider over 1000..4029 ADC counts; the debounce reports
// over-temperature only after a run of consecutive checks at or above the threshold, so single
// noisy readings do not stop the motor.
#pragma once

#include <cstdint>

namespace tavrix {

// Returned for a reading outside every region (open or shorted sensor, or beyond the fitted
// range). It lies far below any threshold, so it never trips the over-temperature check.
inline constexpr int16_t TEMPERATURE_INVALID = -32768;

// Debounce state. Ownership: the control interrupt (level 5) alone.
struct TemperatureThreshold_t {
  int16_t threshold_degC = 12800;  // 1/256 degC; 50 degC until the caller sets its limit
  uint32_t timeout_ticks = 30000;  // consecutive checks at or above threshold tolerated
  uint32_t ticks = 0;              // current run of checks at or above threshold
  bool is_overtemp = false;        // last result
};

// Context: ISR, level 5 (PWM period).
// ADC counts to 1/256 degC, or TEMPERATURE_INVALID if the reading lies in no region.
int16_t temperature_ConvertToDegC(int16_t therm);

// Context: ISR, level 5 (PWM period).
// Counts a run of readings at or above the threshold; true once more than timeout_ticks
// consecutive calls have been at or above it. One reading below restarts the count.
bool temperature_CheckOvertemp(TemperatureThreshold_t* t, int16_t temp_degC);

// Context: ISR, level 5 (PWM period).
// Back to normal: the full count must elapse again before the next over-temperature.
void temperature_ClearOvertemp(TemperatureThreshold_t* t);

}  // namespace tavrix
