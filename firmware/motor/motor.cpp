#include "firmware/motor/motor.hpp"

#include "firmware/math/arith.hpp"
#include "firmware/math/controller_pi.hpp"
#include "firmware/math/frac.hpp"
#include "firmware/node/node.hpp"

namespace tavrix {

namespace pins = platform::pins;
using math::div32;
using math::wrapAdd32;
using math::wrapMul32;
using math::wrapNeg32;
using math::wrapShl32;
using math::wrapSub32;

namespace {

// Remainder of a truncating division; a zero divisor yields 0, as a division by zero does.
constexpr int32_t remOrZero(int32_t n, int32_t d) {
  return d == 0 ? 0 : math::rem32(n, d);
}

// A PI controller back to its start: full-range limits, integrator and previous input 0, no flag.
void resetPI(GFLIB_CONTROLLER_PIAW_P_T& pi) {
  pi.f32UpperLimit = math::kFrac32Max;
  pi.f32LowerLimit = math::kFrac32Min;
  pi.f32IntegPartK_1 = 0;
  pi.f32InK_1 = 0;
  pi.u16LimitFlag = 0;
}

bool isPositionMode(int16_t mode) {
  return mode == MODE_POSITION || mode == MODE_PROFILE;
}

}  // namespace

Motor::Motor(Node& node) : node_(node), property_(node.property), motorTimer_(node.hw.motorTimer) {
  // Both buffers start with a valid ordering, so no pattern pointer is ever null.
  for (patternStruct* pattern : {&A, &B}) {
    pattern->Min = &pattern->A;
    pattern->Mid = &pattern->B;
    pattern->Max = &pattern->C;
  }
}

// ---- mode changes -----------------------------------------------------------------------------

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
  for (const PinLevel& pin : kIdle) {
    gpio.GPIO_SetOutput(pin.pin, pin.high);
    gpio.GPIO_SetDirection(pin.pin, true);
    gpio.PORT_SetMux(pin.pin, platform::kPinMuxGpio);
  }
}

// Context: main loop, inside writeMode's critical section.
void Motor::routePinsToTimer() {
  for (const platform::Pin& pin : pins::kGatePins) {
    node_.hw.gpio.PORT_SetMux(pin, platform::kPinMuxFtm0);
  }
}

// Context: main loop, inside writeMode's critical section.
void Motor::activate() {
  property_[prop::TORQUE] = 0;
  motor.cmdTorque = 0;
  routePinsToTimer();
  state = 0;
}

// Context: main loop, inside writeMode's critical section.
void Motor::enterPositionMode() {
  const int16_t* property = property_;
  // A torque command beyond its limit means the drive is not carrying on smoothly.
  if (motor.cmdTorque > motor.limTorque || motor.cmdTorque < -motor.limTorque ||
      property[prop::MODE] < MODE_POSITION) {
    motor.cmdPos = node_.propertyTable.get32(prop::POSITION);
    activate();
  }
}

// Context: main loop.
int16_t Motor::writeMode(int16_t mode) {
  int16_t* property = property_;
  if (property[prop::MODE] == mode) return 0;
  platform::CriticalSection lock(node_.hw.cpu);  // the control interrupt sees old or new, whole
  int16_t entered = mode;
  switch (mode) {
    case MODE_HOLD_TORQUE:
      break;
    case MODE_TORQUE:
      activate();
      break;
    case MODE_POSITION:
      enterPositionMode();
      break;
    case MODE_VELOCITY:
      property[prop::VELOCITY] = 0;
      routePinsToTimer();
      state = 0;
      break;
    case MODE_PROFILE: {
      // The profile starts at rest at the present position.
      const int32_t position = node_.propertyTable.get32(prop::POSITION);
      Trajectory_setParameters(&trajectory, position, position, property[prop::VELOCITY],
                               property[prop::VELOCITY_LIMIT], property[prop::ACCEL_LIMIT],
                               property[prop::ACCEL_LIMIT]);
      enterPositionMode();
      break;
    }
    default:  // mode 0 and every value outside 0..5
      entered = MODE_IDLE;
      property[prop::TORQUE] = 0;
      if (property[prop::STATUS] != STATUS_RESET) idlePWM();
      break;
  }
  property[prop::MODE] = entered;
  return 0;
}

