// FTM1 as the 1 ms tick: counts the bus clock from 0 to its modulo and raises the overflow
// interrupt every (modulo + 1) clocks; the TU1 layer clears the flag and raises TI1_OnInterrupt.
#pragma once

#include <cstdint>

#include "firmware/platform/platform.hpp"
#include "sim/mcu/chip_core.hpp"

namespace tavrix::sim {

class TickTimer final : public platform::Ti1 {
 public:
  static constexpr uint16_t kDefaultModulo = 39999;  // 40 000 clocks: 1 ms

  explicit TickTimer(ChipCore& core) : core_(core) {}

  // Context: main loop.
  platform::LDD_TDeviceData* TI1_Init(platform::LDD_TUserData* UserDataPtr) override;
  // Counter and start value zeroed, the new modulo in force from now: the next overflow comes
  // (modulo + 1) clocks later. Before TI1_Init only the modulo is stored.
  void FTM1_SetModulo(uint16_t modulo) override;

  // Context: ISR, level 10.
  void isr();
  bool irqAsserted() const { return overflow_flag_; }

  void powerOnReset();

  // Observation.
  bool running() const { return running_; }
  uint16_t modulo() const { return modulo_; }
  SimTime period_clk() const { return SimTime{modulo_} + 1; }
  uint64_t overflows() const { return overflows_; }

 private:
  void scheduleOverflow();

  ChipCore& core_;
  platform::LDD_TUserData* user_data_ = nullptr;
  bool running_ = false;
  uint16_t modulo_ = kDefaultModulo;
  bool overflow_flag_ = false;
  EventId event_{};
  uint64_t overflows_ = 0;
};

}  // namespace tavrix::sim
