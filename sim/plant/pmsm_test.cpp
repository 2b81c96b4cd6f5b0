#include "sim/plant/pmsm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace tavrix::sim {
namespace {

constexpr LegStates kAHighOthersLow = {LegState::kHigh, LegState::kLow, LegState::kLow};
constexpr LegStates kAllLow = {LegState::kLow, LegState::kLow, LegState::kLow};
constexpr LegStates kAllOff = {LegState::kOff, LegState::kOff, LegState::kOff};

PlantParams lockedRotor() {
  PlantParams p;
  p.motor.inertia_kgm2 = 1e9;  // the shaft does not move in the test's time
  p.motor.resistance_tempco_per_k = 0.0;
  return p;
}

// Leg A at the bus, B and C at 0 V puts 2/3 of the bus across phase A along the alpha (and, at
// electrical angle 0, the d) axis: i(t) = V/R (1 - exp(-t R / L)), no torque.
TEST(Pmsm, CurrentStepFollowsTheRlResponse) {
  const PlantParams p = lockedRotor();
  Pmsm m(p);
  const double bus_v = 24.0;
  const double v = 2.0 / 3.0 * bus_v;
  const double r = p.motor.resistance_ohm;
  const double tau = p.motor.inductance_h / r;
  double t = 0.0;
  for (double dt : {1e-6, 24e-6, 75e-6, 150e-6, 500e-6}) {
    m.step(kAHighOthersLow, bus_v, dt);
    t += dt;
    const double expected = v / r * (1.0 - std::exp(-t / tau));
    const auto i = m.phaseCurrents();
    EXPECT_NEAR(i[0], expected, 1e-9 * v / r) << t;
    EXPECT_NEAR(i[1], -expected / 2, 1e-9 * v / r);
    EXPECT_NEAR(m.currentD(), expected, 1e-9 * v / r);
    EXPECT_NEAR(m.currentQ(), 0.0, 1e-9);
  }
}

// The voltage of a leg pattern follows the bus: after a drop from 24 V to 12 V (and back up)
// the same pattern drives the current towards the new 2/3 V / R, and a pattern with B high
// drives it along its own axis.
TEST(Pmsm, LegPatternsFollowAChangedBusVoltage) {
  const PlantParams p = lockedRotor();
  Pmsm m(p);
  const double r = p.motor.resistance_ohm;
  constexpr LegStates kBHigh = {LegState::kLow, LegState::kHigh, LegState::kLow};
  struct Case {
    LegStates legs;
    double bus_v;
    int phase;  // the phase carrying the whole bus current
  } cases[] = {{kAHighOthersLow, 24.0, 0},
               {kAHighOthersLow, 12.0, 0},
               {kBHigh, 12.0, 1},
               {kAHighOthersLow, 24.0, 0},
               {kBHigh, 6.0, 1}};
  for (const Case& c : cases) {
    m.step(c.legs, c.bus_v, 20e-3);  // eighty time constants: the steady state
    EXPECT_NEAR(m.phaseCurrents()[c.phase], 2.0 / 3.0 * c.bus_v / r, 1e-9) << c.bus_v;
  }
}

// Phases shorted by the low sides at constant speed: the steady currents satisfy
// 0 = R id - we L iq and 0 = R iq + we L id + we lambda; the torque brakes.
TEST(Pmsm, ShortedWindingsCarryTheBackEmfCurrentAndBrake) {
  PlantParams p = lockedRotor();
  p.motor.viscous_nms = 0.0;
  p.motor.coulomb_nm = 0.0;
  for (double omega : {100.0, -250.0}) {
    Pmsm m(p);
    m.setShaft(0.3, omega);
    m.step(kAllLow, 24.0, 20 * p.motor.inductance_h / p.motor.resistance_ohm);
    const double r = p.motor.resistance_ohm;
    const double we = p.motor.pole_pairs * omega;
    const double x = we * p.motor.inductance_h;
    const double lambda = p.motor.flux_linkage_wb;
    const double den = r * r + x * x;
    EXPECT_NEAR(m.currentQ(), -we * lambda * r / den, 1e-4) << omega;
    EXPECT_NEAR(m.currentD(), -we * x * lambda / den, 1e-4) << omega;
    EXPECT_LT(m.torque() * omega, 0.0);
    EXPECT_NEAR(m.shaftVelocity(), omega, 1e-9);
  }
}

TEST(Pmsm, OpenBridgeCarriesNoCurrentWhileTheShaftTurns) {
  PlantParams p = lockedRotor();
  Pmsm m(p);
  m.setShaft(0.0, 300.0);
  m.step(kAllOff, 24.0, 1e-3);
  for (double i : m.phaseCurrents()) EXPECT_EQ(i, 0.0);
}

// Free-wheeling: with all switches off a current decays through the diodes into the bus and
// stops at zero; it never reverses.
TEST(Pmsm, DiodesLetACurrentDecayToZeroAndBlock) {
  PlantParams p = lockedRotor();
  Pmsm m(p);
  m.step(kAHighOthersLow, 24.0, 1e-3);
  ASSERT_GT(m.phaseCurrents()[0], 5.0);
  m.step(kAllOff, 24.0, 2e-3);
  for (double i : m.phaseCurrents()) EXPECT_EQ(i, 0.0);
}

// A constant load torque against viscous friction: w(t) = T/B (1 - exp(-t B / J)).
TEST(Pmsm, ShaftAcceleratesAgainstViscousFriction) {
  PlantParams p;
  p.motor.coulomb_nm = 0.0;
  Pmsm m(p);
  m.setLoadTorque(0.01);
  const double b = p.motor.viscous_nms;
  const double j = p.motor.inertia_kgm2;
  double t = 0.0;
  for (int n = 0; n < 4; ++n) {
    m.step(kAllOff, 24.0, 2e-3);
    t += 2e-3;
    const double expected = 0.01 / b * (1.0 - std::exp(-t * b / j));
    EXPECT_NEAR(m.shaftVelocity(), expected, 2e-3 * expected) << t;
  }
}

TEST(Pmsm, DryFrictionHoldsASmallLoadAndYieldsToALargerOne) {
  PlantParams p;
  Pmsm m(p);
  m.setLoadTorque(0.9 * p.motor.coulomb_nm);
  m.step(kAllOff, 24.0, 10e-3);
  EXPECT_EQ(m.shaftVelocity(), 0.0);
  m.setLoadTorque(-3.0 * p.motor.coulomb_nm);
  m.step(kAllOff, 24.0, 1e-3);
  EXPECT_LT(m.shaftVelocity(), 0.0);
  // Removing the load lets friction stop the shaft without reversing it.
  m.setLoadTorque(0.0);
  m.step(kAllOff, 24.0, 50e-3);
  EXPECT_EQ(m.shaftVelocity(), 0.0);
}

// Pushed into a hard stop, the shaft comes to rest where the spring balances the load.
TEST(Pmsm, HardStopsHoldTheShaftWhereTheSpringBalancesTheLoad) {
  PlantParams p;
  p.motor.coulomb_nm = 0.0;
  p.axis.lower_stop_rad = -0.5;
  p.axis.upper_stop_rad = 0.5;
  for (double load : {0.05, -0.08}) {
    Pmsm m(p);
    m.setLoadTorque(load);
    m.step(kAllOff, 24.0, 0.5);
    const double stop = load > 0 ? p.axis.upper_stop_rad : p.axis.lower_stop_rad;
    EXPECT_NEAR(m.shaftAngle(), stop + load / p.axis.stop_stiffness_nm_per_rad, 1e-6) << load;
    EXPECT_NEAR(m.shaftVelocity(), 0.0, 1e-6);
  }
}

// Constant loss: T(t) = Ta + P Rth (1 - exp(-t / (Rth C))).
TEST(Pmsm, WindingHeatsByItsCopperLosses) {
  PlantParams p = lockedRotor();
  p.thermal.capacity_j_per_k = 0.02;
  p.thermal.resistance_k_per_w = 1.5;
  Pmsm m(p);
  const double bus_v = 4.0;
  m.step(kAHighOthersLow, bus_v, 3e-3);  // current settled
  const double start_c = m.windingTemperature();
  const double i = m.phaseCurrents()[0];
  const double loss_w = 1.5 * p.motor.resistance_ohm * i * i;
  const double tau = p.thermal.resistance_k_per_w * p.thermal.capacity_j_per_k;
  m.step(kAHighOthersLow, bus_v, tau);
  const double rise = loss_w * p.thermal.resistance_k_per_w;
  const double expected = start_c + (p.thermal.ambient_c + rise - start_c) * (1 - std::exp(-1.0));
  EXPECT_NEAR(m.windingTemperature(), expected, 1e-3 * rise);
  EXPECT_GT(rise, 5.0);
}

TEST(Pmsm, IdleWindingCoolsToAmbient) {
  const PlantParams p;
  for (const LegStates& legs : {kAllOff, kAllLow}) {
    Pmsm m(p);
    m.setWindingTemperature(80.0);
    const double tau = p.thermal.resistance_k_per_w * p.thermal.capacity_j_per_k;
    m.step(legs, 24.0, tau);
    EXPECT_NEAR(m.windingTemperature(), 25.0 + 55.0 * std::exp(-1.0), 1e-9);
  }
}

TEST(Pmsm, ElectricalAngleTracksTheShaftOverManyTurns) {
  PlantParams p = lockedRotor();
  Pmsm m(p);
  m.setShaft(0.0, 400.0);  // mechanical rad/s
  m.step(kAllOff, 24.0, 0.1);
  const double e = std::remainder(p.motor.pole_pairs * m.shaftAngle(), 2 * std::numbers::pi);
  EXPECT_NEAR(m.shaftAngle(), 40.0, 1e-9);
  EXPECT_NEAR(m.electricalAngle(), e, 1e-9);
}

TEST(Pmsm, SameStepsGiveTheSameBits) {
  PlantParams p;
  Pmsm a(p), b(p);
  for (Pmsm* m : {&a, &b}) {
    m->setLoadTorque(0.004);
    for (int n = 0; n < 500; ++n) {
      m->step(n % 3 ? kAHighOthersLow : kAllLow, 24.0, (n % 7 + 1) * 1e-6);
    }
  }
  EXPECT_EQ(a.currentQ(), b.currentQ());
  EXPECT_EQ(a.shaftAngle(), b.shaftAngle());
  EXPECT_EQ(a.windingTemperature(), b.windingTemperature());
}

// An open leg is replaced by the level its diode holds it at only when that diode surely
// conducts over the whole horizon; one current near zero keeps the exact treatment.
TEST(Pmsm, DiodeHeldLegsOnlyWhereTheCurrentCannotReachZero) {
  const PlantParams p = lockedRotor();
  constexpr LegState H = LegState::kHigh, L = LegState::kLow, O = LegState::kOff;
  // i_beta for phase B = -1 A with phase A at 3 A (C at -2 A).
  const double beta_b_minus_1 = 0.5 / (0.5 * std::sqrt(3.0));
  struct Case {
    const char* what;
    double i_alpha, i_beta, horizon_s;
    LegStates legs;
    bool held;
    LegStates expect;
  } cases[] = {
      {"all driven: unchanged", 0.0, 0.0, 5e-6, {H, L, L}, true, {H, L, L}},
      {"A carries 3 A into the motor: its low diode", 3.0, beta_b_minus_1, 0.5e-6, {O, H, L}, true,
       {L, H, L}},
      {"B carries -1 A out: its high diode", 3.0, beta_b_minus_1, 0.5e-6, {H, O, L}, true,
       {H, H, L}},
      {"two open legs, both conducting", 3.0, beta_b_minus_1, 0.5e-6, {O, O, H}, true, {L, H, H}},
      {"1 mA may reach zero", 1e-3, 0.0, 0.5e-6, {O, L, H}, false, {}},
      {"3 A over a long horizon may reach zero", 3.0, beta_b_minus_1, 1e-3, {O, H, L}, false, {}},
      {"no current at all", 0.0, 0.0, 0.5e-6, {O, O, O}, false, {}},
  };
  for (const Case& c : cases) {
    Pmsm m(p);
    m.setCurrents(c.i_alpha, c.i_beta);
    LegStates legs = c.legs;
    EXPECT_EQ(m.diodeHeldLegs(legs, 24.0, c.horizon_s), c.held) << c.what;
    if (c.held) {
      EXPECT_EQ(legs, c.expect) << c.what;
    }
  }
}

// A leg held by its conducting diode is the same circuit as the open leg: a step either way
// ends with the same currents.
TEST(Pmsm, AStepWithDiodeHeldLegsMatchesTheOpenLegStep) {
  const PlantParams p = lockedRotor();
  Pmsm open(p), held(p);
  for (Pmsm* m : {&open, &held}) m->setCurrents(3.0, 0.5 / (0.5 * std::sqrt(3.0)));
  LegStates legs = {LegState::kOff, LegState::kHigh, LegState::kOff};
  LegStates resolved = legs;
  ASSERT_TRUE(held.diodeHeldLegs(resolved, 24.0, 0.5e-6));
  open.step(legs, 24.0, 0.5e-6);
  held.step(resolved, 24.0, 0.5e-6);
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(open.phaseCurrents()[k], held.phaseCurrents()[k], 1e-12) << k;
  }
}

// The loss summed between thermal updates already shows in the temperature read, and the
// resistance the steps use follows the temperature at the updates.
TEST(Pmsm, TemperatureReadIncludesTheLossSinceTheLastUpdate) {
  PlantParams p = lockedRotor();
  p.motor.resistance_tempco_per_k = 0.00393;
  p.thermal.capacity_j_per_k = 1e-4;  // heats fast
  Pmsm m(p);
  const double r0 = m.resistanceNow();
  m.step(kAHighOthersLow, 24.0, 0.25 * Pmsm::kThermalStep_s);  // before the first update
  EXPECT_GT(m.windingTemperature(), p.thermal.ambient_c);
  EXPECT_EQ(m.resistanceNow(), r0);
  m.step(kAHighOthersLow, 24.0, 100 * Pmsm::kThermalStep_s);
  const double t = m.windingTemperature();
  EXPECT_GT(t, p.thermal.ambient_c + 1.0);
  EXPECT_NEAR(m.resistanceNow(),
              p.motor.resistance_ohm * (1 + p.motor.resistance_tempco_per_k * (t - 25.0)),
              0.01 * r0);
}

}  // namespace
}  // namespace tavrix::sim
