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

// Legs that enter shoot-through: the bits set of a 3-bit mask.
constexpr uint8_t kEntered[8] = {0, 1, 1, 2, 1, 2, 2, 3};

constexpr double kSecondsPerClock = 1.0 / static_cast<double>(kBusClockHz);

double seconds(SimTime clk) {
  return static_cast<double>(clk) * kSecondsPerClock;
}

// The thermistor's readings, ordered by the temperature the firmware's table gives them: the
// same for every board, worked out once (a fuzz harness builds boards by the thousand).
const std::vector<std::pair<int16_t, uint16_t>>& thermistorReadings() {
  static const std::vector<std::pair<int16_t, uint16_t>> readings = [] {
    std::vector<std::pair<int16_t, uint16_t>> r;
    for (int16_t counts = 0; counts <= static_cast<int16_t>(kAdcFullScale); ++counts) {
      const int16_t t = temperature_ConvertToDegC(counts);
      if (t != TEMPERATURE_INVALID) r.emplace_back(t, static_cast<uint16_t>(counts));
    }
    std::stable_sort(r.begin(), r.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return r;
  }();
  return readings;
}

}  // namespace

DriveBoard::DriveBoard(const PlantParams& plant, const BoardParams& board)
    : plant_params_(plant),
      board_(board),
      plant_(plant),
      rng_(board.noise_seed),
      thermistor_(thermistorReadings()) {
  // Gate pins float until the node configures them: every switch off.
  for (GatePin& g : gates_) g = GatePin{};
  gatesChanged();
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
  // Only the gate pins: the firmware's timing probes change every control cycle.
  gpio.onChange(
      [this, &clock](platform::Pin) {
        advanceTo(clock.now());  // the old levels held until now
        readGatePins();
      },
      kGatePins);
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
  gatesChanged();
}

void DriveBoard::setGatePins(const std::array<GatePin, 6>& pins) {
  gates_ = pins;
  gatesChanged();
}

void DriveBoard::gatesChanged() {
  any_pwm_ = std::any_of(gates_.begin(), gates_.end(), [](const GatePin& g) { return g.pwm; });
  edges_stale_ = true;  // the legs between the edges follow the pins
  // With the timer's outputs inactive the legs follow the GPIO levels alone, at any instant.
  untimed_shorts_ = 0;
  for (size_t k = 0; k < 3; ++k) {
    const bool high = switchOn(2 * k, 0, false);
    const bool low = switchOn(2 * k + 1, 0, false);
    untimed_legs_[k] = high && low ? LegState::kShort
                       : high      ? LegState::kHigh
                       : low       ? LegState::kLow
                                   : LegState::kOff;
    if (high && low) untimed_shorts_ = static_cast<uint8_t>(untimed_shorts_ | (1u << k));
  }
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
  // The control loop changes its compare values once per control cycle, not every period:
  // a period like the last one keeps its edges and interval table.
  bool same = period_valid_ && period.period_clk == period_.period_clk;
  period_ = period;
  period_valid_ = true;
  const int32_t length = static_cast<int32_t>(period_.period_clk);
  for (size_t k = 0; k < 3; ++k) {
    // Matches of the pair's compare values: counts from the period's start value.
    const int32_t on = period_.compare[2 * k] - period_.start_value;
    const int32_t off = period_.compare[2 * k + 1] - period_.start_value;
    const int32_t from = std::clamp(on, 0, length);
    const int32_t to = std::clamp(off, 0, length);
    same = same && from == active_from_[k] && to == active_to_[k] &&
           low_delayed_[k] == prev_active_at_end_[k];
    active_from_[k] = from;
    active_to_[k] = to;
    low_delayed_[k] = prev_active_at_end_[k];
  }
  if (!same) edges_stale_ = true;  // sorted when a pin routed to the timer needs them
  cursor_ = 0;
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

  // Between two edges no switch changes: the legs of each interval, once (the switches as
  // switchOn() has them with the timer running).
  interval_count_ = n + 1;
  bounds_[0] = 0;
  std::copy_n(edges_.begin(), n, bounds_.begin() + 1);
  shorts_.fill(0);
  for (size_t k = 0; k < 3; ++k) {
    const GatePin& hi = gates_[2 * k];
    const GatePin& lo = gates_[2 * k + 1];
    const int32_t a = active_from_[k];
    const int32_t b = active_to_[k];
    const int32_t dead = static_cast<int32_t>(kDeadTime_clk);
    const bool pulse = a < b;
    const int32_t first = low_delayed_[k] ? dead : 0;
    const bool hi_level = hi.driven && !hi.level;  // active low
    const bool lo_level = lo.driven && !lo.level;
    for (size_t i = 0; i < interval_count_; ++i) {
      const int32_t rel = bounds_[i];
      const bool high = hi.pwm ? pulse && rel >= a + dead && rel < b : hi_level;
      const bool low = !lo.pwm ? lo_level
                       : pulse ? (rel >= first && rel < a) || rel >= b + dead
                               : rel >= first;
      legs_[i][k] = high && low ? LegState::kShort
                    : high      ? LegState::kHigh
                    : low       ? LegState::kLow
                                : LegState::kOff;
      if (high && low) shorts_[i] = static_cast<uint8_t>(shorts_[i] | (1u << k));
    }
  }
  // An edge of one switch may leave every leg as it was (a dead time after a period start with
  // no pulse before it, a pulse of zero width): the plant need not stop there.
  size_t kept = 1;
  for (size_t i = 1; i < interval_count_; ++i) {
    if (legs_[i] == legs_[kept - 1] && shorts_[i] == shorts_[kept - 1]) continue;
    bounds_[kept] = bounds_[i];
    legs_[kept] = legs_[i];
    shorts_[kept] = shorts_[i];
    ++kept;
  }
  interval_count_ = kept;
  open_ = 0;
  for (size_t i = 0; i < interval_count_; ++i) {
    if (anyLegOpen(legs_[i])) open_ |= 1u << i;
  }
  cursor_ = 0;
}

