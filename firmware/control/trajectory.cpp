#include "firmware/control/trajectory.hpp"

#include "firmware/math/arith.hpp"

using tavrix::math::div32;
using tavrix::math::div64;
using tavrix::math::low32;
using tavrix::math::mul64;
using tavrix::math::shr32;
using tavrix::math::shr64;
using tavrix::math::wrapAdd32;
using tavrix::math::wrapMul32;
using tavrix::math::wrapMul64;
using tavrix::math::wrapNeg32;
using tavrix::math::wrapShl64;
using tavrix::math::wrapSub32;

namespace {

constexpr int32_t kCountsPerStep = 652;

// |v| as the chip forms it: INT_MIN stays INT_MIN.
constexpr int32_t absWrap(int32_t v) {
  return v < 0 ? wrapNeg32(v) : v;
}

// Context: main loop.
void setMaxParameters(Trajectory_Controller_t* c, int16_t max_velocity, int16_t max_accel,
                      int16_t max_decel) {
  // Per-step decrease turned into a rate per second. Before a successful create dt is 0 and the
  // zero-divisor convention leaves the limit at 0 instead of trapping.
  const int64_t scaled = wrapShl64(int64_t{max_decel} * 256, 16);
  c->max_decel = low32(div64(scaled, c->dt));
  c->max_accel = int32_t{max_accel} * 256;
  c->max_velocity = int32_t{max_velocity} * 256;
}

// Context: main loop.
void calculateDistanceToGo(Trajectory_Controller_t* c, int32_t new_target,
                           int32_t current_position) {
  c->start_position = current_position;
  c->target_position = new_target;
  const int32_t steps = div32(wrapSub32(new_target, current_position), kCountsPerStep);
  const int32_t distance = wrapMul32(steps, 256);
  c->direction = static_cast<int32_t>(distance > 0) - static_cast<int32_t>(distance < 0);
  c->distanceToGo = wrapMul32(distance, c->direction);
}

// Context: ISR, level 5 (PWM period).
// True while the stopping distance at the braking limit is shorter than what remains after
// this step; equality brakes.
bool isAccelerating(const Trajectory_Controller_t* c) {
  const int32_t travel = low32(shr64(mul64(c->current_velocity, c->dt), 16));
  const int64_t remaining = int64_t{c->distanceToGo} - int64_t{travel};
  const int64_t twice = wrapMul32(c->max_decel, 2);
  // Both factors can approach 2^32 with extreme dt: the product wraps as the chip's does.
  return mul64(c->current_velocity, c->current_velocity) < wrapMul64(remaining, twice);
}

// Context: ISR, level 5 (PWM period).
void applyAcceleration(Trajectory_Controller_t* c) {
  const int32_t v = wrapAdd32(c->max_accel, c->current_velocity);
  c->current_velocity = absWrap(v) >= absWrap(c->max_velocity) ? c->max_velocity : v;
}

// Context: ISR, level 5 (PWM period).
void applyDeceleration(Trajectory_Controller_t* c) {
  const int32_t v = wrapSub32(c->current_velocity, c->max_decel_calculated);
  c->current_velocity = v >= 0 ? v : 0;
}

// Context: ISR, level 5 (PWM period).
// The exact per-step decrease that stops in the remaining distance: v^2 / (2 d) per second,
// times dt. The low 16 bits of v^2 are dropped before the division; that truncation is part of
// the result.
void startBraking(Trajectory_Controller_t* c) {
  const int32_t vsq = low32(shr64(mul64(c->current_velocity, c->current_velocity), 16));
  // No distance left: nothing to divide by. The step that follows completes the move whatever
  // the rate, so the zero-divisor value 0 is taken without dividing.
  int64_t rate = 0;
  if (c->distanceToGo != 0) {
    rate = div64(wrapShl64(vsq, 16), int64_t{c->distanceToGo} * 2);
  }
  c->max_decel_calculated = low32(shr64(mul64(c->dt, low32(rate)), 16));
}

// Context: ISR, level 5 (PWM period).
void evaluateVelocityTrajectory(Trajectory_Controller_t* c) {
  c->old_velocity = c->current_velocity;
  switch (c->state) {
    case TRAJECTORY_READY:
      c->state = TRAJECTORY_ACCEL;
      [[fallthrough]];
    case TRAJECTORY_ACCEL:
      if (isAccelerating(c)) {
        applyAcceleration(c);
      } else {
        startBraking(c);
        applyDeceleration(c);
        c->state = TRAJECTORY_DECEL;
      }
      break;
    case TRAJECTORY_DECEL:
      applyDeceleration(c);
      break;
    case TRAJECTORY_UNINITIALIZED:
    case TRAJECTORY_IDLE:
    case TRAJECTORY_COMPLETED:
    case TRAJECTORY_ERROR:
      break;
  }
}

// Context: ISR, level 5 (PWM period), and main loop (retargeting).
// Present commanded position: whole steps back from the target.
int32_t commandedPosition(const Trajectory_Controller_t* c) {
  const int32_t steps = wrapMul32(shr32(c->distanceToGo, 8), c->direction);
  return wrapSub32(c->target_position, wrapMul32(steps, kCountsPerStep));
}

}  // namespace

// Context: ISR, level 5 (PWM period): the control interrupt's first run.
int32_t Trajectory_create(Trajectory_Controller_t* controller, float loop_time) {
  if (controller == nullptr) return -1;
  controller->state = TRAJECTORY_IDLE;
  controller->dt = tavrix::math::f2i32RoundEven(65536.0f * loop_time);
  return controller->dt == 0 ? -1 : 0;
}

// Context: main loop.
void Trajectory_setParameters(Trajectory_Controller_t* controller, int32_t new_target,
                              int32_t current_position, int16_t current_velocity,
                              int16_t max_velocity, int16_t max_accel, int16_t max_decel) {
  calculateDistanceToGo(controller, new_target, current_position);
  controller->state = TRAJECTORY_READY;
  controller->current_velocity = absWrap(current_velocity) * 256;
  setMaxParameters(controller, max_velocity, max_accel, max_decel);
}

// Context: main loop.
void Trajectory_setLimits(Trajectory_Controller_t* controller, int16_t max_velocity,
                          int16_t max_accel, int16_t max_decel) {
  setMaxParameters(controller, max_velocity, max_accel, max_decel);
}

// Context: main loop.
void Trajectory_setTargetPosition(Trajectory_Controller_t* controller, int32_t new_target) {
  calculateDistanceToGo(controller, new_target, commandedPosition(controller));
  controller->state = TRAJECTORY_READY;
}

// Context: ISR, level 5 (PWM period).
int32_t Trajectory_nextPosition(Trajectory_Controller_t* controller) {
  evaluateVelocityTrajectory(controller);
  if (controller->current_velocity == 0 && controller->state == TRAJECTORY_DECEL) {
    // Stopped while braking: snap to the target even if some distance remains.
    controller->distanceToGo = 0;
  } else {
    const int32_t avg = div32(wrapAdd32(controller->current_velocity, controller->old_velocity), 2);
    const int32_t travel = low32(shr64(mul64(controller->dt, avg), 16));
    controller->distanceToGo = wrapSub32(controller->distanceToGo, travel);
  }
  if (controller->distanceToGo <= 0) {
    controller->distanceToGo = 0;
    controller->current_velocity = 0;
    controller->state = TRAJECTORY_COMPLETED;
  }
  return commandedPosition(controller);
}
