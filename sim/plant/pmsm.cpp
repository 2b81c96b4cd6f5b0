#include "sim/plant/pmsm.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace tavrix::sim {
namespace {

constexpr double kSqrt3 = std::numbers::sqrt3;
// Below this a phase current counts as zero: its leg's diodes block and an open leg floats.
constexpr double kZeroCurrent_a = 1e-6;
// Rotation by small angles drifts off the unit circle by rounding; an exact sine and cosine
// every so many steps bounds it.
constexpr uint32_t kResyncSteps = 64;

// exp(-x). Steps are short against the winding's time constant, where five terms of the series
// are exact to double precision's last bits and much cheaper than the library call.
double decayOver(double x) {
  if (x > 0.02) return std::exp(-x);
  return 1.0 - x * (1.0 - x * (0.5 - x * (1.0 / 6.0 - x * (1.0 / 24.0 - x * (1.0 / 120.0)))));
}

double sign(double x) {
  return (x > 0.0) - (x < 0.0);
}

}  // namespace

Pmsm::Pmsm(const PlantParams& params) : params_(params) {
  angle_rad_ = params.axis.initial_angle_rad;
  winding_c_ = params.thermal.ambient_c;
  inv_inductance_ = 1.0 / params.motor.inductance_h;
  inv_inertia_ = 1.0 / params.motor.inertia_kgm2;
  inv_capacity_ = 1.0 / params.thermal.capacity_j_per_k;
  inv_thermal_resistance_ = 1.0 / params.thermal.resistance_k_per_w;
  holdResistance();
  syncAngle();
}

void Pmsm::holdResistance() {
  const MotorParams& m = params_.motor;
  r_ohm_ = m.resistance_ohm * (1.0 + m.resistance_tempco_per_k * (winding_c_ - 25.0));
  r_over_l_ = r_ohm_ * inv_inductance_;
  inv_r_ = 1.0 / r_ohm_;
}

double Pmsm::pendingRise() const {
  // Copper losses in, conduction to ambient out, over the time since the last update.
  const double ambient = params_.thermal.ambient_c;
  return (1.5 * r_ohm_ * loss_a2s_ -
          pending_s_ * (winding_c_ - ambient) * inv_thermal_resistance_) *
         inv_capacity_;
}

void Pmsm::updateTemperature() {
  setWindingTemperature(winding_c_ + pendingRise());
}

double Pmsm::windingTemperature() const {
  return winding_c_ + pendingRise();
}

void Pmsm::setWindingTemperature(double c) {
  winding_c_ = c;
  loss_a2s_ = 0.0;
  pending_s_ = 0.0;
  holdResistance();
}

void Pmsm::syncAngle() {
  const double e = params_.motor.pole_pairs * angle_rad_;
  cos_e_ = std::cos(e);
  sin_e_ = std::sin(e);
  steps_since_sync_ = 0;
}

void Pmsm::setShaft(double angle_rad, double velocity_rad_s) {
  angle_rad_ = angle_rad;
  omega_rad_s_ = velocity_rad_s;
  syncAngle();
}

std::array<double, 3> Pmsm::phaseCurrents() const {
  const double a = i_alpha_;
  const double b = -0.5 * i_alpha_ + 0.5 * kSqrt3 * i_beta_;
  return {a, b, -a - b};
}

double Pmsm::currentD() const {
  return i_alpha_ * cos_e_ + i_beta_ * sin_e_;
}

double Pmsm::currentQ() const {
  return -i_alpha_ * sin_e_ + i_beta_ * cos_e_;
}

double Pmsm::electricalAngle() const {
  return std::atan2(sin_e_, cos_e_);
}

double Pmsm::torque() const {
  return 1.5 * params_.motor.pole_pairs * params_.motor.flux_linkage_wb * currentQ();
}

bool Pmsm::quiescent(const LegStates& legs) const {
  if (i_alpha_ != 0.0 || i_beta_ != 0.0 || omega_rad_s_ != 0.0) return false;
  // Equal legs put no voltage across the windings.
  if (legs[0] != legs[1] || legs[1] != legs[2] || legs[0] == LegState::kShort) return false;
  const AxisParams& ax = params_.axis;
  if (angle_rad_ < ax.lower_stop_rad || angle_rad_ > ax.upper_stop_rad) return false;
  return std::fabs(load_nm_) <= params_.motor.coulomb_nm;
}

void Pmsm::step(const LegStates& legs, double bus_v, double dt_s) {
  if (quiescent(legs)) {
    // Nothing moves and no current flows: only the winding cools, exactly.
    if (pending_s_ > 0.0) updateTemperature();
    const ThermalParams& th = params_.thermal;
    if (winding_c_ != th.ambient_c) {
      const double tau = th.resistance_k_per_w * th.capacity_j_per_k;
      winding_c_ = th.ambient_c + (winding_c_ - th.ambient_c) * decayOver(dt_s / tau);
      holdResistance();
    }
    return;
  }
  while (dt_s > 0.0) {
    const double h = std::min(dt_s, kMaxStep_s);
    subStep(legs, bus_v, h);
    dt_s -= h;
  }
}

