// The motor and its axis: a permanent-magnet synchronous motor (surface magnets, Ld = Lq) in a
// star connection, driven by the three leg voltages of a bridge, with a rotor on an axis that has
// viscous and Coulomb friction, an external load torque and two hard stops, and a first-order
// thermal model of the winding heated by its copper losses.
//
// Electrical state: stator currents in the stationary frame (amplitude-invariant alpha/beta, so
// i_alpha is phase A's current). Over a step of constant leg voltages the RL circuit is solved
// exactly; the back-EMF is taken at the step's middle angle and the rotor's mechanics advance by
// a semi-implicit Euler step, so steps of a few microseconds are accurate and stable.
//
// The winding's thermal time constant is seconds, a step's length microseconds: the copper loss
// is summed over the steps and applied to the temperature every kThermalStep_s, and the
// resistance the electrical steps use follows the temperature at those instants. That keeps the
// temperature out of each step's chain of dependent arithmetic (the plant's hot path).
// Deterministic: the same steps give the same bits.
#pragma once

#include <array>
#include <cstdint>

namespace tavrix::sim {

struct MotorParams {
  double resistance_ohm = 1.800;      // per phase, at 25 degC
  double inductance_h = 459.3e-6;     // per phase (Ld = Lq)
  double flux_linkage_wb = 2.032e-3;  // magnet flux linkage amplitude per phase
  int pole_pairs = 4;
  double inertia_kgm2 = 1.4785e-7;           // rotor and load
  double viscous_nms = 1.648e-5;             // friction torque per rad/s
  double coulomb_nm = 0.5e-3;                // dry friction torque
  double resistance_tempco_per_k = 0.00393;  // copper
};

struct ThermalParams {
  double capacity_j_per_k = 5.0;    // winding heat capacity
  double resistance_k_per_w = 4.0;  // winding to ambient
  double ambient_c = 25.0;
};

struct AxisParams {
  double lower_stop_rad = -31.416;  // shaft angles where the hard stops begin
  double upper_stop_rad = 31.416;
  double stop_stiffness_nm_per_rad = 200.0;
  double stop_damping_nms = 0.02;
  double initial_angle_rad = 0.0;
};

struct PlantParams {
  MotorParams motor;
  ThermalParams thermal;
  AxisParams axis;
};

// What a bridge leg does during a step.
enum class LegState : uint8_t {
  kHigh,   // high-side switch on: the leg is at the bus voltage
  kLow,    // low-side switch on: the leg is at 0 V
  kOff,    // both off: a free-wheeling diode sets the leg by the current's sign, else it floats
  kShort,  // both on (shoot-through): taken as half the bus voltage
};
using LegStates = std::array<LegState, 3>;

// Whether some leg has neither switch on.
inline bool anyLegOpen(const LegStates& legs) {
  return legs[0] == LegState::kOff || legs[1] == LegState::kOff || legs[2] == LegState::kOff;
}

class Pmsm {
 public:
  explicit Pmsm(const PlantParams& params);

  // Advances by `dt_s` seconds with the legs held in `legs` on a bus of `bus_v` volts. Steps
  // longer than kMaxStep_s are split.
  void step(const LegStates& legs, double bus_v, double dt_s);

  // Replaces each open leg of `legs` by the level its conducting free-wheeling diode holds it
  // at, when that diode surely conducts for the next `horizon_s` seconds on a bus of `bus_v`
  // volts: its phase current is farther from zero than any voltage across the winding could move
  // it in that time. Returns false, leaving `legs` as it may be, when an open leg's current
  // could reach zero (the leg may float or its diode block: it needs the exact treatment).
  // A step with the returned legs is then the same circuit as one with the open legs, so steps
  // across a dead time may be taken as one.
  bool diodeHeldLegs(LegStates& legs, double bus_v, double horizon_s) const;

  // External load torque on the shaft, N m (positive drives the angle up).
  void setLoadTorque(double nm) { load_nm_ = nm; }
  // Moves the hard stops (an infinite angle removes one, as when a stop breaks off the axis).
  void setHardStops(double lower_rad, double upper_rad) {
    params_.axis.lower_stop_rad = lower_rad;
    params_.axis.upper_stop_rad = upper_rad;
  }
  double loadTorque() const { return load_nm_; }

  // Phase currents A, B, C (into the motor), amperes.
  std::array<double, 3> phaseCurrents() const;
  double currentD() const;  // rotor frame, amperes (amplitude)
  double currentQ() const;
  double shaftAngle() const { return angle_rad_; }  // mechanical, radians, unbounded
  double shaftVelocity() const { return omega_rad_s_; }
  double electricalAngle() const;  // radians, in [-pi, pi)
  // Includes the loss summed since the last thermal update.
  double windingTemperature() const;
  double torque() const;  // electromagnetic, N m
  // The phase resistance the electrical steps use now (at the last thermal update's temperature).
  double resistanceNow() const { return r_ohm_; }
  const PlantParams& params() const { return params_; }

  // Test and scenario set-up.
  void setShaft(double angle_rad, double velocity_rad_s);
  void setWindingTemperature(double c);
  void setCurrents(double i_alpha, double i_beta) {
    i_alpha_ = i_alpha;
    i_beta_ = i_beta;
  }

  static constexpr double kMaxStep_s = 5e-6;
  // How often the summed copper loss heats the winding (and its resistance is taken anew).
  static constexpr double kThermalStep_s = 20e-6;

 private:
  // The stator voltage (alpha, beta) of legs that are all held by a switch: a handful of
  // patterns recur every period, so each is worked out once per bus voltage.
  struct DrivenVoltage {
    double alpha = 0.0;
    double beta = 0.0;
  };
  const DrivenVoltage& drivenVoltage(const LegStates& legs, double bus_v);
  void subStep(const LegStates& legs, double bus_v, double h);
  void openLegsStep(const LegStates& legs, double bus_v, double e_alpha, double e_beta,
                    double decay, double gain);
  // At rest with no current and nothing to move it: a step changes only the temperature.
  bool quiescent(const LegStates& legs) const;
  void syncAngle();
  // The winding's rise by the loss summed since the last update, less its cooling meanwhile.
  double pendingRise() const;
  // Applies the loss summed since the last update to the winding temperature.
  void updateTemperature();
  // The resistance and what derives from it, at the winding's present temperature.
  void holdResistance();

  PlantParams params_;
  double i_alpha_ = 0.0;
  double i_beta_ = 0.0;
  double omega_rad_s_ = 0.0;
  double angle_rad_ = 0.0;
  double winding_c_ = 25.0;
  double loss_a2s_ = 0.0;   // sum of (i_alpha^2 + i_beta^2) h since the last thermal update
  double pending_s_ = 0.0;  // time since the last thermal update
  // Constants of the parameters, and the resistance in force with its derived values.
  double inv_inductance_ = 0.0;
  double inv_inertia_ = 0.0;
  double inv_capacity_ = 0.0;
  double inv_thermal_resistance_ = 0.0;
  double r_ohm_ = 0.0;
  double r_over_l_ = 0.0;
  double inv_r_ = 0.0;
  double load_nm_ = 0.0;
  // cos and sin of the electrical angle, advanced by rotation and resynchronised now and then.
  double cos_e_ = 1.0;
  double sin_e_ = 0.0;
  uint32_t steps_since_sync_ = 0;
  std::array<DrivenVoltage, 64> driven_{};  // by leg pattern, two bits per leg
  uint64_t driven_known_ = 0;               // bit per pattern worked out
  uint64_t driven_bus_bits_ = 0;            // for this bus voltage (its bits)
};

}  // namespace tavrix::sim
