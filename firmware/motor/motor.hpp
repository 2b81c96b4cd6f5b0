// Motor control: the control interrupt's sequencer and the state it owns, the encoder and rotor
// angle, the position/velocity/torque-command loops, mode changes and the entry points the rest
// of the node calls (start-up, the property protocol, software timers, the PWM-period interrupt).
//
// The control interrupt (motorSetPWM) is a sequencer over the phase counter `state`: phase 0
// restarts the PWM timer and resets the controllers, then phases 1..6 repeat for ever, one per PWM
// period, so one control cycle is six periods (150 us at MODULO 1000). After phases 1, 3 and 5 the
// timer runs the measurement compare set of the active pattern (the DC-link sensor is sampled in
// those periods), after the others the regular set. Each phase's work, the sampling-trigger
// set-up, the encoder steps and the bus-voltage path are member functions of their own, so a test
// drives them one by one on a freshly constructed node.
//
// Every variable that the control code keeps between calls, including the state of the
// bus-voltage filter (`filter_z`) and its call counter (`counter`), is a member: constructing the
// Motor (with its Node) is the power-on reset, and a restarted node in the twin starts afresh.
//
// The current path lives in its own modules: the compare-value patterns (`patterns`, `A`, `B`,
// `p`, `n`) and the field-oriented current control with its observer (`foc`).
#pragma once

#include <cstdint>

#include "firmware/control/biquad.hpp"
#include "firmware/control/temperature.hpp"
#include "firmware/control/trajectory.hpp"
#include "firmware/math/types.hpp"
#include "firmware/motor/current_control.hpp"
#include "firmware/motor/pwm_pattern.hpp"

namespace tavrix {

class Node;
namespace platform {
class MotorTimer;
}

// Modes, the values of property[MODE].
inline constexpr int16_t MODE_IDLE = 0;
inline constexpr int16_t MODE_HOLD_TORQUE = 1;
inline constexpr int16_t MODE_TORQUE = 2;
inline constexpr int16_t MODE_POSITION = 3;
inline constexpr int16_t MODE_VELOCITY = 4;
inline constexpr int16_t MODE_PROFILE = 5;

// The motor record. Owner: the control interrupt, except `cmdPos` (also written by the main
// loop's protocol, moves and mode changes, as one 32-bit store), `cmdTorque` (cleared by mode
// changes inside the critical section), `findingOffset` (the offset search) and the start-up
// marker `rotorAngle`.
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
  // The largest duty is MODULO/2 minus this many ticks (415 at the default period).
  static constexpr int16_t kDutyMargin = 85;
  // Current samples are taken this many ticks before the Mid phase's edges; the auxiliary ADC1
  // samples this many ticks after each current sample.
  static constexpr int16_t kSampleLead = 27;
  static constexpr int16_t kAuxSampleDelay = 100;
  // ADC1 channels: the signal on 23, the bus-voltage divider on 6, the thermistor on 16.
  static constexpr uint8_t kAdc1AuxChannel = 23;
  static constexpr uint8_t kAdc1BusChannel = 6;
  static constexpr uint8_t kAdc1ThermistorChannel = 16;
  // Limits of the over-temperature threshold, 1/256 degC: a setting at or below the first
  // (-127 degC) means 127 degC, one at or above 76 degC is held at 76 degC.
  static constexpr int16_t kTempLimitFloor = -32512;
  static constexpr int16_t kTempLimitDefault = 32512;
  static constexpr int16_t kTempLimitCeiling = 19456;
  // The control-cycle period of the trajectory: it advances every 22nd cycle, 3.3 ms.
  static constexpr int32_t kTrajectoryDivider = 22;
  // An encoder step beyond this is taken as a wrap through zero.
  static constexpr int16_t kEncoderWrapStep = 1000;
  // 0.31818 in Q31: the velocity loop's output scale to the q-current request.
  static constexpr Frac32 kVelocityToCurrent = 683286347;

  explicit Motor(Node& node);
  Motor(const Motor&) = delete;
  Motor& operator=(const Motor&) = delete;

