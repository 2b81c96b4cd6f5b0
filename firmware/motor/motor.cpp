#include "firmware/motor/motor.hpp"

#include "firmware/math/arith.hpp"
#include "firmware/node/node.hpp"

namespace tavrix {

namespace pins = platform::pins;

// Context: main loop (start-up).
void Motor::InitSV() {}

// Context: main loop.
void Motor::idlePWM() {
  platform::Gpio& gpio = node_.hw.gpio;
  struct PinLevel {
    platform::Pin pin;
    bool high;
  };
  // The pins that go high before those that go low: no step leaves both pins of a phase low.
  static constexpr PinLevel kIdle[6] = {{pins::PTC1, true},  {pins::PTC3, true},
                                        {pins::PTD4, true},  {pins::PTC2, false},
                                        {pins::PTC4, false}, {pins::PTD5, false}};
  for (const PinLevel& p : kIdle) {
    gpio.GPIO_SetOutput(p.pin, p.high);
    gpio.GPIO_SetDirection(p.pin, true);
    gpio.PORT_SetMux(p.pin, platform::kPinMuxGpio);
  }
}

// Context: main loop.
int16_t Motor::writeMode(int16_t mode) {
  int16_t* property = node_.property;
  if (property[prop::MODE] == mode) return 0;
  platform::CriticalSection lock(node_.hw.cpu);  // the control interrupt sees old or new, whole
  int16_t entered = mode;
  if (mode < MODE_IDLE || mode > MODE_PROFILE) entered = MODE_IDLE;
  if (entered == MODE_IDLE) {
    property[prop::TORQUE] = 0;
    if (property[prop::STATUS] != STATUS_RESET) idlePWM();
  }
  // Modes 1 to 5 are only stored for now; their activation comes with the control interrupt.
  property[prop::MODE] = entered;
  return 0;
}

// Context: ISR, level 5 (PWM period).
void Motor::motorSetPWM() {}

// Context: main loop.
void Motor::motorHome() {
  // Any homing request cancels a pending automatic homing.
  if (node_.m_autohoming_event != -1) {
    node_.timers.timerRemoveEvent(static_cast<int16_t>(node_.m_autohoming_event));
    node_.m_autohoming_event = -1;
  }
}

// Context: main loop.
void Motor::motorControl() {}

// Context: main loop (software-timer callback).
void Motor::motorWriteOffset() {
  int16_t* property = node_.property;
  property[prop::ELEC_OFFSET] =
      static_cast<int16_t>(math::rem32(property[prop::MECH_ANGLE], motor.ctsPerElecCycle));
  writeMode(MODE_IDLE);
  motor.findingOffset = false;
  node_.sermem.sermem_WriteBlock(2 * prop::ELEC_OFFSET,
                                 reinterpret_cast<const int8_t*>(&property[prop::ELEC_OFFSET]), 2);
}

// Context: main loop.
void Motor::motorMoveToScaledP(uint16_t) {}

// Context: main loop.
void Motor::motorCollectStats(stat_t*, int32_t) {}

// Context: main loop, status 4 only.
void Motor::motorTestFETs(uint8_t) {}

namespace callbacks {
void motorHome(Node& node) {
  node.drive.motorHome();
}
void motorControl(Node& node) {
  node.drive.motorControl();
}
void motorWriteOffset(Node& node) {
  node.drive.motorWriteOffset();
}
}  // namespace callbacks

}  // namespace tavrix