// Some leg open: a conducting diode follows the current's sign; a leg with neither switch nor
// diode conducting floats at the voltage that keeps its current at zero.
void Pmsm::openLegsStep(const LegStates& legs, double bus_v, double e_alpha, double e_beta,
                        double decay, double gain) {
  const std::array<double, 3> emf = {e_alpha, -0.5 * e_alpha + 0.5 * kSqrt3 * e_beta,
                                     -0.5 * e_alpha - 0.5 * kSqrt3 * e_beta};
  const std::array<double, 3> i = phaseCurrents();
  std::array<double, 3> v{};
  std::array<bool, 3> floating{};
  std::array<bool, 3> diode{};
  double known_sum = 0.0;
  int floating_count = 0;
  for (size_t k = 0; k < 3; ++k) {
    switch (legs[k]) {
      case LegState::kHigh:
        v[k] = bus_v;
        break;
      case LegState::kLow:
        v[k] = 0.0;
        break;
      case LegState::kShort:
        v[k] = 0.5 * bus_v;
        break;
      case LegState::kOff:
        if (std::fabs(i[k]) > kZeroCurrent_a) {
          v[k] = i[k] > 0.0 ? 0.0 : bus_v;
          diode[k] = true;
        } else {
          floating[k] = true;
          ++floating_count;
        }
        break;
    }
    if (!floating[k]) known_sum += v[k];
  }

  if (floating_count == 3) {
    // Nothing conducts: no current flows, whatever the back-EMF (it stays below the bus).
    i_alpha_ = 0.0;
    i_beta_ = 0.0;
  } else {
    if (floating_count > 0) {
      double emf_sum = 0.0;
      for (size_t k = 0; k < 3; ++k) {
        if (floating[k]) emf_sum += emf[k];
      }
      const double neutral = (known_sum + emf_sum) / (3 - floating_count);
      for (size_t k = 0; k < 3; ++k) {
        if (floating[k]) v[k] = std::clamp(neutral + emf[k], 0.0, bus_v);
      }
    }
    const double v_alpha = (2.0 * v[0] - v[1] - v[2]) * (1.0 / 3.0);
    const double v_beta = (v[1] - v[2]) * (1.0 / kSqrt3);
    // Exact RL response to a constant voltage over the step.
    i_alpha_ = i_alpha_ * decay + (v_alpha - e_alpha) * gain;
    i_beta_ = i_beta_ * decay + (v_beta - e_beta) * gain;

    // A diode that would conduct backwards blocks: its current stops at zero. A floating leg
    // keeps zero current.
    const std::array<double, 3> after = phaseCurrents();
    for (size_t k = 0; k < 3; ++k) {
      const bool blocked = (diode[k] && sign(after[k]) != sign(i[k])) || floating[k];
      if (!blocked) continue;
      if (k == 0) {
        i_alpha_ = 0.0;
      } else if (k == 1) {
        i_beta_ = i_alpha_ / kSqrt3;
      } else {
        i_beta_ = -i_alpha_ / kSqrt3;
      }
    }
    // Two legs blocked leave no path at all.
    const std::array<double, 3> final_i = phaseCurrents();
    int zero = 0;
    for (double x : final_i) zero += std::fabs(x) <= kZeroCurrent_a;
    if (zero >= 2) {
      i_alpha_ = 0.0;
      i_beta_ = 0.0;
    }
  }
}

bool Pmsm::diodeHeldLegs(LegStates& legs, double bus_v, double horizon_s) const {
  if (!anyLegOpen(legs)) return true;
  // A bound on |di/dt| of a phase: a leg's voltage against the star point is at most two
  // thirds of the bus, the phase's back-EMF at most the flux linkage times the electrical
  // speed, and its resistive drop shrinks the current's distance from zero only by its own
  // share (counted in full).
  const MotorParams& m = params_.motor;
  const double emf = std::fabs(m.pole_pairs * omega_rad_s_ * m.flux_linkage_wb);
  const std::array<double, 3> i = phaseCurrents();
  for (size_t k = 0; k < 3; ++k) {
    if (legs[k] != LegState::kOff) continue;
    const double rate = (bus_v * (2.0 / 3.0) + emf + r_ohm_ * std::fabs(i[k])) * inv_inductance_;
    if (std::fabs(i[k]) <= rate * horizon_s + kZeroCurrent_a) return false;
    // Current into the motor flows up through the low side's diode: the leg sits at 0 V.
    legs[k] = i[k] > 0.0 ? LegState::kLow : LegState::kHigh;
  }
  return true;
}