  // ---- mode changes (main loop) ------------------------------------------------------------

  // Context: main loop.
  // Gate pins to GPIO outputs at their idle levels: PTC1, PTC3, PTD4 high first, then PTC2, PTC4,
  // PTD5 low; per pin latch, direction, multiplexer. Masks nothing itself (writeMode calls it
  // inside its critical section) and leaves property[MODE] alone.
  void idlePWM();

  // Context: main loop.
  // Changes the mode inside the critical section; a mode equal to property[MODE] does nothing at
  // all. Values outside 0..5 mean mode 0. Modes 2 and 4 (and 3, 5 when they start the drive)
  // hand the gate pins to the PWM timer and make the control interrupt restart (state 0).
  // Returns 0.
  int16_t writeMode(int16_t mode);

  // Context: main loop.
  // Waits `ms` to `ms` + 1 ticks, running due timers and received frames meanwhile. Returns at
  // once when no software-timer slot is free (the wait could never end).
  void wait(uint32_t ms);
  // Context: main loop (software-timer callback). Ends the waits in progress.
  void waitDone();

  // ---- the control interrupt -------------------------------------------------------------

  // Context: ISR, level 5 (PWM period). One call per PWM period: the first-interrupt set-up
  // once, then the phase in `state`, then the next phase (1 after 6). Phase 6 may end early
  // without advancing (sector voting).
  void motorSetPWM();

  // Context: ISR, level 5 (PWM period), first call only. Designs both velocity filters and
  // creates the trajectory.
  void firstInterrupt();

  // Context: ISR, level 5 (PWM period). The phases; phase6 returns false when it ends early
  // (a new sector is being voted on) and the sequence must not advance.
  void phase0();
  void phase1();
  void phase2();
  void phase3();
  void phase4();
  void phase5();
  bool phase6();

  // Context: ISR, level 5 (PWM period). The compare sets of a pattern, for the next period.
  void writeRegularSet(const patternStruct& pattern);
  void writeMeasurementSet(const patternStruct& pattern);
  // Context: ISR, level 5 (PWM period). The four sampling delays from p->Mid, then arms the
  // trigger for the next period: current samples 27 ticks before the Mid phase's on and off
  // edges of the measurement set, auxiliary samples 100 ticks after each.
  void programSamplingTrigger();
  // Context: ISR, level 5 (PWM period). Adds the current samples of the last measurement period
  // to the Max phase (sample A) and, negated, to the Min phase (sample B) of p.
  void accumulateSamples();
  // Context: any (pure). The over-temperature threshold for the setting `limit` (1/256 degC).
  static int16_t limitTempThreshold(int16_t limit);

  // Context: any (pure). Raw bus-voltage reading to the bus-voltage property: 4.5 x raw, the
  // half truncated, low 16 bits.
  static int16_t convertVoltage(uint16_t raw);
  // Context: ISR, level 5 (PWM period). First-order low-pass, time constant 16 384 calls; seeded
  // with the input while its state is negative.
  int16_t voltageFilter(int16_t new_val);
  // Context: ISR, level 5 (PWM period). Filters the bus voltage into BUS_VOLTAGE on 128 calls out
  // of every 256, from the 129th call on.
  void sampleVoltage();

  // ---- encoder and rotor angle (control interrupt) -------------------------------------------

  // Context: ISR, level 5 (PWM period); relies on the SPI1 event (level 2) preempting it.
  // One 16-bit exchange with the rotor encoder; the 12-bit angle from bits 13..2. `cs` is ignored.
  int16_t readEncoder(int cs);
  // Context: ISR, level 5 (PWM period). Phase 3: counts cycles and reads the encoder every 4th.
  void encoderDecimation();
  // Context: ISR, level 5 (PWM period). Phase 3 after start-up (rotorAngle -1): counts per
  // electrical revolution, velocities 0, the first reading as the previous one.
  void firstTimeSetup();
  // Context: ISR, level 5 (PWM period). Phase 4: position and velocity from a fresh reading,
  // else the interpolated angle; then the electrical angle into foc.thRotEl.
  void updateAngle();