// Context: main loop.
void Motor::wait(uint32_t ms) {
  done = 0;
  // Without a free slot nothing would ever end the wait.
  if (node_.timers.timerAddEvent(callbacks::waitDone, ms) < 0) return;
  while (done == 0) {
    node_.timers.timerHandle();
    node_.ring.commHandle();
    if (done == 0) node_.hw.cpu.Cpu_Relax();
  }
}

// Context: main loop (software-timer callback).
void Motor::waitDone() {
  done = 1;
}

// ---- the control interrupt ----------------------------------------------------------------

// Context: ISR, level 5 (PWM period).
void Motor::motorSetPWM() {
  if (isInitialized == 0) firstInterrupt();
  bool advance = true;
  switch (state) {
    case 0:
      phase0();
      break;
    case 1:
      phase1();
      break;
    case 2:
      phase2();
      break;
    case 3:
      phase3();
      break;
    case 4:
      phase4();
      break;
    case 5:
      phase5();
      break;
    default:
      advance = phase6();
      break;
  }
  if (!advance) return;  // phase 6 runs again in the next period
  uint8_t next = static_cast<uint8_t>(state + 1);
  if (next > 6) next = 1;
  state = next;
}

// Context: ISR, level 5 (PWM period), first call only.
void Motor::firstInterrupt() {
  // Designing the two filters costs about 8 000 chip cycles, four PWM periods, so this first
  // interrupt ends late. It happens once, before the bridge is ever driven, and is left so.
  const int16_t* property = property_;
  biquadInit(&cmd_velocity_filter, BIQUAD_LOWPASS,
             3.05e-5f * static_cast<float>(property[prop::CMD_FILTER_FREQ]),
             static_cast<float>(property[prop::CMD_FILTER_Q]) * 0.00390625f, 0.0f);
  biquadInit(&in_velocity_filter, BIQUAD_LOWPASS, 0.0149993002f, 0.707f, 0.0f);
  Trajectory_create(&trajectory, 0.0033000002f);
  isInitialized = 1;
}

// Context: ISR, level 5 (PWM period).
void Motor::writeRegularSet(const patternStruct& pattern) {
  const int16_t values[6] = {pattern.A.t_on,  pattern.A.t_off, pattern.B.t_on,
                             pattern.B.t_off, pattern.C.t_on,  pattern.C.t_off};
  motorTimer_.FTM0_SetCompareValues(values);
}

// Context: ISR, level 5 (PWM period).
void Motor::writeMeasurementSet(const patternStruct& pattern) {
  const int16_t values[6] = {pattern.A.m_on,  pattern.A.m_off, pattern.B.m_on,
                             pattern.B.m_off, pattern.C.m_on,  pattern.C.m_off};
  motorTimer_.FTM0_SetCompareValues(values);
}

// Context: ISR, level 5 (PWM period).
void Motor::programSamplingTrigger() {
  const phaseStruct& mid = *p->Mid;
  delay = static_cast<int16_t>(MODULO / 2 + mid.m_on - kSampleLead);
  const auto adc0A = static_cast<uint16_t>(delay);
  const auto adc1A = static_cast<uint16_t>(delay + kAuxSampleDelay);
  delay = static_cast<int16_t>(mid.m_off + (delay - mid.m_on));
  const auto adc0B = static_cast<uint16_t>(delay);
  const auto adc1B = static_cast<uint16_t>(delay + kAuxSampleDelay);
  motorTimer_.PDB0_SetDelaysAndArm(adc0A, adc0B, adc1A, adc1B);
}

// Context: ISR, level 5 (PWM period).
void Motor::accumulateSamples() {
  const int16_t offset = property_[prop::CURRENT_OFFSET];
  // Before the Mid on edge only Max conducts; before its off edge Max and Mid do, so the link
  // carries minus the Min current.
  const auto sampleA = static_cast<int16_t>(node_.result0RA - offset);
  const auto sampleB = static_cast<int16_t>(-(node_.result0RB - offset));
  p->Max->i = static_cast<int16_t>(p->Max->i + sampleA);
  p->Min->i = static_cast<int16_t>(p->Min->i + sampleB);
}

