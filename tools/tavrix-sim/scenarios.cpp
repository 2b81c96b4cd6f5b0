#include "tools/tavrix-sim/scenarios.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <numbers>

#include "firmware/properties/property_table.hpp"
#include "sim/board/serial_eeprom.hpp"
#include "sim/world/world.hpp"
#include "tools/tavrix-sim/commissioning.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix::tools {

DriveTwin::DriveTwin(const std::function<void(sim::SerialEeprom&)>& prepare)
    : board_(std::make_unique<sim::SerialEeprom>(sim::SerialEepromConfig{})) {
  std::string error;
  const auto defaults = shippedFactoryDefaults(&error);
  board_.writeFactorySetIfBlank(*defaults, kNode);
  if (prepare) prepare(*board_.eeprom);
  board_.attach(world_, "node1");
  host_ = &world_.addHostEndpoint();
  runMs(20);  // start-up
}

void DriveTwin::runMs(double ms) {
  world_.runFor(static_cast<sim::SimTime>(ms * sim::kClocksPerMs));
}

void DriveTwin::send(int16_t k, int32_t value) {
  sim::CanMessage m;
  m.id = kNode;
  const bool wide = isPair32(k) || k == prop::PROFILE_START;  // value32 commands too
  m.length = wide ? 6 : 4;
  m.data[0] = static_cast<uint8_t>(0x80 | k);
  for (int b = 0; b < (wide ? 4 : 2); ++b) {
    m.data[2 + b] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * b));
  }
  host_->send(m);
}

void DriveTwin::set(int16_t k, int32_t value) {
  send(k, value);
  runMs(1);
}

int32_t DriveTwin::get(int16_t k) {
  host_->clearReceived();
  sim::CanMessage m;
  m.id = kNode;
  m.length = 1;
  m.data[0] = static_cast<uint8_t>(k);
  host_->send(m);
  runMs(1);
  for (const auto& f : host_->received()) {
    const auto& d = f.message.data;
    if ((d[0] & 0x7F) != k) continue;
    if (f.message.length >= 6 && isPair32(k)) {
      return static_cast<int32_t>(d[2] | d[3] << 8 | d[4] << 16 |
                                  static_cast<uint32_t>(d[5]) << 24);
    }
    return static_cast<int16_t>(d[2] | d[3] << 8);
  }
  return INT32_MIN;  // no reply
}

double DriveTwin::torqueUnitA() const {
  return 2048.0 / board_.drive.params().current_counts_per_a / 8192.0;
}

double DriveTwin::countsPerA() const {
  return board_.drive.params().current_counts_per_a;
}

