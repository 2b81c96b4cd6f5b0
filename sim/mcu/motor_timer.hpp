// The motor-drive timers: the PWM timer FTM0, the delay block PDB0 and the converters ADC0/ADC1.
//
// FTM0 counts from its start value to its modulo; a period lasts ((modulo - start) mod 2^16) + 1
// clocks, as its 16-bit counter wraps (MODULO 1000 and 1001 both give modulo 499, start -500,
// 1000 clocks). Each period start reloads the counter: modulo and start value of an earlier
// FTM0_SetModulo and compare values of an earlier FTM0_SetCompareValues come into force there,
// the period observer sees them, PDB0 is triggered and (from the second period on) the overflow
// flag is set with the level-5 interrupt. FTM0_Init and FTM0_RestartPeriod begin a period at
// once, without an overflow.
//
// PDB0, while armed, starts a sequence at each period start: its four pre-triggers fire at their
// delays after that instant (ADC0 A and B on channel 0, ADC1 A and B on channel 1; equal delays
// in that order). Arming takes effect at the next period start, so the sequence falls in the
// period after the arming one; disarming stops further sequences but lets the running one finish,
// so each arming that is disarmed by its own ADC0 B completion yields exactly one set of four
// conversions. A new sequence drops pre-triggers the previous one has not fired yet.
//
// Each converter runs one conversion at a time, kConversion_clk long, sampling its input at the
// start; a trigger that finds it busy waits and starts when the running conversion ends (after
// that completion's interrupt has run). A completion stores the result, sets the complete flag
// and, with its interrupt enabled, requests the level-3 interrupt, which stays requested while
// an enabled flag remains set (the handler reads one result per call).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>

#include "firmware/platform/platform.hpp"
#include "sim/mcu/analog_source.hpp"
#include "sim/mcu/chip_core.hpp"

namespace tavrix::sim {

// One PWM period as the bridge sees it.
struct PwmPeriod {
  uint64_t index = 0;  // periods since FTM0_Init
  SimTime start_clk = 0;
  SimTime period_clk = 0;
  int16_t modulo = 0;
  int16_t start_value = 0;
  std::array<int16_t, 6> compare{};  // channels 0..5 in force for this period
};

class MotorTimerUnit final : public platform::MotorTimer {
 public:
  // About 25 ADC clocks at 20 MHz: a short-sample, high-speed 12-bit conversion.
  static constexpr SimTime kConversion_clk = 50;

  MotorTimerUnit(ChipCore& core, AnalogSource* analog);

  void setAnalogSource(AnalogSource* analog) { analog_ = analog; }
  // Called at every period start with the period's values: in scheduler context, or inside the
  // node's FTM0_Init / FTM0_RestartPeriod call for the periods those begin.
  void onPeriodStart(std::function<void(const PwmPeriod&)> observer) {
    period_observer_ = std::move(observer);
  }

  // Context: main loop (FTM0_Init, FTM0_SetModulo, ADC1_ReadOnDemand) and control interrupt.
  void FTM0_Init(int16_t MODULO) override;
  void FTM0_SetCompareValues(const int16_t values[6]) override;
  void FTM0_RestartPeriod() override;
  void FTM0_SetModulo(int16_t MODULO) override;
  void FTM0_ClearOverflowFlag() override;
  void PDB0_SetDelaysAndArm(uint16_t adc0A, uint16_t adc0B, uint16_t adc1A,
                            uint16_t adc1B) override;
  void PDB0_Disarm() override;
  void ADC1_SelectChannels(uint8_t channelA, uint8_t channelB) override;
  void ADC1_SelectInputSet(platform::AdcInputSet set) override;
  // Waits, relaxing, until an ADC1 conversion A started after the call has completed (the next
  // hardware trigger), then returns its result. Every conversion A counts, whatever another
  // context selects meanwhile, so the wait ends with the next triggered sample.
  uint16_t ADC1_ReadOnDemand() override;
  bool ADC_IsComplete(platform::AdcUnit unit, platform::AdcConversion conversion) override;
  uint16_t ADC_ReadResult(platform::AdcUnit unit, platform::AdcConversion conversion) override;

  // Context: ISR, level 5 / level 3.
  void ftm0Isr();
  bool ftm0IrqAsserted() const { return running_ && overflow_flag_; }
  void adcIsr(platform::AdcUnit unit);
  bool adcIrqAsserted(platform::AdcUnit unit) const;

  void powerOnReset();

  // Observation.
  bool running() const { return running_; }
  const PwmPeriod& currentPeriod() const { return period_; }
  int16_t moduloRegister() const { return modulo_; }
  int16_t startRegister() const { return start_; }
  static SimTime periodOf(int16_t modulo, int16_t start) {
    return SimTime{static_cast<uint16_t>(modulo - start)} + 1;
  }
  bool pdbArmed() const { return pdb_enabled_; }
  const std::array<uint16_t, 4>& pdbDelays() const { return pdb_delays_; }
  uint8_t adcChannel(platform::AdcUnit unit, platform::AdcConversion conversion) const;
  bool adcInterruptEnabled(platform::AdcUnit unit, platform::AdcConversion conversion) const;
  platform::AdcInputSet adcInputSet(platform::AdcUnit unit) const;
  uint64_t conversionsCompleted(platform::AdcUnit unit, platform::AdcConversion conversion) const;

 private:
  struct Adc {
    std::array<uint8_t, 2> channel{};
    std::array<bool, 2> interrupt{};
    platform::AdcInputSet set = platform::AdcInputSet::a;
    std::array<bool, 2> complete{};
    std::array<uint16_t, 2> result{};
    std::array<uint64_t, 2> started{};
    std::array<uint64_t, 2> completed{};
    bool busy = false;
    std::deque<platform::AdcConversion> waiting;
    EventId event{};
  };
  static size_t idx(platform::AdcUnit unit) { return static_cast<size_t>(unit); }
  static size_t idx(platform::AdcConversion c) { return static_cast<size_t>(c); }

  void startPeriod(bool overflow);
  void schedulePeriodEnd();
  void startPdbSequence();
  void trigger(platform::AdcUnit unit, platform::AdcConversion conversion);
  void startConversion(platform::AdcUnit unit, platform::AdcConversion conversion);
  Irq adcIrq(platform::AdcUnit unit) const {
    return unit == platform::AdcUnit::ADC0 ? Irq::kAdc0 : Irq::kAdc1;
  }

  ChipCore& core_;
  AnalogSource* analog_;
  std::function<void(const PwmPeriod&)> period_observer_;

  // FTM0.
  bool initialised_ = false;
  bool running_ = false;
  int16_t modulo_ = 0;
  int16_t start_ = 0;
  bool sync_pending_ = false;  // modulo and start value wait for the next period start
  int16_t next_modulo_ = 0;
  int16_t next_start_ = 0;
  std::array<int16_t, 6> compare_buffer_{};
  bool load_ok_ = false;
  bool overflow_flag_ = false;
  PwmPeriod period_{};
  EventId period_event_{};

  // PDB0.
  bool pdb_enabled_ = false;
  std::array<uint16_t, 4> pdb_delays_{};
  std::array<EventId, 4> pretrigger_events_{};

  std::array<Adc, 2> adc_{};
};

}  // namespace tavrix::sim