size_t DriveBoard::intervalAt(int32_t rel) const {
  size_t i = bounds_[cursor_] <= rel ? cursor_ : 0;
  while (i + 1 < interval_count_ && bounds_[i + 1] <= rel) ++i;
  cursor_ = i;
  return i;
}

bool DriveBoard::switchOn(size_t channel, SimTime rel, bool timer_on) const {
  const GatePin& g = gates_[channel];
  if (!g.pwm) return g.driven && !g.level;  // active low
  // Timer not started (or stopped by a reset): outputs inactive.
  if (!timer_on) return false;
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
  const bool timer_on = timerOn();
  LegStates legs{};
  for (size_t k = 0; k < 3; ++k) {
    const bool high = switchOn(2 * k, rel, timer_on);
    const bool low = switchOn(2 * k + 1, rel, timer_on);
    legs[k] = high && low ? LegState::kShort
              : high      ? LegState::kHigh
              : low       ? LegState::kLow
                          : LegState::kOff;
  }
  return legs;
}

// Inlined into the stepping loop: it runs once per interval of a switching period.
[[gnu::always_inline]] inline void DriveBoard::mergeHeldIntervals(size_t& i, LegStates& legs,
                                                                  SimTime& until, SimTime t) {
  // A dead time whose diodes surely conduct throughout leaves each open leg where the switch of
  // the interval next to it holds it: such intervals are one circuit, taken as one step no
  // longer than the plant's longest (so no step's length limit changes). An open leg's diode
  // must conduct from now to the end of its interval.
  const SimTime limit = std::min(t, now_clk_ + kMergeSpan_clk);
  LegStates held = legs;
  if (until > limit || !plant_.diodeHeldLegs(held, board_.bus_v, seconds(until - now_clk_))) {
    return;
  }
  while (until < limit && i + 1 < interval_count_) {
    const SimTime end =
        i + 2 < interval_count_ ? std::min(limit, period_.start_clk + bounds_[i + 2]) : limit;
    LegStates next = legs_[i + 1];
    if (!plant_.diodeHeldLegs(next, board_.bus_v, seconds(end - now_clk_)) || next != held) break;
    ++i;
    cursor_ = i;
    until = end;
  }
  legs = held;
}

void DriveBoard::advanceTo(SimTime t) {
  if (now_clk_ >= t) return;
  const bool timed = period_valid_ && any_pwm_;
  if (!timed) {
    // The legs follow the GPIO levels alone (the idle bridge): one step to `t`.
    stepTo(t, untimed_legs_, untimed_shorts_);
    return;
  }
  if (edges_stale_) computeEdges();
  const bool table = timerOn();
  const SimTime length = period_.period_clk;
  while (now_clk_ < t) {
    // The next edge after now in the period in force, or the target; the legs until then.
    SimTime until = t;
    LegStates legs;
    uint8_t shorts;
    const SimTime rel = now_clk_ - period_.start_clk;
    if (table && rel >= 0 && rel < length) {
      size_t i = intervalAt(static_cast<int32_t>(rel));
      legs = legs_[i];
      shorts = shorts_[i];
      if (i + 1 < interval_count_) until = std::min(until, period_.start_clk + bounds_[i + 1]);
      // Only a dead time here, or one next that the step reaches, can merge.
      const bool open_here = (open_ >> i & 1u) != 0;
      const bool open_next = i + 1 < interval_count_ && (open_ >> (i + 1) & 1u) != 0;
      if (open_here || (open_next && until < t)) mergeHeldIntervals(i, legs, until, t);
    } else {
      const int32_t* begin = edges_.data();
      const int32_t* end = begin + edge_count_;
      const int32_t* next = std::upper_bound(begin, end, static_cast<int32_t>(rel));
      if (next != end) until = std::min(until, period_.start_clk + *next);
      if (!table) {
        legs = untimed_legs_;
        shorts = untimed_shorts_;
      } else {
        legs = legsAt(now_clk_);
        shorts = 0;
        for (size_t k = 0; k < 3; ++k) {
          if (legs[k] == LegState::kShort) shorts = static_cast<uint8_t>(shorts | (1u << k));
        }
      }
    }
    stepTo(until, legs, shorts);
  }
}

// Holds `legs` (with the phases in `shorts` shorted) from now until `until`, counting the legs
// that enter a shoot-through.
void DriveBoard::stepTo(SimTime until, const LegStates& legs, uint8_t shorts) {
  shoot_through_count_ += kEntered[shorts & ~in_short_ & 7u];
  in_short_ = shorts;
  plant_.step(legs, board_.bus_v, seconds(until - now_clk_));
  now_clk_ = until;
}

LegStates DriveBoard::legsNow() const {
  if (!period_valid_ || !any_pwm_ || !timerOn()) return untimed_legs_;
  const SimTime rel = now_clk_ - period_.start_clk;
  if (edges_stale_ || rel < 0 || rel >= period_.period_clk) return legsAt(now_clk_);
  return legs_[intervalAt(static_cast<int32_t>(rel))];
}

double DriveBoard::dcLinkCurrent() const {
  const LegStates legs = legsNow();
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
