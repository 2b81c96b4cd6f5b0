// Trapezoidal motion profile: turns a target position into a stream of commanded positions that
// accelerate at a fixed rate up to a speed limit, cruise, and brake to arrive on the target.
//
// Pure 32/64-bit integer arithmetic on one record, bit-exact with the chip; no platform access.
// Units inside the record: distance in steps of 652 position counts with 8 fraction bits
// (steps x 256), velocity in steps/s x 256, time in s x 65536. Positions in and out are signed
// 32-bit position counts and wrap at 32 bits.
//
// Ownership: the record is owned by motor control. `Trajectory_nextPosition` runs in the control
// interrupt; the setters run in the main loop. The record has no lock of its own: the owner may
// mask the control interrupt while it writes a new move.
#pragma once

#include <cstdint>

enum Trajectory_State_t : uint8_t {
  TRAJECTORY_UNINITIALIZED = 0,  // never created (all-zero record)
  TRAJECTORY_IDLE = 1,           // created, no move given
  TRAJECTORY_READY = 2,          // a move or new target was given; ACCEL on the next step
  TRAJECTORY_ACCEL = 3,          // accelerating, or cruising at the limit
  TRAJECTORY_DECEL = 4,          // braking; never returns to ACCEL by itself
  TRAJECTORY_COMPLETED = 5,      // target reached, velocity 0
  TRAJECTORY_ERROR = 6,          // defined, never entered
};

// The default member initialisers give the power-on (zero) record.
struct Trajectory_Controller_t {
  Trajectory_State_t state = TRAJECTORY_UNINITIALIZED;
  int32_t max_accel = 0;             // velocity increase per step, steps/s x 256
  int32_t max_decel = 0;             // braking limit, steps/s^2 x 256
  int32_t max_velocity = 0;          // velocity limit, steps/s x 256 (used with its sign)
  int32_t dt = 0;                    // time between steps, s x 65536
  int32_t current_velocity = 0;      // speed magnitude, steps/s x 256
  int32_t max_decel_calculated = 0;  // velocity decrease per step while braking, steps/s x 256
  int32_t old_velocity = 0;          // current_velocity at the start of the present step
  int32_t direction = 0;             // +1, 0 or -1: sign of the move
  int32_t start_position = 0;        // counts the present distance was measured from
  int32_t target_position = 0;       // counts
  int32_t distanceToGo = 0;          // remaining distance magnitude, steps x 256
};

// Sets the state to IDLE and dt = 65536 x loop_time rounded to nearest (ties to even). Returns -1
// for a null record or a dt of 0, else 0. Touches no other field.
int32_t Trajectory_create(Trajectory_Controller_t* controller, float loop_time);

// Starts a new move from current_position (counts) at |current_velocity| (steps/s) to new_target,
// with the given velocity limit (steps/s), acceleration (steps/s per step) and braking limit
// (steps/s per step). Before a successful create (dt 0) the braking limit becomes 0.
void Trajectory_setParameters(Trajectory_Controller_t* controller, int32_t new_target,
                              int32_t current_position, int16_t current_velocity,
                              int16_t max_velocity, int16_t max_accel, int16_t max_decel);

// Replaces the limits only; the state and the move in progress stay as they are.
void Trajectory_setLimits(Trajectory_Controller_t* controller, int16_t max_velocity,
                          int16_t max_accel, int16_t max_decel);

// Retargets a move from the present commanded position, keeping the present speed.
void Trajectory_setTargetPosition(Trajectory_Controller_t* controller, int32_t new_target);

// Advances the profile by one step of dt and returns the new commanded position (counts).
int32_t Trajectory_nextPosition(Trajectory_Controller_t* controller);
