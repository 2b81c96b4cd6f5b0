#include "firmware/control/temperature.hpp"

namespace tavrix {

// Context: ISR, level 5 (PWM period).
int16_t temperature_ConvertToDegC(int16_t therm) {
  // Four adjacent regions, each a straight line: temperature = offset + slope * therm on
  // [1000, 1500), [1500, 3500), [3500, 3900) and [3900, 4030). Normal running temperatures
  // (1500..3499 counts, about 30..85 degC) are tried first; therm < 4030 and |slope| <= 36 keep
  // every product far inside 32 bits.
  const int32_t reading = therm;
  int32_t slope = 0;
  int32_t offset = 0;
  if (reading >= 1500 && reading < 3500) {
    slope = -7;
    offset = 32171;
  } else if (reading >= 3500 && reading < 3900) {
    slope = -15;
    offset = 58761;
  } else if (reading >= 1000 && reading < 1500) {
    slope = -10;
    offset = 35781;
  } else if (reading >= 3900 && reading < 4030) {
    slope = -36;
    offset = 141172;
  } else {
    return TEMPERATURE_INVALID;
  }
  return static_cast<int16_t>(offset + slope * reading);
}

// Context: ISR, level 5 (PWM period).
bool temperature_CheckOvertemp(TemperatureThreshold_t* t, int16_t temp_degC) {
  if (temp_degC < t->threshold_degC) {
    t->ticks = 0;
    t->is_overtemp = false;
  } else if (t->ticks >= t->timeout_ticks) {
    t->is_overtemp = true;
  } else {
    t->ticks += 1;
    t->is_overtemp = false;
  }
  return t->is_overtemp;
}

// Context: ISR, level 5 (PWM period).
void temperature_ClearOvertemp(TemperatureThreshold_t* t) {
  t->is_overtemp = false;
  t->ticks = 0;
}

}  // namespace tavrix
