#include "sim/board/drive_board.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "firmware/control/temperature.hpp"

namespace tavrix::sim {
namespace {

using platform::AdcInputSet;
using platform::AdcUnit;

constexpr uint8_t kCurrentChannel = 7;
constexpr uint8_t kBusChannel = 6;
constexpr uint8_t kThermistorChannel = 16;
constexpr uint8_t kAuxChannel = 23;

constexpr std::array<platform::Pin, 6> kGatePins = {platform::pins::PTC1, platform::pins::PTC2,
                                                    platform::pins::PTC3, platform::pins::PTC4,
                                                    platform::Pin{3, 4},  platform::Pin{3, 5}};

double seconds(SimTime clk) {
  return static_cast<double>(clk) / static_cast<double>(kBusClockHz);
}

}  // namespace

DriveBoard::DriveBoard(const PlantParams& plant, const BoardParams& board)
    : plant_params_(plant), board_(board), plant_(plant), rng_(board.noise_seed) {
  // The thermistor's readings, ordered by the temperature the firmware's table gives them.
  for (int16_t counts = 0; counts <= static_cast<int16_t>(kAdcFullScale); ++counts) {
    const int16_t t = temperature_ConvertToDegC(counts);
    if (t != TEMPERATURE_INVALID) thermistor_.emplace_back(t, static_cast<uint16_t>(counts));
  }
  std::stable_sort(thermistor_.begin(), thermistor_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // Gate pins float until the node configures them: every switch off.
  for (GatePin& g : gates_) g = GatePin{};
  encoder_.setShaftAngleRad(plant_.shaftAngle() + encoderOffsetRad());
}

double DriveBoard::encoderOffsetRad() const {
  return board_.encoder_offset_counts * (2.0 * std::numbers::pi / RotorEncoder::kCountsPerRev);
}

void DriveBoard::attach(MotorTimerUnit& timer, GpioPorts& gpio, const EventQueue& clock) {
  gpio_ = &gpio;
  timer_ = &timer;
  readGatePins();
  timer.onPeriodStart([this](const PwmPeriod& p) { setPeriod(p); });
  gpio.onChange([this, &clock](platform::Pin pin) {
    if (std::find(kGatePins.begin(), kGatePins.end(), pin) == kGatePins.end()) return;
    advanceTo(clock.now());  // the old levels held until now
    readGatePins();
  });
  // A reset of the chip stops the timer and floats every pin.
  gpio.onReset([this, &clock] {
    advanceTo(clock.now());
    readGatePins();
    period_valid_ = false;
  });
}

void DriveBoard::readGatePins() {
  if (gpio_ == nullptr) return;
  for (size_t k = 0; k < 6; ++k) {
    const platform::Pin pin = kGatePins[k];
    gates_[k].pwm = gpio_->mux(pin) == kPwmFunction;
    const std::optional<bool> driven = gpio_->drivenLevel(pin);
    gates_[k].driven = driven.has_value();
    gates_[k].level = driven.value_or(true);
  }
}

void DriveBoard::setGatePins(const std::array<GatePin, 6>& pins) {
  gates_ = pins;
}

void DriveBoard::setPeriod(const PwmPeriod& period) {
  advanceTo(period.start_clk);
  if (period_valid_) {
    for (size_t k = 0; k < 3; ++k) {
      const SimTime end = std::min<SimTime>(now_clk_ - period_.start_clk, period_.period_clk);
      prev_active_at_end_[k] =
          end >= active_from_[k] && end <= active_to_[k] && active_from_[k] < active_to_[k];
    }
  }
  period_ = period;
  period_valid_ = true;
  const int32_t length = static_cast<int32_t>(period_.period_clk);
  for (size_t k = 0; k < 3; ++k) {
    // Matches of the pair's compare values: counts from the period's start value.
    const int32_t on = period_.compare[2 * k] - period_.start_value;
    const int32_t off = period_.compare[2 * k + 1] - period_.start_value;
    active_from_[k] = std::clamp(on, 0, length);
    active_to_[k] = std::clamp(off, 0, length);
    low_delayed_[k] = prev_active_at_end_[k];
  }
  edges_stale_ = true;  // sorted when a pin routed to the timer needs them
}

void DriveBoard::computeEdges() {
  edges_stale_ = false;
  const int32_t length = static_cast<int32_t>(period_.period_clk);
  edge_count_ = 0;
  for (size_t k = 0; k < 3; ++k) {
    for (int32_t e : {active_from_[k], active_from_[k] + static_cast<int32_t>(kDeadTime_clk),
                      active_to_[k], active_to_[k] + static_cast<int32_t>(kDeadTime_clk),
                      static_cast<int32_t>(kDeadTime_clk)}) {
      if (e > 0 && e < length) edges_[edge_count_++] = e;
    }
  }
  // A dozen values: insertion sort, dropping repeats.
  size_t n = 0;
  for (size_t k = 0; k < edge_count_; ++k) {
    const int32_t e = edges_[k];
    size_t at = n;
    while (at > 0 && edges_[at - 1] > e) --at;
    if (at > 0 && edges_[at - 1] == e) continue;
    for (size_t m = n; m > at; --m) edges_[m] = edges_[m - 1];
    edges_[at] = e;
    ++n;
  }
  edge_count_ = n;
}

bool DriveBoard::switchOn(size_t channel, SimTime rel) const {
  const GatePin& g = gates_[channel];
  if (!g.pwm) return g.driven && !g.level;  // active low
  // Timer not started (or stopped by a reset): outputs inactive.
  if (!period_valid_ || (timer_ != nullptr && !timer_->running())) return false;
  const size_t k = channel / 2;
  const SimTime a = active_from_[k];
  const SimTime b = active_to_[k];
  const bool pulse = a < b;
  if (channel % 2 == 0) return pulse && rel >= a + kDeadTime_clk && rel < b;
  const SimTime first = low_delayed_[k] ? kDeadTime_clk : 0;
  if (!pulse) return rel >= first;
  return (rel >= first && rel < a) || rel >= b + kDeadTime_clk;
}

LegStates DriveBoard::legsAt(SimTime t) const {
  const SimTime rel = t - period_.start_clk;
  LegStates legs{};
  for (size_t k = 0; k < 3; ++k) {
    const bool high = switchOn(2 * k, rel);
    const bool low = switchOn(2 * k + 1, rel);
    legs[k] = high && low ? LegState::kShort
              : high      ? LegState::kHigh
              : low       ? LegState::kLow
                          : LegState::kOff;
  }
  return legs;
}

void DriveBoard::advanceTo(SimTime t) {
  if (now_clk_ >= t) return;
  const bool timed = period_valid_ && std::any_of(gates_.begin(), gates_.end(),
                                                  [](const GatePin& g) { return g.pwm; });
  while (now_clk_ < t) {
    // The next edge after now in the period in force, or the target.
    SimTime until = t;
    if (timed) {
      if (edges_stale_) computeEdges();
      const SimTime rel = now_clk_ - period_.start_clk;
      const int32_t* begin = edges_.data();
      const int32_t* end = begin + edge_count_;
      const int32_t* next = std::upper_bound(begin, end, static_cast<int32_t>(rel));
      if (next != end) until = std::min(until, period_.start_clk + *next);
    }
    const LegStates legs = legsAt(now_clk_);
    for (size_t k = 0; k < 3; ++k) {
      const bool is_short = legs[k] == LegState::kShort;
      if (is_short && !in_short_[k]) ++shoot_through_count_;
      in_short_[k] = is_short;
    }
    plant_.step(legs, board_.bus_v, seconds(until - now_clk_));
    now_clk_ = until;
  }
}

double DriveBoard::dcLinkCurrent() const {
  const LegStates legs = legsAt(now_clk_);
  const std::array<double, 3> i = plant_.phaseCurrents();
  double sum = 0.0;
  for (size_t k = 0; k < 3; ++k) {
    const bool upper = legs[k] == LegState::kHigh || legs[k] == LegState::kShort ||
                       (legs[k] == LegState::kOff && i[k] < 0.0);
    if (upper) sum += i[k];
  }
  return sum;
}

double DriveBoard::noise(double sigma) {
  if (sigma <= 0.0) return 0.0;
  // Sum of four uniform numbers (splitmix64): near-normal, with the given deviation.
  double sum = 0.0;
  for (int n = 0; n < 4; ++n) {
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    sum += static_cast<double>(z >> 11) * 0x1.0p-53;
  }
  return (sum - 2.0) * std::sqrt(3.0) * sigma;
}

uint16_t DriveBoard::quantise(double counts) const {
  if (!(counts > 0.0)) return 0;  // also NaN
  const double r = std::floor(counts + 0.5);
  return r >= kAdcFullScale ? kAdcFullScale : static_cast<uint16_t>(r);
}

uint16_t DriveBoard::thermistorCounts(double temp_c) const {
  const double t256 = temp_c * 256.0;
  auto it = std::lower_bound(thermistor_.begin(), thermistor_.end(), t256,
                             [](const auto& entry, double v) { return entry.first < v; });
  if (it == thermistor_.end()) return thermistor_.back().second;
  if (it != thermistor_.begin() && t256 - (it - 1)->first < it->first - t256) --it;
  return it->second;
}

uint16_t DriveBoard::sample(AdcUnit unit, uint8_t channel, AdcInputSet set, SimTime at_clk) {
  advanceTo(at_clk);
  if (unit == AdcUnit::ADC0) {
    if (channel != kCurrentChannel || set != AdcInputSet::b) return 0;
    return quantise(board_.current_offset_counts + board_.current_counts_per_a * dcLinkCurrent() +
                    noise(board_.current_noise_counts));
  }
  switch (channel) {
    case kBusChannel:
      if (set != AdcInputSet::b) return 0;
      return quantise(board_.bus_v * board_.bus_counts_per_v + noise(board_.bus_noise_counts));
    case kThermistorChannel:
      return thermistorCounts(plant_.windingTemperature());
    case kAuxChannel:
      return board_.aux_counts;
    default:
      return 0;
  }
}

uint16_t DriveBoard::EncoderPort::transfer(uint16_t mosi, SimTime now) {
  board_.advanceTo(now);
  board_.encoder_.setShaftAngleRad(board_.plant_.shaftAngle() + board_.encoderOffsetRad());
  return board_.encoder_.transfer(mosi, now);
}

}  // namespace tavrix::sim
