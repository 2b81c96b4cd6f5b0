// The power side of the drive board around the motor: the three-phase bridge behind the gate
// pins, the DC-link current sensor, the bus-voltage divider, the thermistor, the auxiliary analog
// input and the rotor encoder's shaft, all driven by one plant (sim/plant).
//
// Bridge. Each phase is a leg of two switches; the gate driver's inputs are active low. The
// high side of phase k follows pin 2k (FTM0 channel 2k: PTC1, PTC3, PTD4), the low side pin
// 2k+1 (PTC2, PTC4, PTD5). With a pin in its timer function (multiplexer 4) the combined,
// complementary channel pair drives it: the pair's output is active between the even channel's
// and the odd channel's compare match, the high side switches on kDeadTime_clk after the
// output goes active and the low side kDeadTime_clk after it goes inactive. With a pin a GPIO
// output its latch drives it (low = switch on); otherwise it floats and the driver's pull-up
// keeps the switch off. Idle levels (even pins high, odd pins low) turn every low side on: the
// phases are shorted, which brakes a turning motor. Both switches of a leg on at once is a
// shoot-through: it is counted (the bridge would be destroyed), and the leg is taken as half
// the bus voltage.
//
// Plant integration. The plant is advanced lazily: up to the instant anything observes it (a
// conversion, an encoder frame, a period start, a change of a gate pin), in steps between the
// switching edges of the period in force, so each observation sees the currents of its instant.
//
// DC-link sensor (ADC0 channel 7, input set b): at the conversion's sampling instant, the sum
// of the currents of the phases whose high side conducts (its switch, or its diode when the
// leg is off and the current flows back into the bus), times the gain, plus an offset near
// mid-scale and seeded noise, rounded and clipped to 12 bits. Other inputs: ADC1 channel 6
// input set b the bus-voltage divider, channel 16 the thermistor (its reading converts, through
// the firmware's own table, to the winding temperature), channel 23 a constant auxiliary signal.
// Anything else reads 0 (a wrong channel or input set reads the wrong pin).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/board/rotor_encoder.hpp"
#include "sim/mcu/analog_source.hpp"
#include "sim/mcu/gpio.hpp"
#include "sim/mcu/motor_timer.hpp"
#include "sim/mcu/spi_device.hpp"
#include "sim/plant/pmsm.hpp"

namespace tavrix::sim {

struct BoardParams {
  double bus_v = 24.0;
  double current_counts_per_a = 232.5;    // DC-link sensor gain
  double current_offset_counts = 2051.0;  // zero-current reading
  double current_noise_counts = 0.6;      // standard deviation
  double bus_counts_per_v = 100.0 / 4.5;  // divider: the filtered reading is in 10 mV
  double bus_noise_counts = 0.3;
  uint16_t aux_counts = 0;  // ADC1 channel 23
  // The encoder's reading with the shaft at angle 0 (where phase A's magnet flux peaks): how far
  // the encoder was turned when it was mounted.
  uint16_t encoder_offset_counts = 0;
  uint64_t noise_seed = 1;
};

class DriveBoard final : public AnalogSource {
 public:
  static constexpr SimTime kDeadTime_clk = 17;
  static constexpr uint8_t kPwmFunction = 4;
  // The longest span of intervals with the same circuit the plant takes as one step.
  static constexpr SimTime kMergeSpan_clk = 200;

  DriveBoard(const PlantParams& plant, const BoardParams& board);
  DriveBoard(const DriveBoard&) = delete;
  DriveBoard& operator=(const DriveBoard&) = delete;

  // Hooks the bridge to the chip's PWM timer (period observer) and gate pins (change observer),
  // and remembers the queue whose clock the encoder frames and pin changes happen at.
  void attach(MotorTimerUnit& timer, GpioPorts& gpio, const EventQueue& clock);

  // The rotor encoder on SPI1, reading the shaft at each frame.
  SpiDevice& encoderPort() { return encoder_port_; }
  RotorEncoder& encoder() { return encoder_; }

  // AnalogSource. Context: scheduler.
  uint16_t sample(platform::AdcUnit unit, uint8_t channel, platform::AdcInputSet set,
                  SimTime at_clk) override;

  // Integrates the plant up to `t` (never backwards).
  void advanceTo(SimTime t);

