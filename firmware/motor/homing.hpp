// Homing, scaled moves and the self-tests: the blocking operations of the motor control that run
// in the main loop (Motor::motorHome, motorMoveToScaledP, motorCollectStats, motorTestFETs are
// defined in homing.cpp). While they wait they keep the node serving its software timers and
// received frames, so frame handlers and timer callbacks run nested inside them.
#pragma once

#include <cstdint>

namespace tavrix {

class Node;

// Context: any (pure). Square root by Newton's iteration from t = c, stopping once
// |t*t - c| <= c * 1e-4 (single precision; t + c/t in single, the halving in double). 0 for 0,
// and 0 for a negative argument (a slightly negative variance), for which the iteration could
// never stop. Positive arguments, subnormals included, end the iteration (at most 75 steps over
// all subnormals and a sweep of the normal range).
float motorSqrt(float c);

namespace homing {

// Scaled position p (0..65535 of the travel) to counts from position 0: (p x (upper - lower))
// >> 16 with the product in 64 bits and the difference in 32. The lower limit is not added.
int32_t scaledTarget(uint16_t p, int32_t lower, int32_t upper);

// Context: main loop. One turn of the services a waiting operation owes the node: due timer
// callbacks, then one received frame, then Cpu_Relax.
void service(Node& node);

// Context: main loop. Stop detection: services until the smoothed velocity is exactly 0 and the
// torque command has reached the homing torque limit (|cmdTorque| >= limitedMT).
void waitForStop(Node& node);

}  // namespace homing
}  // namespace tavrix
