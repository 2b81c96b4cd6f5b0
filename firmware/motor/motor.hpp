// Motor control: the state the control interrupt owns and the entry points the rest of the node
// calls (start-up, the property protocol, software timers, the PWM-period interrupt).
//
// Placeholder stage. Real now: idlePWM (gate pins to their idle GPIO levels), writeMode's
// no-change test, its mode-0 branch and the storing of the mode, the cancel of a pending automatic
// homing at the start of motorHome, motorWriteOffset, and the records below. Completed later with
// the motor control itself: the activation of modes 2 to 5, InitSV, motorSetPWM, homing, scaled
// moves and the self-tests (motorCollectStats, motorTestFETs).
#pragma once

#include <cstdint>

#include "firmware/control/biquad.hpp"
#include "firmware/math/types.hpp"

namespace tavrix {

class Node;

// Modes, the values of property[MODE].
inline constexpr int16_t MODE_IDLE = 0;
inline constexpr int16_t MODE_HOLD_TORQUE = 1;
inline constexpr int16_t MODE_TORQUE = 2;
inline constexpr int16_t MODE_POSITION = 3;
inline constexpr int16_t MODE_VELOCITY = 4;
inline constexpr int16_t MODE_PROFILE = 5;

// The motor record. Owner: the control interrupt, except `cmdPos` (also written by the main
// loop's protocol, moves and mode changes, as one 32-bit store) and the start-up marker.
struct motorStruct {
  int16_t cmdPWM = 0;              // unused
  int16_t cmdTorque = 0;           // torque command of the current cycle, 1 unit = 2^18 in Q31
  int32_t cmdPos = 0;              // commanded position, counts
  int32_t cmdVel = 0;              // unused
  int32_t lastPos = 0;             // unused
  int32_t velocity = 0;            // raw velocity, velCoeff x counts per encoder interval
  int32_t velocityFilt = 0;        // smoothed velocity
  int16_t limTorque = 0;           // torque limit of the present cycle
  int16_t limVelocity = 0;         // velocity limit of the present cycle
  int32_t rotorAngle = 0;          // -1 from start-up until the first-time set-up
  bool findingOffset = false;      // true while the electrical offset is searched
  bool invertTorque = false;       // set by the first-time set-up; nothing reads it
  uint16_t torqueSensitivity = 0;  // unused
  uint16_t windingResistance = 0;  // unused
  int16_t ctsPerElecCycle = 0;     // encoder counts per electrical revolution
};

// Statistics of the last phase-current measurement. Owner: main loop.
struct stat_t {
  float min = 0.0f;
  float max = 0.0f;
  float mean = 0.0f;
  float stdev = 0.0f;
};

class Motor {
 public:
  static constexpr int16_t kDefaultModulo = 1000;  // PWM period in timer counts: 25 us

  explicit Motor(Node& node) : node_(node) {}

  // Context: main loop (start-up). Start values of the current controllers (nothing yet).
  void InitSV();

  // Context: main loop.
  // Gate pins to GPIO outputs at their idle levels: PTC1, PTC3, PTD4 high first, then PTC2, PTC4,
  // PTD5 low; per pin latch, direction, multiplexer. Masks nothing itself (writeMode calls it
  // inside its critical section) and leaves property[MODE] alone.
  void idlePWM();

  // Context: main loop.
  // Changes the mode; a mode equal to property[MODE] does nothing at all. Values outside 0..5
  // mean mode 0. Returns 0.
  int16_t writeMode(int16_t mode);

  // Context: ISR, level 5 (PWM period). The control interrupt's sequencer (nothing yet).
  void motorSetPWM();

  // Context: main loop. Homing; cancels a pending automatic homing first.
  void motorHome();
  // Context: main loop. Does nothing, by definition; start-up schedules it once.
  void motorControl();
  // Context: main loop (software-timer callback, 5000 ticks after the offset search started).
  // Takes the electrical offset, leaves the search and saves property[ELEC_OFFSET].
  void motorWriteOffset();
  // Context: main loop. Move to scaled position p, 0..65535 of the travel (nothing yet).
  void motorMoveToScaledP(uint16_t p);
  // Context: main loop. Phase-current statistics over `samples` ticks (nothing yet).
  void motorCollectStats(stat_t* result, int32_t samples);
  // Context: main loop, status 4 only. Bridge switch test (nothing yet).
  void motorTestFETs(uint8_t data);

  motorStruct motor;
  stat_t stats;
  // PWM period in timer counts. Owner: main loop (property protocol), read by the control code.
  int16_t MODULO = kDefaultModulo;
  // Current, velocity and position controllers. Owner: control interrupt; the main loop rewrites
  // the gains.
  GFLIB_CONTROLLER_PIAW_P_T dAxisPI = {};
  GFLIB_CONTROLLER_PIAW_P_T qAxisPI = {};
  GFLIB_CONTROLLER_PIAW_P_T velPI = {};
  GFLIB_CONTROLLER_PIAW_P_T posPI = {};
  // d/q current feedback. Owner: control interrupt.
  MCLIB_2_COOR_SYST_D_Q_T iDQFbck = {};
  // Command-velocity low-pass filter. Owner: control interrupt; redesigned by the main loop.
  biquadStruct cmd_velocity_filter;
  // Phase of the control sequencer; 0 makes it run its initialisation next. Owner: control
  // interrupt, reset by mode changes.
  volatile uint8_t state = 0;

 private:
  Node& node_;
};

namespace callbacks {
// Software-timer callbacks of motor control.
void motorHome(Node& node);
void motorControl(Node& node);
void motorWriteOffset(Node& node);
}  // namespace callbacks

}  // namespace tavrix