  // ---- position, velocity and torque-command loops (phase 2) ---------------------------------

  // Context: ISR, level 5 (PWM period). The whole phase-2 work, in order.
  void motionLoops();
  // Context: ISR, level 5 (PWM period). Modes 3 and 5: trajectory pacing, position controller,
  // command filter, rate limit (mode 3) into VELOCITY.
  void positionLoop();
  // Context: ISR, level 5 (PWM period). Clamps VELOCITY to the velocity limit in force.
  void limitVelocityCommand();
  // Context: ISR, level 5 (PWM period). The filtered measured velocity, truncated to an integer.
  int32_t measuredVelocity();
  // Context: ISR, level 5 (PWM period). Modes 3..5: velocity controller to the torque command;
  // mode 2: TORQUE; modes 0, 1: unchanged.
  void torqueCommand(int32_t v);
  // Context: ISR, level 5 (PWM period). Clamps the torque command to the limit in force.
  void limitTorque();
  // Context: ISR, level 5 (PWM period). Soft position bounds: no torque further outward beyond
  // a bound by more than 50 counts.
  void boundPosition();
  // Context: ISR, level 5 (PWM period). Filters the torque command and replaces it by
  // +-OVERCURRENT_LEVEL once the filtered value has stayed at or above that level too long.
  void overCurrentFoldback();
  // Context: ISR, level 5 (PWM period). Latches over-temperature in OVERTEMP; torque 0 while set.
  void overTemperature();
  // Context: any. 1 while the foldback acts (its counter has run out), else 0; 0 before the
  // control interrupt's first run.
  uint8_t Motor_IsOvercurrentFault() const;

  // ---- main-loop entry points ------------------------------------------------------------
  // motorHome, motorMoveToScaledP, motorCollectStats and motorTestFETs live in homing.cpp; the
  // loops read the limit overrides limitedMT/limitedV that homing sets (declared below).

  // Context: main loop. Homing; cancels a pending automatic homing first.
  void motorHome();
  // Context: main loop. Does nothing, by definition; start-up schedules it once.
  void motorControl();
  // Context: main loop (software-timer callback, 5000 ticks after the offset search started).
  // Takes the electrical offset, leaves the search and saves property[ELEC_OFFSET].
  void motorWriteOffset();
  // Context: main loop. Move to scaled position p, 0..65535 of the travel.
  void motorMoveToScaledP(uint16_t p);
  // Context: main loop. Phase-current statistics over `samples` ticks.
  void motorCollectStats(stat_t* result, int32_t samples);
  // Context: main loop, status 4 only. Bridge switch test.
  void motorTestFETs(uint8_t data);

  // ---- state ------------------------------------------------------------------------------

  motorStruct motor;
  stat_t stats;
  // PWM period in timer counts. Owner: main loop (property protocol), read by the control code.
  int16_t MODULO = kDefaultModulo;

  // Sequencer. `state`: phase of the next interrupt; owner the control interrupt, set to 0 by
  // writeMode inside the critical section. `isInitialized`: the first interrupt's set-up is done.
  // `delay`: the last sampling delay computed.
  volatile uint8_t state = 0;
  int16_t isInitialized = 0;
  int16_t delay = 0;

  // The two pattern buffers, the active (p) and the next (n) one, and the pattern computation.
  // Owner: the control interrupt alone.
  PwmPatterns patterns;
  patternStruct A;
  patternStruct B;
  patternStruct* p = &A;
  patternStruct* n = &B;
  // Sector voting: the candidate sector and the cycles it has been computed in a row.
  int16_t votes = 0;
  int16_t voteSector = 0;

  // Field-oriented current control and observer. Owner: the control interrupt; the main loop
  // rewrites the d/q gains.
  CurrentControl foc;