const Pmsm::DrivenVoltage& Pmsm::drivenVoltage(const LegStates& legs, double bus_v) {
  const uint64_t bus_bits = std::bit_cast<uint64_t>(bus_v);
  if (bus_bits != driven_bus_bits_) {
    driven_known_ = 0;
    driven_bus_bits_ = bus_bits;
  }
  const unsigned code = static_cast<unsigned>(legs[0]) | static_cast<unsigned>(legs[1]) << 2 |
                        static_cast<unsigned>(legs[2]) << 4;
  DrivenVoltage& v = driven_[code];
  if ((driven_known_ >> code & 1u) == 0) {
    auto level = [bus_v](LegState s) {
      return s == LegState::kHigh ? bus_v : s == LegState::kShort ? 0.5 * bus_v : 0.0;
    };
    const double va = level(legs[0]), vb = level(legs[1]), vc = level(legs[2]);
    v.alpha = (2.0 * va - vb - vc) / 3.0;
    v.beta = (vb - vc) / kSqrt3;
    driven_known_ |= uint64_t{1} << code;
  }
  return v;
}

void Pmsm::subStep(const LegStates& legs, double bus_v, double h) {
  const MotorParams& m = params_.motor;
  const double p = m.pole_pairs;

  // Back-EMF at the middle of the step: the angle advanced by half the step's rotation.
  const double half = 0.5 * p * omega_rad_s_ * h;
  const double cos_mid = cos_e_ - sin_e_ * half;
  const double sin_mid = sin_e_ + cos_e_ * half;
  const double we_lambda = p * omega_rad_s_ * m.flux_linkage_wb;
  const double e_alpha = -we_lambda * sin_mid;
  const double e_beta = we_lambda * cos_mid;

  const double decay = decayOver(h * r_over_l_);
  const double gain = (1.0 - decay) * inv_r_;
  if (!anyLegOpen(legs)) {
    // Every leg held by a switch (the common case between switching edges).
    const DrivenVoltage& v = drivenVoltage(legs, bus_v);
    i_alpha_ = i_alpha_ * decay + (v.alpha - e_alpha) * gain;
    i_beta_ = i_beta_ * decay + (v.beta - e_beta) * gain;
  } else {
    openLegsStep(legs, bus_v, e_alpha, e_beta, decay, gain);
  }

  // Copper loss, applied to the winding now and then.
  loss_a2s_ += (i_alpha_ * i_alpha_ + i_beta_ * i_beta_) * h;
  pending_s_ += h;
  if (pending_s_ >= kThermalStep_s) updateTemperature();

  // Mechanics.
  const AxisParams& ax = params_.axis;
  double stop_nm = 0.0;
  if (angle_rad_ < ax.lower_stop_rad) {
    stop_nm = ax.stop_stiffness_nm_per_rad * (ax.lower_stop_rad - angle_rad_) -
              ax.stop_damping_nms * omega_rad_s_;
  } else if (angle_rad_ > ax.upper_stop_rad) {
    stop_nm = -ax.stop_stiffness_nm_per_rad * (angle_rad_ - ax.upper_stop_rad) -
              ax.stop_damping_nms * omega_rad_s_;
  }
  const double drive_nm = torque() + load_nm_ + stop_nm - m.viscous_nms * omega_rad_s_;
  const double accel = h * inv_inertia_;
  if (omega_rad_s_ != 0.0) {
    const double next = omega_rad_s_ + (drive_nm - m.coulomb_nm * sign(omega_rad_s_)) * accel;
    // Dry friction stops the shaft; it does not reverse it.
    omega_rad_s_ = sign(next) != sign(omega_rad_s_) ? 0.0 : next;
  } else if (std::fabs(drive_nm) > m.coulomb_nm) {
    omega_rad_s_ = (drive_nm - m.coulomb_nm * sign(drive_nm)) * accel;
  }
  const double d_angle = omega_rad_s_ * h;
  angle_rad_ += d_angle;

  // Electrical angle by a small rotation (series to the fifth order), exact now and then.
  if (++steps_since_sync_ >= kResyncSteps) {
    syncAngle();
  } else {
    const double d = p * d_angle;
    const double d2 = d * d;
    const double c = 1.0 - d2 * (0.5 - d2 * (1.0 / 24.0));
    const double s = d * (1.0 - d2 * (1.0 / 6.0 - d2 * (1.0 / 120.0)));
    const double next_cos = cos_e_ * c - sin_e_ * s;
    sin_e_ = sin_e_ * c + cos_e_ * s;
    cos_e_ = next_cos;
  }
}

}  // namespace tavrix::sim