// Context: any (pure).
int16_t Motor::limitTempThreshold(int16_t limit) {
  if (limit <= kTempLimitFloor) return kTempLimitDefault;
  if (limit >= kTempLimitCeiling) return kTempLimitCeiling;
  return limit;
}

// Context: ISR, level 5 (PWM period).
void Motor::phase0() {
  int16_t* property = property_;
  // Timer stopped, counter back to its start value, outputs initialised, restarted.
  motorTimer_.FTM0_RestartPeriod();
  p->C.duty = p->B.duty = p->A.duty = static_cast<int16_t>(MODULO / 4);
  p->samples = p->C.i = p->B.i = p->A.i = 0;
  patterns.calculateCompareValues(p, property[prop::OBSERVER_BYPASS]);
  writeRegularSet(*p);
  // Bus value, d/q integrators, previous inputs, limits and flags; the observer's coefficient
  // set and corrected states; then the outer controllers.
  foc.resetControllers();
  foc.observer.reset(property[prop::POSITION_SCALE]);
  resetPI(velPI);
  resetPI(posPI);
  // The position controller's output is a velocity command within the velocity limit.
  const int32_t velocityLimit = property[prop::VELOCITY_LIMIT];
  posPI.f32UpperLimit = wrapShl32(velocityLimit, 16);
  posPI.f32LowerLimit = wrapShl32(-velocityLimit, 16);
  overCurrentCounter = property[prop::OVERCURRENT_TIME] * 6;
  filteredCurrent = 0;
  filteredCurrent_z = 0;
}

// Context: ISR, level 5 (PWM period). Flattened: its steps run without calls.
[[gnu::flatten]] void Motor::phase1() {
  writeMeasurementSet(*p);
  motorTimer_.ADC1_SelectChannels(kAdc1AuxChannel, kAdc1BusChannel);
  programSamplingTrigger();
  temp_threshold.threshold_degC = limitTempThreshold(property_[prop::TEMP_LIMIT]);
}

// Context: ISR, level 5 (PWM period). Flattened: its steps run without calls.
[[gnu::flatten]] void Motor::phase2() {
  writeRegularSet(*p);
  motionLoops();
}

// Context: ISR, level 5 (PWM period). Flattened: its steps run without calls.
[[gnu::flatten]] void Motor::phase3() {
  int16_t* property = property_;
  writeMeasurementSet(*p);
  motorTimer_.ADC1_SelectChannels(kAdc1ThermistorChannel, kAdc1BusChannel);
  programSamplingTrigger();
  accumulateSamples();
  property[prop::ADC1_RAW_A] = node_.result1RA;
  property[prop::VBUS_RAW] = node_.result1RB;
  encoderDecimation();
  if (motor.rotorAngle == -1) firstTimeSetup();
}

// Context: ISR, level 5 (PWM period). Flattened: its steps run without calls.
[[gnu::flatten]] void Motor::phase4() {
  writeRegularSet(*p);
  updateAngle();
  foc.observer.predict(foc.uDQReq);
}

// Context: ISR, level 5 (PWM period). Flattened: its steps run without calls.
[[gnu::flatten]] void Motor::phase5() {
  int16_t* property = property_;
  writeMeasurementSet(*p);
  accumulateSamples();
  // Two sample pairs summed: halve; the Mid current follows from the three summing to zero.
  p->Max->iAvg = static_cast<int16_t>(p->Max->i >> 1);
  p->Min->iAvg = static_cast<int16_t>(p->Min->i >> 1);
  p->Mid->iAvg = static_cast<int16_t>(-(p->Max->iAvg + p->Min->iAvg));
  foc.iAbcFbck.f32A = wrapShl32(p->A.iAvg, 20);
  foc.iAbcFbck.f32B = wrapShl32(p->B.iAvg, 20);
  foc.iAbcFbck.f32C = wrapShl32(p->C.iAvg, 20);
  foc.SV_Control_A(CurrentInputs{motor.findingOffset, property[prop::ALIGN_CURRENT],
                                 property[prop::OBSERVER_BYPASS], patterns.useEstimate,
                                 motor.velocity});
  // Running average of the thermistor temperature read in the period after phase 3.
  property[prop::TEMPERATURE] = static_cast<int16_t>(
      (property[prop::TEMPERATURE] + temperature_ConvertToDegC(node_.result1RA)) >> 1);
  sampleVoltage();
}

