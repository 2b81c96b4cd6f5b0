#include "sim/board/reference_drive.hpp"

#include <cmath>
#include <limits>
#include <map>
#include <numbers>
#include <sstream>
#include <variant>

namespace tavrix::sim {

ObserverModel observerModelOf(const ReferenceDrive& drive, int position_scale, int modulo) {
  const MotorParams& m = drive.plant.motor;
  const double cycle_s = 6.0 * modulo / static_cast<double>(kBusClockHz);
  // Continuous model, x = (shaft rad/s, q current A), u = q voltage V.
  const double kt = 1.5 * m.pole_pairs * m.flux_linkage_wb;
  const double a[2][2] = {
      {-m.viscous_nms / m.inertia_kgm2, kt / m.inertia_kgm2},
      {-m.pole_pairs * m.flux_linkage_wb / m.inductance_h, -m.resistance_ohm / m.inductance_h}};
  // exp(A T) and its integral by their series; |A T| is below 1, so 40 terms are exact.
  double phi[2][2] = {{1, 0}, {0, 1}};
  double gam[2][2] = {{cycle_s, 0}, {0, cycle_s}};
  double term[2][2] = {{1, 0}, {0, 1}};
  for (int k = 1; k < 40; ++k) {
    double next[2][2];
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 2; ++j) {
        next[i][j] = (term[i][0] * a[0][j] + term[i][1] * a[1][j]) * cycle_s / k;
      }
    }
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 2; ++j) {
        term[i][j] = next[i][j];
        phi[i][j] += term[i][j];
        gam[i][j] += term[i][j] * cycle_s / (k + 1);
      }
    }
  }
  // Scales of one unit of the observer's states and input.
  const int vel_coeff = position_scale != 0 ? 3899392 / position_scale : 0;
  const double interval_s = 4.0 * cycle_s;  // the encoder is read every fourth cycle
  const double vel_unit = (2.0 * std::numbers::pi / 4096.0) / (vel_coeff * interval_s);
  const double cur_unit = 2048.0 / drive.board.current_counts_per_a / 65536.0;
  // Voltage request 1.0: scaled by the ripple elimination (index 0.866 over half the constant
  // bus reading), modulated to at most the largest duty of the period, on this bus.
  const double elim = (1859720839.0 / 2147483648.0) / (2146959360.0 / 2147483648.0 / 2.0);
  const double duty = (modulo / 2 - 85) / (modulo / 2.0);
  const double volt_unit = elim * duty * drive.board.bus_v / std::numbers::sqrt3 / 65536.0;
  ObserverModel o;
  o.a11 = phi[0][0];
  o.a12 = phi[0][1] * cur_unit / vel_unit;
  o.a21 = phi[1][0] * vel_unit / cur_unit;
  o.a22 = phi[1][1];
  o.b11 = gam[0][1] / m.inductance_h * volt_unit / vel_unit;
  o.b21 = gam[1][1] / m.inductance_h * volt_unit / cur_unit;
  return o;
}

std::optional<ReferenceDrive> parseReferenceDrive(std::istream& in, std::string* error) {
  ReferenceDrive d;
  using Field = std::variant<double*, int*, uint16_t*, uint64_t*>;
  const std::map<std::string, Field> fields = {
      {"motor.resistance_ohm", &d.plant.motor.resistance_ohm},
      {"motor.inductance_h", &d.plant.motor.inductance_h},
      {"motor.flux_linkage_wb", &d.plant.motor.flux_linkage_wb},
      {"motor.pole_pairs", &d.plant.motor.pole_pairs},
      {"motor.inertia_kgm2", &d.plant.motor.inertia_kgm2},
      {"motor.viscous_nms", &d.plant.motor.viscous_nms},
      {"motor.coulomb_nm", &d.plant.motor.coulomb_nm},
      {"motor.resistance_tempco_per_k", &d.plant.motor.resistance_tempco_per_k},
      {"thermal.capacity_j_per_k", &d.plant.thermal.capacity_j_per_k},
      {"thermal.resistance_k_per_w", &d.plant.thermal.resistance_k_per_w},
      {"thermal.ambient_c", &d.plant.thermal.ambient_c},
      {"axis.lower_stop_rad", &d.plant.axis.lower_stop_rad},
      {"axis.upper_stop_rad", &d.plant.axis.upper_stop_rad},
      {"axis.stop_stiffness_nm_per_rad", &d.plant.axis.stop_stiffness_nm_per_rad},
      {"axis.stop_damping_nms", &d.plant.axis.stop_damping_nms},
      {"axis.initial_angle_rad", &d.plant.axis.initial_angle_rad},
      {"board.bus_v", &d.board.bus_v},
      {"board.current_counts_per_a", &d.board.current_counts_per_a},
      {"board.current_offset_counts", &d.board.current_offset_counts},
      {"board.current_noise_counts", &d.board.current_noise_counts},
      {"board.bus_counts_per_v", &d.board.bus_counts_per_v},
      {"board.bus_noise_counts", &d.board.bus_noise_counts},
      {"board.aux_counts", &d.board.aux_counts},
      {"board.encoder_offset_counts", &d.board.encoder_offset_counts},
      {"board.noise_seed", &d.board.noise_seed},
  };
  std::string section;
  std::string line;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string key, value, extra;
    if (!(words >> key)) continue;
    const auto fail = [&](const std::string& why) -> std::optional<ReferenceDrive> {
      if (error != nullptr) *error = "line " + std::to_string(line_no) + ": " + why;
      return std::nullopt;
    };
    if (key.front() == '[') {
      if (key.back() != ']' || (words >> extra)) return fail("bad section line");
      section = key.substr(1, key.size() - 2);
      if (section != "motor" && section != "thermal" && section != "axis" && section != "board" &&
          section != "properties") {
        return fail("unknown section " + section);
      }
      continue;
    }
    if (section.empty() || section == "properties") continue;
    if (!(words >> value) || (words >> extra)) return fail("expected KEY VALUE");
    const auto it = fields.find(section + "." + key);
    if (it == fields.end()) return fail("unknown key " + key + " in [" + section + "]");
    std::istringstream number(value);
    bool ok = false;
    std::visit(
        [&](auto* target) {
          using T = std::remove_pointer_t<decltype(target)>;
          if constexpr (std::is_same_v<T, double>) {
            double v = 0.0;
            ok = static_cast<bool>(number >> v) && number.eof() && std::isfinite(v);
            if (ok) *target = v;
          } else {
            long long v = 0;
            ok = static_cast<bool>(number >> v) && number.eof() && v >= 0 &&
                 static_cast<unsigned long long>(v) <= std::numeric_limits<T>::max();
            if (ok) *target = static_cast<T>(v);
          }
        },
        it->second);
    if (!ok) return fail("bad value " + value + " for " + key);
  }
  const MotorParams& m = d.plant.motor;
  if (!(m.resistance_ohm > 0 && m.inductance_h > 0 && m.inertia_kgm2 > 0 && m.pole_pairs > 0 &&
        d.plant.thermal.capacity_j_per_k > 0 && d.plant.thermal.resistance_k_per_w > 0 &&
        d.plant.axis.lower_stop_rad < d.plant.axis.upper_stop_rad)) {
    if (error != nullptr) *error = "motor, thermal and axis values must be positive and ordered";
    return std::nullopt;
  }
  return d;
}

}  // namespace tavrix::sim
