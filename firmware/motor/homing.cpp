#include "firmware/motor/homing.hpp"

#include <cmath>

#include "firmware/math/arith.hpp"
#include "firmware/motor/motor.hpp"
#include "firmware/node/node.hpp"

namespace tavrix {

namespace pins = platform::pins;
using math::wrapNeg32;
using math::wrapSub32;

namespace {

// |v| without overflow for the most negative value.
constexpr int64_t magnitude(int32_t v) {
  return v < 0 ? -static_cast<int64_t>(v) : v;
}

}  // namespace

// Context: any (pure).
float motorSqrt(float c) {
  if (c < 0.0f) return 0.0f;
  float t = c;
  while (std::fabs(t * t - c) > c * 1.0e-4f) {
    t = static_cast<float>(static_cast<double>(t + c / t) / 2.0);
  }
  return t;
}

namespace homing {

int32_t scaledTarget(uint16_t p, int32_t lower, int32_t upper) {
  return math::low32(math::shr64(math::mul64(p, wrapSub32(upper, lower)), 16u));
}

// Context: main loop.
void service(Node& node) {
  node.timers.timerHandle();
  node.ring.commHandle();
  node.hw.cpu.Cpu_Relax();
}

// Context: main loop.
void waitForStop(Node& node) {
  const Motor& drive = node.drive;
  for (;;) {
    // Each value is read once per check, in one access; the control interrupt updates them.
    const int32_t velocity = drive.motor.velocityFilt;
    const int32_t torque = drive.motor.cmdTorque;
    if (velocity == 0 && magnitude(torque) >= drive.limitedMT) return;
    service(node);
  }
}

}  // namespace homing

// Context: main loop.
void Motor::motorHome() {
  int16_t* property = node_.property;
  PropertyTable& table = node_.propertyTable;

  // Any homing request cancels a pending automatic homing.
  if (node_.m_autohoming_event != -1) {
    node_.timers.timerRemoveEvent(static_cast<int16_t>(node_.m_autohoming_event));
    node_.m_autohoming_event = -1;
  }

  // Refused silently: homing already running; no back-off on the side of the first stop; or no
  // homing velocity, with which no stop would ever be reached.
  const int16_t homeVelocity = property[prop::HOME_VELOCITY];
  if (property[prop::STATUS] == STATUS_HOMING) return;
  if (homeVelocity > 0 && table.get32(prop::BACKOFF_HIGH) == 0) return;
  if (homeVelocity < 0 && table.get32(prop::BACKOFF_LOW) == 0) return;
  if (homeVelocity == 0) return;

  // Search in velocity mode with the torque limited to the homing torque.
  property[prop::HOMED] = 0;
  property[prop::STATUS] = STATUS_HOMING;
  table.set32(prop::LOWER_LIMIT, 0);
  limitedMT = property[prop::HOME_TORQUE];
  writeMode(MODE_VELOCITY);
  property[prop::VELOCITY] = homeVelocity;
  wait(100);

  homing::waitForStop(node_);
  table.set32(prop::POSITION, 0);
  property[prop::VELOCITY] = static_cast<int16_t>(-homeVelocity);  // away from the stop

  if (property[prop::VELOCITY] < 0) {
    // The first stop was the upper one: back off, then the upper limit is the travel.
    while (table.get32(prop::POSITION) > wrapNeg32(table.get32(prop::BACKOFF_HIGH))) {
      homing::service(node_);
    }
    table.set32(prop::UPPER_LIMIT, table.get32(prop::TRAVEL));
    table.set32(prop::POSITION, table.get32(prop::TRAVEL));
    if (table.get32(prop::TRAVEL) == 0) {
      // Travel unknown: measure it against the lower stop.
      homing::waitForStop(node_);
      const int32_t s = table.get32(prop::POSITION);
      property[prop::VELOCITY] = homeVelocity;
      while (wrapSub32(table.get32(prop::POSITION), s) < table.get32(prop::BACKOFF_LOW)) {
        homing::service(node_);
      }
      table.set32(prop::UPPER_LIMIT, wrapNeg32(table.get32(prop::POSITION)));
      table.set32(prop::POSITION, 0);
    }
  } else {
    // The first stop was the lower one: back off to position 0.
    while (table.get32(prop::POSITION) < table.get32(prop::BACKOFF_LOW)) {
      homing::service(node_);
    }
    table.set32(prop::POSITION, 0);
    table.set32(prop::UPPER_LIMIT, table.get32(prop::TRAVEL));
    if (table.get32(prop::TRAVEL) == 0) {
      // Travel unknown: measure it against the upper stop.
      homing::waitForStop(node_);
      const int32_t s = table.get32(prop::POSITION);
      property[prop::VELOCITY] = homeVelocity;
      while (wrapSub32(s, table.get32(prop::POSITION)) < table.get32(prop::BACKOFF_HIGH)) {
        homing::service(node_);
      }
      table.set32(prop::UPPER_LIMIT, table.get32(prop::POSITION));
    }
  }

  // Final move to the home target at the homing speed limit.
  limitedMT = 0;
  writeMode(MODE_POSITION);
  limitedV = property[prop::HOME_VELOCITY_LIMIT];
  motorMoveToScaledP(static_cast<uint16_t>(table.get32(prop::HOME_TARGET) & 0xFFFF));
  wait(100);
  while (magnitude(errPos) > 100) homing::service(node_);
  limitedV = 0;
  property[prop::HOMED] = 1;
  property[prop::STATUS] = STATUS_READY;
}

// Context: main loop.
void Motor::motorMoveToScaledP(uint16_t scaled) {
  int16_t* property = node_.property;
  const PropertyTable& table = node_.propertyTable;
  const int32_t target =
      homing::scaledTarget(scaled, table.get32(prop::LOWER_LIMIT), table.get32(prop::UPPER_LIMIT));
  if (property[prop::MODE] == MODE_PROFILE) {
    const int16_t velocityLimit = property[prop::VELOCITY_LIMIT];
    const int16_t accelLimit = property[prop::ACCEL_LIMIT];
    if (trajectory.state == TRAJECTORY_COMPLETED || trajectory.state == TRAJECTORY_IDLE) {
      Trajectory_setParameters(&trajectory, target, table.get32(prop::POSITION),
                               property[prop::VELOCITY], velocityLimit, accelLimit, accelLimit);
    } else {
      // A move is running: retarget it without losing its speed.
      Trajectory_setLimits(&trajectory, velocityLimit, accelLimit, accelLimit);
      Trajectory_setTargetPosition(&trajectory, target);
    }
  } else {
    // In mode 3 the position controller goes there at once; in other modes the command waits.
    motor.cmdPos = target;
  }
}

// Context: main loop.
void Motor::motorCollectStats(stat_t* result, int32_t samples) {
  result->max = -2.0e9f;
  result->min = 2.0e9f;
  float sum = 0.0f;
  float sumSquares = 0.0f;
  for (int32_t i = 0; i < samples; ++i) {
    wait(1);
    const auto x = static_cast<float>(node_.result0RA);
    if (x > result->max) result->max = x;
    if (x < result->min) result->min = x;
    sum += x;
    sumSquares += x * x;
  }
  const auto count = static_cast<double>(samples);
  result->mean = static_cast<float>(static_cast<double>(sum) / count);
  const float sumSquared = sum * sum;
  const auto variance = static_cast<float>(
      (count * static_cast<double>(sumSquares) - static_cast<double>(sumSquared)) /
      (count * count - count));
  result->stdev = motorSqrt(variance);
}

// Context: main loop, status 4 only (the gate pins are GPIO outputs).
void Motor::motorTestFETs(uint8_t data) {
  platform::Gpio& gpio = node_.hw.gpio;
  // Idle levels: everything high first, then the odd-channel pins low, so no step leaves both
  // pins of a phase low (the gate inputs are active low).
  for (const platform::Pin pin : {pins::PTC1, pins::PTC2, pins::PTC3, pins::PTC4}) {
    gpio.GPIO_SetOutput(pin, true);
  }
  gpio.GPIO_SetOutput(pins::PTD4, true);
  gpio.GPIO_SetOutput(pins::PTD5, true);
  gpio.GPIO_SetOutput(pins::PTC2, false);
  gpio.GPIO_SetOutput(pins::PTC4, false);
  gpio.GPIO_SetOutput(pins::PTD5, false);
  wait(1);

  // Three 2-bit fields, phase A in bits 5..4: 01 idle, 10 inverted. Only codes with one or two
  // phases inverted and the others idle are acted on.
  struct Leg {
    platform::Pin even;
    platform::Pin odd;
  };
  static constexpr Leg kLegs[3] = {
      {pins::PTC1, pins::PTC2}, {pins::PTC3, pins::PTC4}, {pins::PTD4, pins::PTD5}};
  bool inverted[3] = {};
  int invertedCount = 0;
  bool valid = true;
  for (int leg = 0; leg < 3; ++leg) {
    const int field = (data >> (4 - 2 * leg)) & 0x3;
    if (field == 0x2) {
      inverted[leg] = true;
      ++invertedCount;
    } else if (field != 0x1) {
      valid = false;
    }
  }
  if ((data & 0xC0) != 0) valid = false;
  if (valid && (invertedCount == 1 || invertedCount == 2)) {
    for (int leg = 0; leg < 3; ++leg) {
      if (inverted[leg]) gpio.GPIO_SetOutput(kLegs[leg].odd, true);
    }
    for (int leg = 0; leg < 3; ++leg) {
      if (inverted[leg]) gpio.GPIO_SetOutput(kLegs[leg].even, false);
    }
  }

  motorCollectStats(&stats, 25);
}

}  // namespace tavrix