// Context: ISR, level 5 (PWM period).
void Motor::swapPatterns() {
  patternStruct* const s = p;
  p = n;
  n = s;
}

// Context: ISR, level 5 (PWM period). Flattened: its steps run without calls.
[[gnu::flatten]] bool Motor::phase6() {
  const int16_t* property = property_;
  foc.SV_Control_B(property[prop::VOLTAGE_MODE], property[prop::TORQUE]);
  // Duty fractions around one half to half on-times of at most MODULO/2 - 85 ticks.
  const auto scale = static_cast<int16_t>(MODULO / 2 - kDutyMargin);
  n->A.duty = F16Mul(scale, static_cast<int16_t>(foc.pwm32.f32A >> 16));
  n->B.duty = F16Mul(scale, static_cast<int16_t>(foc.pwm32.f32B >> 16));
  n->C.duty = F16Mul(scale, static_cast<int16_t>(foc.pwm32.f32C >> 16));
  patterns.calculateCompareValues(n, property[prop::OBSERVER_BYPASS]);

  // A change of sector is taken only after it has been computed SECTOR_VOTES times in a row.
  const int16_t required = property[prop::SECTOR_VOTES];
  if (required == 0 || n->sector == p->sector) {
    swapPatterns();
  } else if (n->sector != voteSector) {
    // A new candidate: the vote starts and this phase runs again in the next period, while the
    // timer repeats the measurement set of the period before.
    voteSector = n->sector;
    votes = 0;
    return false;
  } else {
    votes = static_cast<int16_t>(votes + 1);
    if (votes >= required) swapPatterns();  // else p stays and n's values are dropped
  }
  p->samples = p->C.i = p->B.i = p->A.i = 0;
  writeRegularSet(*p);
  return true;
}

// ---- bus voltage --------------------------------------------------------------------------

// Context: any (pure).
int16_t Motor::convertVoltage(uint16_t raw) {
  return static_cast<int16_t>(raw / 2 + raw * 4);
}

// Context: ISR, level 5 (PWM period).
int16_t Motor::voltageFilter(int16_t new_val) {
  if (filter_z < 0) {
    filter_z = wrapShl32(new_val, 14);
  } else {
    filter_z = wrapSub32(wrapAdd32(new_val, filter_z), filter_z >> 14);
  }
  return static_cast<int16_t>(filter_z >> 14);
}

// Context: ISR, level 5 (PWM period).
void Motor::sampleVoltage() {
  if ((counter & 0x80u) != 0) {
    const auto raw = static_cast<uint16_t>(node_.result1RB);
    property_[prop::BUS_VOLTAGE] = voltageFilter(convertVoltage(raw));
  }
  ++counter;
}

// ---- encoder and rotor angle ----------------------------------------------------------------

// Context: ISR, level 5 (PWM period); the SPI1 event (level 2) preempts it.
int16_t Motor::readEncoder(int) {
  platform::Sm1& sm1 = node_.hw.sm1;
  node_.SM1_Semaphore = 0;
  sm1.SM1_ReceiveBlock(node_.SPI1device, encoderAnswer_, 1);
  while (sm1.SM1_SendBlock(node_.SPI1device, &encoderRequest_, 1) != platform::ERR_OK) {
    node_.hw.cpu.Cpu_Relax();
  }
  while (node_.SM1_Semaphore == 0) node_.hw.cpu.Cpu_Relax();
  return static_cast<int16_t>((encoderAnswer_[0] >> 2) & 0xFFF);
}

// Context: ISR, level 5 (PWM period).
void Motor::encoderDecimation() {
  encCycle = static_cast<int8_t>(encCycle + 1);
  if (encCycle >= 4) {
    encCycle = 0;
    rawMech = readEncoder(0);
  }
}