namespace {

constexpr double kCountsPerRad = 4096.0 / (2.0 * std::numbers::pi);

using Report = ScenarioReport;

bool near(double value, double target, double tolerance) {
  return std::fabs(value - target) <= tolerance;
}

// Velocity-command units in shaft rad/s: VELOCITY counts (measured velocity x 11 / 256), the
// measured velocity being 3899392 / POSITION_SCALE times the counts of one encoder interval.
double velocityUnitRadS(int positionScale) {
  const int velCoeff = 3899392 / positionScale;
  const double countsPerS = 256.0 / (11.0 * velCoeff * 600e-6);
  return countsPerS / kCountsPerRad;
}

int scenarioTorque(bool /*shortForm: the steps are short already*/, Report& r) {
  for (int bypass : {0, 1}) {
    DriveTwin t;
    t.set(prop::OBSERVER_BYPASS, static_cast<int16_t>(bypass));
    t.set(prop::MODE, 2);
    r.line("OBSERVER_BYPASS %d", bypass);
    // Without the bypass the loop runs on the observer's estimate, whose model lacks the bridge's
    // dead-time voltage loss (about 0.2 A here): a wider band.
    const double band_a = bypass != 0 ? 0.05 : 0.3;
    // The shaft runs into a hard stop and stalls there, so the current is measured at standstill.
    for (int torque : {1860, -2790}) {  // 2 A, -3 A of q current
      t.set(prop::TORQUE, static_cast<int16_t>(torque));
      t.runMs(torque > 0 ? 60 : 100);
      const double want_a = torque * t.torqueUnitA();
      double reported_a = 0.0;
      double plant_a = 0.0;
      const int samples = 8;
      for (int n = 0; n < samples; ++n) {
        reported_a += t.get(prop::Q_CURRENT) / t.countsPerA() / samples;
        plant_a += t.plant().currentQ() / samples;
      }
      r.line(
          "TORQUE %5d: command %6.3f A, node Q_CURRENT %6.3f A, plant iq %6.3f A (shaft %.1f rad, "
          "%.1f rad/s)",
          torque, want_a, reported_a, plant_a, t.plant().shaftAngle(), t.plant().shaftVelocity());
      r.check(near(plant_a, want_a, 0.1 * std::fabs(want_a) + band_a),
              "plant q current follows the command");
      r.check(near(reported_a, plant_a, 0.1 * std::fabs(want_a) + band_a),
              "Q_CURRENT reads the plant's current");
    }
    t.set(prop::MODE, 0);
    t.runMs(200);
    r.line("mode 0 after 200 ms: plant iq %.3f A, shaft %.1f rad/s", t.plant().currentQ(),
           t.plant().shaftVelocity());
    r.check(std::fabs(t.plant().shaftVelocity()) < 1.0,
            "mode 0: the shorted phases brake the shaft");
  }
  return r.result();
}

int scenarioVelocity(bool shortForm, Report& r) {
  DriveTwin t;
  // A free shaft: the full form's last step turns it 12 times, beyond the reference axis' stops
  // five turns either side, where it would stall instead of turning at the command.
  t.plant().setHardStops(-std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::infinity());
  const double unit = velocityUnitRadS(t.get(prop::POSITION_SCALE));
  t.set(prop::MODE, 4);
  for (int v : {300, -300, 1000}) {
    t.set(prop::VELOCITY, static_cast<int16_t>(v));
    t.runMs(shortForm ? 150 : 400);
    double reported = 0.0;
    double plant = 0.0;
    const int samples = 10;
    for (int n = 0; n < samples; ++n) {
      reported += t.get(prop::VELOCITY) / double(samples);
      plant += t.plant().shaftVelocity() / unit / samples;
    }
    r.line("VELOCITY %5d (%7.1f rad/s): node %7.1f, plant %7.1f (%7.1f rad/s)", v, v * unit,
           reported, plant, plant * unit);
    r.check(near(reported, v, 0.05 * std::fabs(v) + 5), "measured velocity reaches the command");
    r.check(near(plant, v, 0.05 * std::fabs(v) + 5), "the shaft turns at the command");
  }
  return r.result();
}

int scenarioMove(bool shortForm, Report& r) {
  DriveTwin t;
  t.set(prop::MODE, 3);
  const int32_t start = t.get(prop::POSITION);
  for (int32_t step : {2000, -3000}) {
    const int32_t target = t.get(prop::POSITION) + step;
    t.set(prop::POSITION, target);
    t.runMs(shortForm ? 300 : 800);
    const int32_t reported = t.get(prop::POSITION);
    const double plant = t.plant().shaftAngle() * kCountsPerRad + start;
    r.line("mode 3 step %+d to %d: node POSITION %d, plant %.1f counts", step, target, reported,
           plant);
    // Dry friction holds the shaft once the torque left is below it; the observer's model, lacking
    // the bridge's dead-time loss, asks for small currents the bridge does not deliver.
    r.check(std::abs(reported - target) <= 25, "position within 25 counts of the target");
    r.check(std::fabs(plant - reported) <= 3, "the node's position is the shaft's");
  }
  // A profile: scaled moves over a travel of 65536 counts from 0, in mode 5.
  t.set(prop::MODE, 0);
  t.set(prop::POSITION, 0);
  const double zero = t.plant().shaftAngle() * kCountsPerRad;
  t.set(prop::LOWER_LIMIT, 0);
  t.set(prop::UPPER_LIMIT, 65536);
  t.set(prop::HOMED, 1);
  t.set(prop::PROFILE_START, 65536);
  r.check(t.get(prop::MODE) == 5 && t.get(prop::TRAVEL) == 65536,
          "PROFILE_START stores TRAVEL and enters mode 5");
  const int32_t target = shortForm ? 1500 : 6000;
  t.set(prop::SCALED_TARGET, target);
  double ms = 0;
  while (std::abs(t.get(prop::POSITION) - target) > 25 && ms < 5000) {
    t.runMs(9);
    ms += 10;
  }
  t.runMs(100);
  const int32_t reported = t.get(prop::POSITION);
  const double plant = t.plant().shaftAngle() * kCountsPerRad - zero;
  r.line("mode 5 profile to %d: within 25 counts after %.0f ms; POSITION %d, plant %.1f", target,
         ms, reported, plant);
  r.check(std::abs(reported - target) <= 25, "profile ends within 25 counts of the target");
  r.check(std::fabs(plant - reported) <= 3, "the node's position is the shaft's");
  return r.result();
}

int scenarioOvertemp(bool shortForm, Report& r) {
  DriveTwin t;
  const int16_t limit = shortForm ? 7936 : 8960;  // 31 degC, 35 degC
  t.set(prop::TEMP_LIMIT, limit);
  t.set(prop::MODE, 2);
  t.set(prop::TORQUE, 1800);  // 1.9 A: the shaft runs into the upper stop and stalls there
  double s = 0;
  while (t.get(prop::OVERTEMP) == 0 && s < 60) {
    t.runMs(99);
    s += 0.1;
  }
  const int reported = t.get(prop::TEMPERATURE);
  r.line(
      "latched after %.1f s: TEMPERATURE %.2f degC (limit %.2f), winding %.2f degC, shaft %.1f rad",
      s, reported / 256.0, limit / 256.0, t.plant().windingTemperature(), t.plant().shaftAngle());
  r.check(t.get(prop::OVERTEMP) == 1, "OVERTEMP latches");
  r.check(t.plant().windingTemperature() >= limit / 256.0 - 1.0, "the winding is at the limit");
  t.runMs(50);
  r.check(t.get(prop::TORQUE) == 0, "TORQUE reads 0 while latched");
  r.line("50 ms later: plant iq %.3f A", t.plant().currentQ());
  r.check(std::fabs(t.plant().currentQ()) < 0.3, "no torque current");
  return r.result();
}

int scenarioFoldback(bool shortForm, Report& r) {
  DriveTwin t;
  const int16_t time6 = shortForm ? 20 : 1000;  // 120 cycles (18 ms) or the default 0.9 s
  t.set(prop::OVERCURRENT_TIME, time6);
  const int level = t.get(prop::OVERCURRENT_LEVEL);
  t.set(prop::MODE, 2);
  t.set(prop::TORQUE, 3720);  // 4 A, twice the continuous level
  t.runMs(5);
  r.check(t.get(prop::TORQUE) == 3720, "the full command first");
  // The filter reaches the level after about 44 cycles, then the time runs.
  const double hold_ms = (44 + 6 * time6) * 0.15;
  t.runMs(hold_ms + 20);
  const int folded = t.get(prop::TORQUE);
  double plant_a = 0;
  for (int n = 0; n < 8; ++n) {
    t.runMs(0.15);
    plant_a += t.plant().currentQ() / 8;
  }
  r.line("after %.0f ms: TORQUE %d (level %d), plant iq %.3f A", hold_ms + 25, folded, level,
         plant_a);
  r.check(folded == level, "TORQUE folds back to OVERCURRENT_LEVEL");
  r.check(near(plant_a, level * t.torqueUnitA(), 0.1 * level * t.torqueUnitA() + 0.3),
          "the plant's current follows");
  return r.result();
}

int scenarioOffset(bool /*shortForm*/, Report& r) {
  DriveTwin t;
  const int mounted = t.drive().params().encoder_offset_counts;
  t.set(prop::ELEC_OFFSET, 0);  // forgotten, as on a new board
  t.set(prop::CALIBRATE, 61);
  t.runMs(5200);
  const int found = t.get(prop::ELEC_OFFSET);
  const auto& image = t.eeprom().image();
  const int saved = static_cast<int16_t>(image[122] | image[123] << 8);
  const double elec = std::remainder(t.plant().electricalAngle(), 2 * std::numbers::pi);
  r.line(
      "encoder mounted at %d counts: ELEC_OFFSET %d, EEPROM %d, MODE %d; plant electrical angle "
      "%.3f rad",
      mounted, found, saved, t.get(prop::MODE), elec);
  // Electrical zeros repeat every 1024 counts (4 pole pairs).
  const int error = ((found - mounted) % 1024 + 1024 + 512) % 1024 - 512;
  r.check(std::abs(error) <= 6, "the offset found is the encoder's mounting (mod 1024, within 6)");
  r.check(saved == found, "saved at EEPROM address 122");
  r.check(t.get(prop::MODE) == 0, "back in mode 0");
  // The board's other inputs as the node reads them.
  const int bus = t.get(prop::BUS_VOLTAGE);
  const int temp = t.get(prop::TEMPERATURE);
  r.line("BUS_VOLTAGE %d (10 mV), TEMPERATURE %.2f degC; plant bus %.2f V, winding %.2f degC", bus,
         temp / 256.0, t.drive().params().bus_v, t.plant().windingTemperature());
  r.check(std::abs(bus - t.drive().params().bus_v * 100) <= 10, "BUS_VOLTAGE reads the bus");
  // The thermistor table has no reading between 24.5 and 30 degC: the nearest is taken.
  r.check(std::fabs(temp / 256.0 - t.plant().windingTemperature()) <= 3.0,
          "TEMPERATURE reads the winding");
  return r.result();
}

}  // namespace

