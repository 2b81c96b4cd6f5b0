// The torque a node's motor may produce under its torque limits, for the soak and the motor
// fuzz harness, which both watch the plant while hosts command the node.
//
// The torque command is clamped to the smaller of TORQUE_LIMIT and TORQUE_MAX (while homing,
// HOME_TORQUE replaces it); one unit is 2^18 in the Q31 q-current request, a quarter ADC count of
// the DC-link sensor. How closely the q current follows the request: while the sampling windows
// are withheld, 50 control cycles in 51 run the current loop on the observer's estimates, and the
// observer's model knows nothing of a hard stop or a load. A motor stalled against a stop with a
// torque request is, to the model, accelerating: the real current wanders up to 2.5 times the
// request (5.4 A for a request of 2.15 A; 1.4 times at 0.32 A, 1.2 times at 5 A, where the bus
// voltage runs out), pulled back at each trusted sample. So the bound is 2.6 times the request
// plus 0.4 A of noise. After a large step of the request at speed the
// current rings at about 700 Hz with up to half the step, gone within 5 ms (a drop from 4 A to 0
// at 100 rad/s rings at 1.4 A), so the limit taken is the largest of the last 10 ms. On top of
// that the back-EMF drives current that no loop commands (the idle bridge shorts the windings; a
// driven bridge rejects it only within the loop's bandwidth): at most back-EMF / R, taken at the
// highest speed of the last 10 ms, since a shaft stopped dead by a stop changes its back-EMF
// faster than the loop and the observer follow (0.75 A of ringing with no request after a stop
// hit at 300 rad/s). The electromagnetic torque is at most 1.5 x pole pairs x flux linkage times
// the sum. A limit ignored altogether (5 A where 1 A is set), a sign error or a runaway loop
// still break the bound.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "firmware/properties/property_table.hpp"
#include "sim/board/drive_board.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::soak {

// The largest value seen over the last `Buckets` milliseconds of simulated time.
template <size_t Buckets>
class RecentMax {
 public:
  double update(sim::SimTime now, double value) {
    const int64_t ms = now / sim::kClocksPerMs;
    if (ms != last_) {
      for (int64_t m = std::max(last_ + 1, ms - static_cast<int64_t>(Buckets) + 1); m <= ms; ++m) {
        bucket_[static_cast<size_t>(m) % Buckets] = 0.0;
      }
      last_ = ms;
    }
    double& b = bucket_[static_cast<size_t>(ms) % Buckets];
    b = std::max(b, value);
    return *std::max_element(bucket_.begin(), bucket_.end());
  }

 private:
  std::array<double, Buckets> bucket_{};
  int64_t last_ = -1;
};

class TorqueBound {
 public:
  static constexpr double kOvershoot = 2.6;
  static constexpr double kMarginA = 0.4;

  explicit TorqueBound(const sim::DriveBoard& drive) {
    const sim::MotorParams& m = drive.plant().params().motor;
    torquePerA_ = 1.5 * m.pole_pairs * m.flux_linkage_wb;
    backEmfPerRadS_ = m.pole_pairs * m.flux_linkage_wb;
    ampsPerUnit_ = 2048.0 / drive.params().current_counts_per_a / 8192.0;
  }

  // The torque limit in force, in torque units: the smaller of TORQUE_LIMIT and TORQUE_MAX (its
  // magnitude: a negative limit clamps to its own value), or `homeTorque` if larger, the largest
  // HOME_TORQUE a homing that may be running was started or continued with (0 when none).
  static int32_t limitUnits(const int16_t* property, int32_t homeTorque) {
    const int32_t limit = std::abs(
        static_cast<int32_t>(std::min(property[prop::TORQUE_LIMIT], property[prop::TORQUE_MAX])));
    return std::max(limit, homeTorque);
  }

  // Takes the limit and the plant's speed at `now` (the plant advanced to it); returns the
  // bound on the magnitude of the electromagnetic torque, N m.
  double update(sim::SimTime now, int32_t limitUnits, const sim::Pmsm& plant) {
    lastLimit_ = recentLimit_.update(now, limitUnits);
    const double speed = recentSpeed_.update(now, std::fabs(plant.shaftVelocity()));
    lastAmps_ = kOvershoot * lastLimit_ * ampsPerUnit_ + kMarginA +
                speed * backEmfPerRadS_ / plant.resistanceNow();
    return torquePerA_ * lastAmps_;
  }

  // The limit and the current of the last update, for a report.
  double lastLimitUnits() const { return lastLimit_; }
  double lastAmps() const { return lastAmps_; }

 private:
  double torquePerA_ = 0.0;
  double backEmfPerRadS_ = 0.0;
  double ampsPerUnit_ = 0.0;
  RecentMax<10> recentLimit_;
  RecentMax<10> recentSpeed_;
  double lastLimit_ = 0.0;
  double lastAmps_ = 0.0;
};

}  // namespace tavrix::soak