// Context: ISR, level 5 (PWM period).
void Motor::firstTimeSetup() {
  const int16_t* property = property_;
  motor.rotorAngle = 0;
  motor.findingOffset = false;
  motor.invertTorque = (property[prop::MACHINE] & 0x1F) == 5;
  // Counts per revolution over the pole count, then doubled: pole pairs per revolution.
  const int32_t countsPerPole =
      div32(node_.propertyTable.get32(prop::COUNTS_PER_REV), property[prop::POLES]);
  motor.ctsPerElecCycle = static_cast<int16_t>(wrapMul32(countsPerPole, 2));
  motor.velocityFilt = 0;
  motor.velocity = 0;
  lastRawMech = rawMech;
}

// Context: ISR, level 5 (PWM period).
void Motor::updateAngle() {
  int16_t* property = property_;
  PropertyTable& table = node_.propertyTable;
  const int32_t counts = table.get32(prop::COUNTS_PER_REV);
  if (encCycle == 0) {
    // A fresh reading: movement, position, the angle advanced by the lead, velocity.
    encincr = static_cast<int16_t>(rawMech - lastRawMech);
    lastRawMech = rawMech;
    if (encincr < -kEncoderWrapStep) {
      encincr = static_cast<int16_t>(wrapAdd32(encincr, counts));
    } else if (encincr > kEncoderWrapStep) {
      encincr = static_cast<int16_t>(wrapSub32(encincr, counts));
    }
    table.set32(prop::POSITION, wrapAdd32(table.get32(prop::POSITION), encincr));
    property[prop::MECH_ANGLE] =
        static_cast<int16_t>(rawMech + ((encincr * property[prop::ANGLE_LEAD]) >> 6));
    property[prop::ANGLE_STEP] = static_cast<int16_t>(-(encincr / 4));
    motor.velocity = wrapMul32(node_.velCoeff, encincr);
    int32_t filtered = div32(wrapAdd32(motor.velocityFilt, motor.velocity), 2);
    if (filtered >= -1 && filtered <= 1) filtered = 0;
    motor.velocityFilt = filtered;
  } else {
    // Between reads the angle advances by a quarter of the last interval's movement per cycle.
    property[prop::MECH_ANGLE] =
        static_cast<int16_t>(property[prop::MECH_ANGLE] - property[prop::ANGLE_STEP]);
  }
  if (property[prop::MECH_ANGLE] < 0) {
    property[prop::MECH_ANGLE] =
        static_cast<int16_t>(wrapAdd32(property[prop::MECH_ANGLE], counts));
  } else if (property[prop::MECH_ANGLE] >= counts) {
    property[prop::MECH_ANGLE] =
        static_cast<int16_t>(wrapSub32(property[prop::MECH_ANGLE], counts));
  }
  theta_m = static_cast<int16_t>(property[prop::MECH_ANGLE] - property[prop::ELEC_OFFSET]);
  const int32_t cycle = motor.ctsPerElecCycle;
  theta_e = static_cast<int16_t>(remOrZero(wrapAdd32(counts, theta_m), cycle));
  if (theta_e > cycle / 2) theta_e = static_cast<int16_t>(theta_e - cycle);
  // Half an electrical revolution is 2^31 (pi); exactly +pi wraps to -pi, the same direction.
  angle = wrapShl32(div32(wrapShl32(theta_e, 16), cycle), 16);
  foc.thRotEl = angle;
}

// ---- position, velocity and torque-command loops --------------------------------------------

// Context: ISR, level 5 (PWM period).
// Flattened: the loops and limits it runs are each called from here only, and inlining them saves
// a call and a register save per step of phase 2.
[[gnu::flatten]] void Motor::motionLoops() {
  const int16_t* property = property_;
  if (isPositionMode(property[prop::MODE])) positionLoop();
  limitVelocityCommand();
  torqueCommand(measuredVelocity());
  limitTorque();
  boundPosition();
  overCurrentFoldback();
  overTemperature();
  // Hand-over: the limited command is the q-current request, and the host reads it back. Idle
  // requests no current: the current loop keeps running with the bridge off, and a request kept
  // from the last active mode would wind its integrator up to full voltage, which the bridge
  // then applies for the rest of the period in which a mode set hands it the pins again.
  foc.iDQReq.f32Q = property[prop::MODE] != MODE_IDLE ? wrapShl32(motor.cmdTorque, 18) : 0;
  property_[prop::TORQUE] = motor.cmdTorque;
  node_.logger.logRecord();
}

