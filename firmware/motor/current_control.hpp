// Field-oriented current control and the current/velocity observer.
//
// The current controller regulates the d- and q-axis currents in the rotor frame and turns the
// voltage requests into three PWM duty fractions. The control interrupt runs it split over two
// PWM periods of each control cycle: SV_Control_A (measurement, observer correction, d axis) and
// SV_Control_B (q axis, inverse transform, bus scaling, modulation).
//
// Scales: every signal is Q31. One ADC count of phase current is 2^20 (full scale 2048 counts);
// one torque-command unit is 2^18 in the q-current request.
#pragma once

#include <cstdint>

#include "firmware/math/types.hpp"

namespace tavrix {

// Fixed-gain discrete-time observer: the d current (one state) and, together, the velocity and
// the q current (two states). Coefficients have 16 fraction bits; current states are a Q31
// current shifted right by 15 (full scale 65536, one ADC count 32); the velocity state is in the
// units of motor.velocity. Owner: control interrupt; the data logger reads it from the same
// interrupt. All 0 at power-up.
struct Observer {
  int32_t x_d = 0, xbar_d = 0;   // d current: corrected, predicted
  int32_t x11 = 0, xbar_11 = 0;  // velocity: corrected, predicted
  int32_t x21 = 0, xbar_21 = 0;  // q current: corrected, predicted
  int32_t a_d = 0, b_d = 0, k_d = 0;
  int32_t a11 = 0, a12 = 0, a21 = 0, a22 = 0;
  int32_t b11 = 0, b21 = 0;
  int32_t k11 = 0, k12 = 0, k21 = 0, k22 = 0;

  // Context: ISR, level 5 (PWM period; phase 0).
  // Chooses the coefficient set for the counts-per-revolution setting `property83` (12800 or
  // 25600; any other value leaves the coefficients as they are) and zeroes the corrected states.
  // The predicted states are kept.
  void reset(int16_t property83);

  // Context: ISR, level 5 (PWM period; phase 4).
  // Predicts the states from the corrected ones and the voltage requests of the previous cycle.
  void predict(const MCLIB_2_COOR_SYST_D_Q_T& uDQReq);

  // Context: ISR, level 5 (PWM period; phase 5, inside SV_Control_A).
  // Corrects the predictions with the measured d/q currents in iDQFbck and `velocity` or, when
  // `useEstimate` is not 0, with the previous corrected estimates; then, if `property41` is 0,
  // replaces iDQFbck by the estimates.
  void correct(MCLIB_2_COOR_SYST_D_Q_T& iDQFbck, int32_t velocity, int16_t useEstimate,
               int16_t property41);
};

// What SV_Control_A reads from the rest of the control interrupt.
struct CurrentInputs {
  bool findingOffset = false;  // motor.findingOffset: align the rotor with a d current
  int16_t property93 = 0;      // alignment current, torque-command units
  int16_t property41 = 0;      // observer bypass: feed the measured currents back
  int16_t useEstimate = 0;     // samples of this cycle untrusted (from the pattern computation)
  int32_t velocity = 0;        // motor.velocity
};

class CurrentControl {
 public:
  static constexpr Frac32 kBusVoltage = 2146959360;     // 0.999755859375, the loop's bus voltage
  static constexpr Frac32 kInvSqrt3 = 1239850262;       // 1/sqrt(3)
  static constexpr Frac32 kModIndex = 1859720839;       // 0.866
  static constexpr Frac32 kStartPropGain = 810052306;   // 0.37721
  static constexpr Frac32 kStartIntegGain = 766651662;  // 0.357

  // Context: main loop (start-up, before the PWM timer runs). Start values of the records; the
  // controllers' limits are left as they are.
  void InitSV();

  // Context: ISR, level 5 (PWM period; phase 5).
  // Clarke and Park transforms of iAbcFbck, alignment requests, observer correction and feedback
  // choice, current errors, the d-axis controller and the q-axis voltage limit.
  void SV_Control_A(const CurrentInputs& in);

  // Context: ISR, level 5 (PWM period; phase 6).
  // q-axis controller, open-loop voltage when `property38` is not 0 (q voltage `property42`
  // << 18), inverse Park, DC-bus scaling and modulation into pwm32. Returns the sector.
  int16_t SV_Control_B(int16_t property38, int16_t property42);

  // Context: ISR, level 5 (PWM period; phase 0).
  // Sets uDCBus and clears the d/q controllers' states, flags and limits (limits to the full
  // range; SV_Control_A sets the working limits every cycle).
  void resetControllers();

  MCLIB_3_COOR_SYST_T iAbcFbck{};                // measured phase currents
  MCLIB_2_COOR_SYST_ALPHA_BETA_T iAlBeFbck{};    // stationary-frame currents
  Frac32 thRotEl = 0;                            // electrical rotor angle, 1.0 = pi
  MCLIB_ANGLE_T thRotElSyst{};                   // its sine and cosine
  MCLIB_2_COOR_SYST_D_Q_T iDQFbck{};             // d/q current feedback (measured or estimated)
  MCLIB_2_COOR_SYST_D_Q_T iDQReq{};              // current requests
  MCLIB_2_COOR_SYST_D_Q_T iDQErr{};              // request - feedback, saturating
  MCLIB_2_COOR_SYST_D_Q_T uDQReq{};              // voltage requests (controller outputs)
  MCLIB_2_COOR_SYST_ALPHA_BETA_T uAlBeReq{};     // stationary-frame voltage requests
  MCLIB_2_COOR_SYST_ALPHA_BETA_T uAlBeReqDCB{};  // the same scaled to the bus
  MCLIB_3_COOR_SYST_T pwm32{};                   // duty fractions around one half
  int16_t svmSector = 0;                         // last modulator sector; nothing else reads it
  Frac32 uDCBus = 0;                             // bus voltage the loop uses
  Frac32 uAmplitudeMax = 0;                      // largest voltage vector, uDCBus / sqrt(3)
  GMCLIB_ELIM_DC_BUS_RIP_T elimDcbRip{};
  // Owner: control interrupt; the main loop rewrites the gains (a cycle may see a new mantissa
  // with an old shift).
  GFLIB_CONTROLLER_PIAW_P_T dAxisPI{};
  GFLIB_CONTROLLER_PIAW_P_T qAxisPI{};
  Observer observer;
};

}  // namespace tavrix
