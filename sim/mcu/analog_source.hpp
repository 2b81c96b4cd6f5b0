// Where the simulated converters get their input voltages: one 12-bit value per converter,
// channel and input set at the sampling instant. The board and motor models plug in here.
#pragma once

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "firmware/platform/platform.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

inline constexpr uint16_t kAdcFullScale = 4095;

class AnalogSource {
 public:
  virtual ~AnalogSource() = default;
  // The conversion result (values above 4095 are clipped by the converter) of `channel` of
  // `unit`, with input set `set` selected, sampled at `at_clk`. Context: scheduler.
  virtual uint16_t sample(platform::AdcUnit unit, uint8_t channel, platform::AdcInputSet set,
                          SimTime at_clk) = 0;
};

// One value everywhere, optionally another for single inputs.
class ConstantAnalogSource final : public AnalogSource {
 public:
  explicit ConstantAnalogSource(uint16_t value = 0) : default_(value) {}
  void set(uint16_t value) { default_ = value; }
  void set(platform::AdcUnit unit, uint8_t channel, platform::AdcInputSet set, uint16_t value) {
    values_[Key{unit, channel, set}] = value;
  }
  uint16_t sample(platform::AdcUnit unit, uint8_t channel, platform::AdcInputSet set,
                  SimTime at_clk) override;

 private:
  using Key = std::tuple<platform::AdcUnit, uint8_t, platform::AdcInputSet>;
  uint16_t default_;
  std::map<Key, uint16_t> values_;
};

// Step functions of time per input: each input holds the value of its latest step at or before
// the sampling instant, and `initial` before its first step. Inputs without steps read the
// default.
class ScriptedAnalogSource final : public AnalogSource {
 public:
  explicit ScriptedAnalogSource(uint16_t default_value = 0) : default_(default_value) {}
  // Steps of one input must be added in time order.
  void addStep(platform::AdcUnit unit, uint8_t channel, platform::AdcInputSet set, SimTime from_clk,
               uint16_t value);
  void setInitial(platform::AdcUnit unit, uint8_t channel, platform::AdcInputSet set,
                  uint16_t value);
  uint16_t sample(platform::AdcUnit unit, uint8_t channel, platform::AdcInputSet set,
                  SimTime at_clk) override;

 private:
  using Key = std::tuple<platform::AdcUnit, uint8_t, platform::AdcInputSet>;
  struct Input {
    uint16_t initial;
    std::vector<std::pair<SimTime, uint16_t>> steps;
  };
  uint16_t default_;
  std::map<Key, Input> inputs_;
};

}  // namespace tavrix::sim