// Context: ISR, level 5 (PWM period).
void Motor::positionLoop() {
  int16_t* property = property_;
  if (property[prop::MODE] == MODE_PROFILE) {
    if (pos_loop == kTrajectoryDivider - 1) {
      motor.cmdPos = Trajectory_nextPosition(&trajectory);
      pos_loop = 0;
    } else {
      pos_loop = pos_loop + 1;
    }
  } else {
    pos_loop = 0;
  }
  errPos = wrapSub32(motor.cmdPos, node_.propertyTable.get32(prop::POSITION));
  const int32_t saturation = node_.errPosSat;
  if (errPos > saturation) {
    errPos = saturation;
  } else if (errPos < wrapNeg32(saturation)) {
    errPos = wrapNeg32(saturation);
  }
  errPos = wrapMul32(errPos, node_.errPosConvert);
  uReqPos = GFLIB_ControllerPIpAWANSIC(errPos, &posPI);
  // The filter runs every cycle so its state follows even while its output is not used.
  const float filtered = biquadProcess(&cmd_velocity_filter, static_cast<float>(uReqPos));
  if ((property[prop::FILTER_FLAGS] & 1) != 0) {
    const int32_t rounded = math::d2i32RoundHalfAway(static_cast<double>(filtered));
    property[prop::VELOCITY] = static_cast<int16_t>(rounded >> 16);
  } else {
    property[prop::VELOCITY] = static_cast<int16_t>(uReqPos >> 16);
  }
  if (property[prop::MODE] == MODE_POSITION) {
    const int32_t step = property[prop::VELOCITY] - lastV;
    const int32_t maxStep = property[prop::ACCEL_LIMIT];
    if (step > maxStep) {
      property[prop::VELOCITY] = static_cast<int16_t>(lastV + maxStep);
    } else if (step < -maxStep) {
      property[prop::VELOCITY] = static_cast<int16_t>(lastV - maxStep);
    }
    lastV = property[prop::VELOCITY];
  }
}

// Context: ISR, level 5 (PWM period).
void Motor::limitVelocityCommand() {
  int16_t* property = property_;
  motor.limVelocity = limitedV != 0 ? limitedV : property[prop::VELOCITY_LIMIT];
  const int32_t limit = motor.limVelocity;
  if (property[prop::VELOCITY] > limit) {
    property[prop::VELOCITY] = static_cast<int16_t>(limit);
  } else if (property[prop::VELOCITY] < -limit) {
    property[prop::VELOCITY] = static_cast<int16_t>(-limit);
  }
}

// Context: ISR, level 5 (PWM period).
int32_t Motor::measuredVelocity() {
  // A filter gone NaN or infinite reaches the integer only through the chip's conversion.
  return math::f2i32(biquadProcess(&in_velocity_filter, static_cast<float>(motor.velocity)));
}

// Context: ISR, level 5 (PWM period).
void Motor::torqueCommand(int32_t v) {
  const int16_t* property = property_;
  const int16_t mode = property[prop::MODE];
  if (mode == MODE_POSITION || mode == MODE_VELOCITY || mode == MODE_PROFILE) {
    // The velocity command is in units of the measured velocity x 11 / 256.
    errVel = static_cast<int16_t>(property[prop::VELOCITY] - (wrapMul32(v, 11) >> 8));
    uReqVel = GFLIB_ControllerPIpAWANSIC(wrapShl32(errVel, 16), &velPI);
    foc.iDQReq.f32Q = F32Mul(uReqVel, kVelocityToCurrent);
    motor.cmdTorque = static_cast<int16_t>(foc.iDQReq.f32Q >> 18);
  } else if (mode == MODE_TORQUE) {
    motor.cmdTorque = property[prop::TORQUE];
  }
}