  // Observation and set-up.
  Pmsm& plant() { return plant_; }
  const Pmsm& plant() const { return plant_; }
  const BoardParams& params() const { return board_; }
  // Leg states at the plant's present instant.
  // Leg states at the plant's present instant, worked out from the pins (the period's table,
  // which the plant steps by, is checked against them).
  LegStates legStates() const { return legsAt(now_clk_); }
  // The DC-link current the sensor sees now, amperes.
  double dcLinkCurrent() const;
  // Entries into shoot-through, over all legs, since construction.
  uint64_t shootThroughCount() const { return shoot_through_count_; }
  SimTime plantTime() const { return now_clk_; }
  // The encoder's mounting offset as a shaft angle.
  double encoderOffsetRad() const;
  // Thermistor reading for a winding temperature.
  uint16_t thermistorCounts(double temp_c) const;

  // The bridge outside a chip (tests): the period in force and the gate pins' routing.
  void setPeriod(const PwmPeriod& period);
  struct GatePin {
    bool pwm = false;     // routed to the timer
    bool driven = false;  // a GPIO output
    bool level = true;    // its latch
  };
  void setGatePins(const std::array<GatePin, 6>& pins);

 private:
  class EncoderPort final : public SpiDevice {
   public:
    explicit EncoderPort(DriveBoard& board) : board_(board) {}
    void select(SimTime now) override { board_.encoder_.select(now); }
    uint16_t transfer(uint16_t mosi, SimTime now) override;
    void deselect(SimTime now) override { board_.encoder_.deselect(now); }

   private:
    DriveBoard& board_;
  };

  // Whether the switch on gate pin `channel` conducts at `rel` clocks into the period in force,
  // with the timer's outputs enabled (`timer_on`) or not.
  bool switchOn(size_t channel, SimTime rel, bool timer_on) const;
  bool timerOn() const { return period_valid_ && (timer_ == nullptr || timer_->running()); }
  LegStates legsAt(SimTime t) const;
  // The same at the plant's present instant, from the period's table where it holds.
  LegStates legsNow() const;
  // The switching instants of the period in force and the leg states between them.
  void computeEdges();
  // From interval `i` of the table at the plant's present instant, a step ending at `until`
  // (at most `t`): where the diodes of its dead times surely conduct, the step runs on through
  // the following intervals of the same circuit, `i` and `legs` following it.
  void mergeHeldIntervals(size_t& i, LegStates& legs, SimTime& until, SimTime t);
  void stepTo(SimTime until, const LegStates& legs, uint8_t shorts);
  // The interval of the period's table holding `rel` (in [0, period length)).
  size_t intervalAt(int32_t rel) const;
  void readGatePins();
  void gatesChanged();
  double noise(double sigma);
  uint16_t quantise(double counts) const;

  PlantParams plant_params_;
  BoardParams board_;
  Pmsm plant_;
  RotorEncoder encoder_;
  EncoderPort encoder_port_{*this};
  GpioPorts* gpio_ = nullptr;
  const MotorTimerUnit* timer_ = nullptr;

  SimTime now_clk_ = 0;
  bool period_valid_ = false;
  PwmPeriod period_{};
  bool prev_active_at_end_[3] = {false, false, false};
  std::array<int32_t, 3> active_from_{};  // the pair's output, relative to the period start
  std::array<int32_t, 3> active_to_{};
  std::array<bool, 3> low_delayed_{};  // the low side waits a dead time after a period start
  std::array<int32_t, 15> edges_{};    // switching instants in the period, relative, sorted
  size_t edge_count_ = 0;
  bool edges_stale_ = false;
  // The period cut at its edges, with the timer running: interval i starts at bounds_[i]
  // (bounds_[0] = 0, then the edges) and holds legs_[i] up to the next bound; shorts_[i] has
  // bit k set when leg k is in shoot-through. Built with the edges, once per period and gate
  // routing, so a step looks its legs up instead of working them out from the pins.
  std::array<int32_t, 16> bounds_{};
  std::array<LegStates, 16> legs_{};
  std::array<uint8_t, 16> shorts_{};
  size_t interval_count_ = 0;
  uint32_t open_ = 0;  // bit i: some leg of interval i has neither switch on
  // The interval of the last lookup (a cache): steps go forward through the period.
  mutable size_t cursor_ = 0;
  std::array<GatePin, 6> gates_{};
  bool any_pwm_ = false;      // some gate pin routed to the timer
  LegStates untimed_legs_{};  // the legs while the timer's outputs are inactive
  uint8_t untimed_shorts_ = 0;
  uint8_t in_short_ = 0;  // bit k: leg k was in shoot-through at the last step
  uint64_t shoot_through_count_ = 0;
  uint64_t rng_;
  // (temperature, reading), sorted; shared by every board.
  const std::vector<std::pair<int16_t, uint16_t>>& thermistor_;
};

}  // namespace tavrix::sim