  // Velocity and position controllers. Owner: control interrupt; the main loop rewrites gains.
  GFLIB_CONTROLLER_PIAW_P_T velPI = {};
  GFLIB_CONTROLLER_PIAW_P_T posPI = {};
  // Loop signals of the last cycle (phase 2). Owner: control interrupt.
  int32_t errPos = 0;    // position error, saturated and scaled
  int32_t uReqPos = 0;   // position controller output, velocity command x 65536
  int16_t errVel = 0;    // velocity error
  int32_t uReqVel = 0;   // velocity controller output, Q31
  int16_t lastV = 0;     // velocity command of the previous cycle (mode 3 rate limit)
  int32_t pos_loop = 0;  // cycles since the last trajectory step (mode 5)
  // Torque and velocity limit overrides of homing; 0 means none. Owner: main loop (homing),
  // read by the loops every cycle.
  int16_t limitedMT = 0;
  int16_t limitedV = 0;
  // Filters of the position controller's output and of the measured velocity. Owner: control
  // interrupt (designed on its first run); the command filter is redesigned by the main loop.
  biquadStruct cmd_velocity_filter;
  biquadStruct in_velocity_filter;
  // The motion profile of mode 5. Owner: control interrupt (steps); the main loop restarts it
  // inside writeMode's critical section and gives it new moves.
  Trajectory_Controller_t trajectory;
  // Over-current foldback: the torque-command filter (64 x the filtered value), its output and
  // the cycles left before the foldback acts. Owner: control interrupt.
  int32_t filteredCurrent_z = 0;
  int16_t filteredCurrent = 0;
  int32_t overCurrentCounter = 0;
  // Over-temperature debounce. Owner: control interrupt.
  TemperatureThreshold_t temp_threshold;

  // Bus-voltage path: the filter state (negative: seed with the next input) and the calls of
  // sampleVoltage so far. Owner: control interrupt.
  int32_t filter_z = -1;
  uint32_t counter = 0;

  // Encoder and angle. Owner: control interrupt.
  int16_t rawMech = 0;      // last reading, 0..4095
  int16_t lastRawMech = 0;  // reading of the previous read
  int16_t encincr = 0;      // counts moved between the last two reads, wrap corrected
  int8_t encCycle = 4;      // cycles since the last read; 4 makes the first phase 3 read
  int16_t theta_m = 0;      // mechanical angle minus the offset, counts
  int16_t theta_e = 0;      // electrical angle, counts, (-cts/2, cts/2]
  int32_t angle = 0;        // electrical angle, Q31, 1.0 = pi

  // Flag of `wait`, shared by nested waits. Owner: main loop.
  volatile int32_t done = 0;

 private:
  // Context: main loop, inside writeMode's critical section. The six gate pins to the PWM timer.
  void routePinsToTimer();
  // Context: main loop, inside writeMode's critical section. Starts driving in mode 2 (also 3
  // and 5): clears the torque command, hands the pins to the timer, restarts the sequence.
  void activate();
  // Context: main loop, inside writeMode's critical section. Modes 3 and 5: restart at the
  // present position unless the drive carries on smoothly from mode 3, 4 or 5.
  void enterPositionMode();
  // Context: ISR, level 5 (PWM period). Swaps the active and the next pattern.
  void swapPatterns();

  Node& node_;
  // The node's property table, held directly for the same reason as motorTimer_ below: one load
  // instead of two in every phase that reads a property.
  int16_t* const property_;
  // The node's PWM timer, ADC and trigger interface, held directly: every control-interrupt phase
  // reaches it, and this saves two dependent loads per call on the way through the node.
  platform::MotorTimer& motorTimer_;
  // Encoder exchange: the request word and the answer buffer (4 bytes). Owner: control interrupt
  // and the SPI1 driver during the exchange.
  uint16_t encoderRequest_ = 0xFFFF;
  uint16_t encoderAnswer_[2] = {};
};

namespace callbacks {
// Software-timer callbacks of motor control.
void motorHome(Node& node);
void motorControl(Node& node);
void motorWriteOffset(Node& node);
void waitDone(Node& node);
}  // namespace callbacks

}  // namespace tavrix
