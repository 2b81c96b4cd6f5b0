#include "sim/mcu/motor_timer.hpp"

#include <algorithm>

namespace tavrix::sim {

using platform::AdcConversion;
using platform::AdcInputSet;
using platform::AdcUnit;

namespace {

constexpr uint8_t kChannelDisabled = 0x1F;  // power-on channel field: conversions off
constexpr uint8_t kCurrentSenseChannel = 7;
constexpr uint8_t kAux23Channel = 23;
constexpr uint8_t kBusVoltageChannel = 6;

int16_t moduloFrom(int16_t MODULO) {
  return static_cast<int16_t>(MODULO / 2 - 1);
}
int16_t startFrom(int16_t MODULO) {
  return static_cast<int16_t>(-(MODULO / 2));
}

}  // namespace

MotorTimerUnit::MotorTimerUnit(ChipCore& core, AnalogSource* analog)
    : core_(core), analog_(analog) {
  powerOnReset();
}

void MotorTimerUnit::FTM0_Init(int16_t MODULO) {
  core_.countCall();
  modulo_ = moduloFrom(MODULO);
  start_ = startFrom(MODULO);
  sync_pending_ = false;
  load_ok_ = true;
  overflow_flag_ = false;

  pdb_enabled_ = false;
  pdb_delays_ = {};
  for (EventId& e : pretrigger_events_) core_.cancel(e);

  Adc& adc0 = adc_[idx(AdcUnit::ADC0)];
  adc0.channel = {kCurrentSenseChannel, kCurrentSenseChannel};
  adc0.set = AdcInputSet::b;
  adc0.interrupt = {true, true};
  Adc& adc1 = adc_[idx(AdcUnit::ADC1)];
  adc1.channel = {kAux23Channel, kBusVoltageChannel};
  adc1.set = AdcInputSet::a;
  adc1.interrupt = {true, true};

  Nvic& nvic = core_.nvic();
  for (const Irq irq : {Irq::kAdc0, Irq::kAdc1, Irq::kFtm0}) {
    nvic.clearPending(irq);
    nvic.setPriority(irq, irq == Irq::kFtm0 ? platform::kLevelPwm : platform::kLevelAdc);
    nvic.enable(irq, true);
  }

  initialised_ = true;
  running_ = true;
  period_.index = 0;
  startPeriod(false);
}

void MotorTimerUnit::FTM0_SetCompareValues(const int16_t values[6]) {
  core_.countCall();
  std::copy_n(values, 6, compare_buffer_.begin());
  load_ok_ = true;
}

void MotorTimerUnit::FTM0_RestartPeriod() {
  core_.countCall();
  if (!initialised_) return;  // no counter clock configured yet
  running_ = true;
  ++period_.index;
  startPeriod(false);
}

void MotorTimerUnit::FTM0_SetModulo(int16_t MODULO) {
  core_.countCall();
  next_modulo_ = moduloFrom(MODULO);
  next_start_ = startFrom(MODULO);
  sync_pending_ = true;
}

void MotorTimerUnit::FTM0_ClearOverflowFlag() {
  core_.countCall();
  overflow_flag_ = false;
}

void MotorTimerUnit::startPeriod(bool overflow) {
  core_.cancel(period_event_);
  if (sync_pending_) {
    modulo_ = next_modulo_;
    start_ = next_start_;
    sync_pending_ = false;
  }
  if (load_ok_) {
    period_.compare = compare_buffer_;
    load_ok_ = false;
  }
  period_.start_clk = core_.now();
  period_.modulo = modulo_;
  period_.start_value = start_;
  period_.period_clk = periodOf(modulo_, start_);
  if (period_observer_) period_observer_(period_);
  if (pdb_enabled_) startPdbSequence();
  if (overflow) {
    overflow_flag_ = true;
    core_.raise(Irq::kFtm0);
  }
  period_event_ = core_.scheduleAfter(period_.period_clk, [this] {
    period_event_ = EventId{};
    ++period_.index;
    startPeriod(true);
  });
}

void MotorTimerUnit::PDB0_SetDelaysAndArm(uint16_t adc0A, uint16_t adc0B, uint16_t adc1A,
                                          uint16_t adc1B) {
  core_.countCall();
  pdb_delays_ = {adc0A, adc0B, adc1A, adc1B};
  pdb_enabled_ = true;
}

void MotorTimerUnit::PDB0_Disarm() {
  core_.countCall();
  pdb_enabled_ = false;
}

void MotorTimerUnit::startPdbSequence() {
  static constexpr AdcUnit kUnit[4] = {AdcUnit::ADC0, AdcUnit::ADC0, AdcUnit::ADC1, AdcUnit::ADC1};
  static constexpr AdcConversion kConversion[4] = {AdcConversion::A, AdcConversion::B,
                                                   AdcConversion::A, AdcConversion::B};
  for (EventId& e : pretrigger_events_) core_.cancel(e);
  for (size_t i = 0; i < 4; ++i) {
    // A pre-trigger only starts (or queues) a conversion: nothing the node reads changes before
    // the conversion's completion, which wakes it.
    pretrigger_events_[i] = core_.scheduleInternalAfter(pdb_delays_[i], [this, i] {
      pretrigger_events_[i] = EventId{};
      trigger(kUnit[i], kConversion[i]);
    });
  }
}

void MotorTimerUnit::trigger(AdcUnit unit, AdcConversion conversion) {
  Adc& a = adc_[idx(unit)];
  if (a.busy) {
    a.waiting.push_back(conversion);
    return;
  }
  startConversion(unit, conversion);
}

void MotorTimerUnit::startConversion(AdcUnit unit, AdcConversion conversion) {
  Adc& a = adc_[idx(unit)];
  const size_t c = idx(conversion);
  a.busy = true;
  ++a.started[c];
  const uint16_t raw =
      analog_ != nullptr ? analog_->sample(unit, a.channel[c], a.set, core_.now()) : 0;
  const uint16_t value = std::min(raw, kAdcFullScale);
  a.event = core_.scheduleAfter(kConversion_clk, [this, unit, c, value] {
    Adc& adc = adc_[idx(unit)];
    adc.event = EventId{};
    adc.result[c] = value;
    adc.complete[c] = true;
    ++adc.completed[c];
    if (adc.interrupt[c]) core_.raise(adcIrq(unit));
    if (adc.waiting.empty()) {
      adc.busy = false;
      return;
    }
    // The waiting conversion starts as an event of its own, after this completion's handler
    // has run (it may switch the input set for it).
    const AdcConversion next = adc.waiting.front();
    adc.waiting.pop_front();
    adc.event =
        core_.scheduleInternalAfter(0, [this, unit, next] { startConversion(unit, next); });
  });
}

void MotorTimerUnit::ADC1_SelectChannels(uint8_t channelA, uint8_t channelB) {
  core_.countCall();
  Adc& a = adc_[idx(AdcUnit::ADC1)];
  a.channel = {channelA, channelB};
  a.interrupt = {true, true};
}

void MotorTimerUnit::ADC1_SelectInputSet(AdcInputSet set) {
  core_.countCall();
  adc_[idx(AdcUnit::ADC1)].set = set;
}

uint16_t MotorTimerUnit::ADC1_ReadOnDemand() {
  core_.countCall();
  Adc& a = adc_[idx(AdcUnit::ADC1)];
  const size_t c = idx(AdcConversion::A);
  a.channel[c] = kBusVoltageChannel;
  a.interrupt[c] = false;
  a.set = AdcInputSet::b;
  const uint64_t started_before = a.started[c];
  while (a.completed[c] <= started_before) core_.cpu().Cpu_Relax();
  a.complete[c] = false;
  return a.result[c];
}

bool MotorTimerUnit::ADC_IsComplete(AdcUnit unit, AdcConversion conversion) {
  core_.countCall();
  return adc_[idx(unit)].complete[idx(conversion)];
}

uint16_t MotorTimerUnit::ADC_ReadResult(AdcUnit unit, AdcConversion conversion) {
  core_.countCall();
  Adc& a = adc_[idx(unit)];
  a.complete[idx(conversion)] = false;
  return a.result[idx(conversion)];
}

void MotorTimerUnit::ftm0Isr() {
  core_.app()->FTM0_Interrupt();
}

void MotorTimerUnit::adcIsr(AdcUnit unit) {
  if (unit == AdcUnit::ADC0) {
    core_.app()->AD2_OnMeasurementComplete(nullptr);
  } else {
    core_.app()->AD1_OnMeasurementComplete(nullptr);
  }
}

bool MotorTimerUnit::adcIrqAsserted(AdcUnit unit) const {
  const Adc& a = adc_[idx(unit)];
  return (a.complete[0] && a.interrupt[0]) || (a.complete[1] && a.interrupt[1]);
}

uint8_t MotorTimerUnit::adcChannel(AdcUnit unit, AdcConversion conversion) const {
  return adc_[idx(unit)].channel[idx(conversion)];
}

bool MotorTimerUnit::adcInterruptEnabled(AdcUnit unit, AdcConversion conversion) const {
  return adc_[idx(unit)].interrupt[idx(conversion)];
}

AdcInputSet MotorTimerUnit::adcInputSet(AdcUnit unit) const {
  return adc_[idx(unit)].set;
}

uint64_t MotorTimerUnit::conversionsCompleted(AdcUnit unit, AdcConversion conversion) const {
  return adc_[idx(unit)].completed[idx(conversion)];
}

void MotorTimerUnit::powerOnReset() {
  core_.cancel(period_event_);
  for (EventId& e : pretrigger_events_) core_.cancel(e);
  for (Adc& a : adc_) core_.cancel(a.event);
  initialised_ = false;
  running_ = false;
  modulo_ = 0;
  start_ = 0;
  sync_pending_ = false;
  next_modulo_ = 0;
  next_start_ = 0;
  compare_buffer_ = {};
  load_ok_ = false;
  overflow_flag_ = false;
  period_ = PwmPeriod{};
  pdb_enabled_ = false;
  pdb_delays_ = {};
  adc_ = {};
  for (Adc& a : adc_) a.channel = {kChannelDisabled, kChannelDisabled};
}

}  // namespace tavrix::sim