// Context: ISR, level 5 (PWM period).
void Motor::limitTorque() {
  const int16_t* property = property_;
  if (limitedMT != 0) {
    motor.limTorque = limitedMT;
  } else {
    const int16_t limit = property[prop::TORQUE_LIMIT];
    const int16_t max = property[prop::TORQUE_MAX];
    motor.limTorque = limit < max ? limit : max;
  }
  const int32_t limit = motor.limTorque;
  if (motor.cmdTorque > limit) {
    motor.cmdTorque = static_cast<int16_t>(limit);
  } else if (motor.cmdTorque < -limit) {
    motor.cmdTorque = static_cast<int16_t>(-limit);
  }
}

// Context: ISR, level 5 (PWM period).
void Motor::boundPosition() {
  const int16_t* property = property_;
  if (property[prop::HOMED] == 0) return;
  const PropertyTable& table = node_.propertyTable;
  const int32_t position = table.get32(prop::POSITION);
  if (position > wrapAdd32(table.get32(prop::UPPER_LIMIT), 50) && motor.cmdTorque > 0) {
    motor.cmdTorque = 0;
  }
  if (position < wrapSub32(table.get32(prop::LOWER_LIMIT), 50) && motor.cmdTorque < 0) {
    motor.cmdTorque = 0;
  }
}

// Context: ISR, level 5 (PWM period).
void Motor::overCurrentFoldback() {
  const int16_t* property = property_;
  // First-order low-pass of the command, time constant 64 cycles.
  filteredCurrent_z =
      wrapAdd32(motor.cmdTorque, wrapSub32(filteredCurrent_z, filteredCurrent_z >> 6));
  filteredCurrent = static_cast<int16_t>(filteredCurrent_z >> 6);
  const int32_t level = property[prop::OVERCURRENT_LEVEL];
  const int32_t magnitude = filteredCurrent < 0 ? -filteredCurrent : filteredCurrent;
  if (magnitude < level) {
    overCurrentCounter = property[prop::OVERCURRENT_TIME] * 6;
  } else if (overCurrentCounter > 0) {
    overCurrentCounter = overCurrentCounter - 1;
  } else {
    const int32_t sign = filteredCurrent > 0 ? 1 : (filteredCurrent < 0 ? -1 : 0);
    motor.cmdTorque = static_cast<int16_t>(level * sign);
    overCurrentCounter = 0;
  }
}

// Context: ISR, level 5 (PWM period).
void Motor::overTemperature() {
  int16_t* property = property_;
  if (property[prop::OVERTEMP] == 0) {
    if (temperature_CheckOvertemp(&temp_threshold, property[prop::TEMPERATURE])) {
      property[prop::OVERTEMP] = 1;
      motor.cmdTorque = 0;
    }
  } else {
    // Latched until something else clears OVERTEMP.
    temperature_ClearOvertemp(&temp_threshold);
    motor.cmdTorque = 0;
  }
}

// Context: any.
uint8_t Motor::Motor_IsOvercurrentFault() const {
  // Before the control interrupt's first run (which arms the counter in phase 0) no current has
  // been commanded, so no fault is reported.
  if (isInitialized == 0) return 0;
  return overCurrentCounter <= 0 ? 1 : 0;
}

// ---- main-loop entry points -----------------------------------------------------------------

// Context: main loop.
void Motor::motorControl() {}

// Context: main loop (software-timer callback).
void Motor::motorWriteOffset() {
  int16_t* property = property_;
  property[prop::ELEC_OFFSET] =
      static_cast<int16_t>(remOrZero(property[prop::MECH_ANGLE], motor.ctsPerElecCycle));
  writeMode(MODE_IDLE);
  motor.findingOffset = false;
  node_.sermem.sermem_WriteBlock(2 * prop::ELEC_OFFSET,
                                 reinterpret_cast<const int8_t*>(&property[prop::ELEC_OFFSET]), 2);
}

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
void waitDone(Node& node) {
  node.drive.waitDone();
}
}  // namespace callbacks

}  // namespace tavrix