const std::vector<std::string>& scenarioNames() {
  static const std::vector<std::string> names = {"offset", "torque",   "velocity",
                                                 "move",   "overtemp", "foldback"};
  return names;
}

int runScenario(const std::string& name, bool shortForm, std::ostream& out, std::ostream& err) {
  using Fn = int (*)(bool, Report&);
  static const std::map<std::string, Fn> table = {
      {"offset", &scenarioOffset}, {"torque", &scenarioTorque},     {"velocity", &scenarioVelocity},
      {"move", &scenarioMove},     {"overtemp", &scenarioOvertemp}, {"foldback", &scenarioFoldback},
  };
  const auto it = table.find(name);
  const auto& commissioning = commissioningScenarioNames();
  if (it == table.end() &&
      std::find(commissioning.begin(), commissioning.end(), name) != commissioning.end()) {
    out << "scenario " << name << (shortForm ? " (short)" : "") << "\n";
    const int result = runCommissioningScenario(name, shortForm, out);
    out << (result == 0 ? "passed" : "FAILED") << "\n";
    return result;
  }
  if (it == table.end()) {
    err << "unknown scenario " << name << "\n";
    return 2;
  }
  out << "scenario " << name << (shortForm ? " (short)" : "") << "\n";
  Report r(out);
  const int result = it->second(shortForm, r);
  out << (result == 0 ? "passed" : "FAILED") << "\n";
  return result;
}

}  // namespace tavrix::tools
