#include "firmware/control/temperature.hpp"

namespace tavrix {

// Context: ISR, level 5 (PWM period).
int16_t temperature_ConvertToDegC(int16_t therm) {
  // Region r covers thermistor_regions[r][0] <= therm < thermistor_regions[r][1].
  static constexpr int32_t thermistor_regions[4][2] = {
      {1000, 1500}, {1500, 3500}, {3500, 3900}, {3900, 4030}};
  // Temperature = offset + slope * therm, per region: {slope, offset}.
  static constexpr int32_t thermistor_parameters[4][2] = {
      {-10, 35781}, {-7, 32171}, {-15, 58761}, {-36, 141172}};
  // Normal running temperatures (1500..3499 counts, about 30..85 degC) are tried first.
  static constexpr int32_t region_search_order[4] = {1, 2, 0, 3};

  const int32_t reading = therm;
  for (const int32_t r : region_search_order) {
    if (thermistor_regions[r][0] <= reading && reading < thermistor_regions[r][1]) {
      // therm < 4030 and |slope| <= 36 keep the product far inside 32 bits.
      const int32_t scaled = thermistor_parameters[r][0] * (reading * 256) / 256;
      return static_cast<int16_t>(thermistor_parameters[r][1] + scaled);
    }
  }
  return TEMPERATURE_INVALID;
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
