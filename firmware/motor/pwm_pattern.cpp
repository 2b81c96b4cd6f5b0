#include "firmware/motor/pwm_pattern.hpp"

namespace tavrix {

namespace {

// Window below or above the middle phase for a duty distance `dist` (32-bit, as computed): a
// distance under half a window needs the pulse resized, one under a full window only shifted.
void openWindow(phaseStruct* ph, int32_t dist) {
  if (dist < PwmPatterns::kHalfWindow) {
    ph->shift = static_cast<int16_t>(dist);
    ph->resize = static_cast<int16_t>(PwmPatterns::kMinWindow - 2 * dist);
  } else if (dist < PwmPatterns::kMinWindow) {
    ph->shift = static_cast<int16_t>(PwmPatterns::kMinWindow - dist);
    ph->resize = 0;
  }
}

}  // namespace

// Context: ISR, level 5 (PWM period).
void PwmPatterns::calculateCompareValues(patternStruct* p, int16_t property41) {
  // 1. Order the duties. Comparisons are strict, so ties fall to the later rows.
  const int16_t da = p->A.duty;
  const int16_t db = p->B.duty;
  const int16_t dc = p->C.duty;
  const auto order = [p](phaseStruct* mn, phaseStruct* md, phaseStruct* mx, int16_t sector) {
    p->Min = mn;
    p->Mid = md;
    p->Max = mx;
    p->sector = sector;
  };
  if (da < db) {
    if (db < dc) {
      order(&p->A, &p->B, &p->C, 1);
    } else if (da < dc) {
      order(&p->A, &p->C, &p->B, 2);
    } else {
      order(&p->C, &p->A, &p->B, 3);
    }
  } else if (da < dc) {
    order(&p->B, &p->A, &p->C, 4);
  } else if (dc < db) {
    order(&p->C, &p->B, &p->A, 5);
  } else {
    order(&p->B, &p->C, &p->A, 6);
  }
  phaseStruct* const mn = p->Min;
  phaseStruct* const md = p->Mid;
  phaseStruct* const mx = p->Max;

  // 2. The middle phase's shift and resize are neither written nor used.
  mn->shift = mn->resize = mx->shift = mx->resize = 0;

  // 3. Floor of the middle duty: raise all three by the same amount.
  if (md->duty < kHalfWindow) {
    const int32_t raise = kHalfWindow - md->duty;
    mn->duty = static_cast<int16_t>(mn->duty + raise);
    mx->duty = static_cast<int16_t>(mx->duty + raise);
    md->duty = static_cast<int16_t>(md->duty + raise);
  }

  // 4./5. Windows below and above the middle phase (differences in 32-bit arithmetic).
  openWindow(mn, static_cast<int32_t>(md->duty) - mn->duty);
  openWindow(mx, static_cast<int32_t>(mx->duty) - md->duty);

  // 6. Withhold resized windows unless the measured currents are used directly.
  if (property41 == 0) {
    useEstimate = 0;
    if (mn->resize != 0 || mx->resize != 0) {
      if (sampleMod < kWithholdLimit) {
        useEstimate = 1;
        sampleMod = static_cast<int16_t>(sampleMod + 1);
        mn->shift = mn->resize = mx->shift = mx->resize = 0;
      } else {
        sampleMod = 0;
      }
    }
  } else {
    useEstimate = 1;
  }

  // 7. Compare values.
  md->m_on = md->t_on = static_cast<int16_t>(-md->duty);
  md->m_off = md->t_off = md->duty;

  mn->m_on = static_cast<int16_t>(-mn->duty - mn->shift);
  mn->m_off = static_cast<int16_t>(mn->duty - mn->shift - mn->resize);
  mn->t_on = static_cast<int16_t>(-mn->duty - (mn->resize >> 1));
  mn->t_off = static_cast<int16_t>(mn->duty + (mn->resize >> 1));

  mx->m_on = static_cast<int16_t>(-mx->duty - mx->shift - mx->resize);
  mx->m_off = static_cast<int16_t>(mx->duty - mx->shift);
  mx->t_on = static_cast<int16_t>(-mx->duty + (mx->resize >> 1));
  mx->t_off = static_cast<int16_t>(mx->duty - (mx->resize >> 1));
}

}  // namespace tavrix
