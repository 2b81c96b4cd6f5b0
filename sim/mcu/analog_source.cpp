#include "sim/mcu/analog_source.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace tavrix::sim {

uint16_t ConstantAnalogSource::sample(platform::AdcUnit unit, uint8_t channel,
                                      platform::AdcInputSet set, SimTime) {
  const auto it = values_.find(Key{unit, channel, set});
  return it == values_.end() ? default_ : it->second;
}

void ScriptedAnalogSource::addStep(platform::AdcUnit unit, uint8_t channel,
                                   platform::AdcInputSet set, SimTime from_clk, uint16_t value) {
  Input& input = inputs_.try_emplace(Key{unit, channel, set}, Input{default_, {}}).first->second;
  if (!input.steps.empty() && input.steps.back().first > from_clk) {
    throw std::invalid_argument("analog steps out of time order");
  }
  input.steps.emplace_back(from_clk, value);
}

void ScriptedAnalogSource::setInitial(platform::AdcUnit unit, uint8_t channel,
                                      platform::AdcInputSet set, uint16_t value) {
  inputs_.try_emplace(Key{unit, channel, set}, Input{default_, {}}).first->second.initial = value;
}

uint16_t ScriptedAnalogSource::sample(platform::AdcUnit unit, uint8_t channel,
                                      platform::AdcInputSet set, SimTime at_clk) {
  const auto it = inputs_.find(Key{unit, channel, set});
  if (it == inputs_.end()) return default_;
  const auto& steps = it->second.steps;
  // The last step at or before the instant.
  const auto after = std::upper_bound(
      steps.begin(), steps.end(), at_clk,
      [](SimTime t, const std::pair<SimTime, uint16_t>& step) { return t < step.first; });
  return after == steps.begin() ? it->second.initial : std::prev(after)->second;
}

}  // namespace tavrix::sim
