// Figures of the reference drive in the digital twin, run by hand (release build):
//   build/release/bench/tavrix_twin_bench [current|velocity|position|speed|homing|profile [RUN]]
// Step responses of the current, velocity and position loops against the bandwidths their
// properties name, with the observer in the loop and bypassed, a profile move against its ideal
// trapezoid, the homing error of each limit and the profile-move error after homing, and the
// twin's speed (simulated seconds per second) with one and eight nodes.
// Everything is commanded through CAN frames; the responses are the plant's true state.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "firmware/properties/property_table.hpp"
#include "sim/board/serial_eeprom.hpp"
#include "sim/world/world.hpp"
#include "tools/tavrix-sim/commissioning.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"
#include "tools/tavrix-sim/scenarios.hpp"

namespace {

using tavrix::tools::DriveTwin;
namespace prop = tavrix::prop;

constexpr double kCycleMs = 0.15;
constexpr double kCountsPerRad = 4096.0 / (2.0 * std::numbers::pi);

struct Step {
  double rise = NAN;       // 10 % to 90 %, in samples
  double overshoot = NAN;  // of the step, %
  double settle = NAN;     // samples until it stays within 5 % of the step
  double final_value = NAN;
};

// Step metrics of `y` going from `from` to its final value (mean of the last fifth).
Step analyse(const std::vector<double>& y, double from) {
  Step s;
  const size_t tail = std::max<size_t>(1, y.size() / 5);
  double final_value = 0;
  for (size_t i = y.size() - tail; i < y.size(); ++i) final_value += y[i] / tail;
  s.final_value = final_value;
  const double span = final_value - from;
  if (std::fabs(span) < 1e-12) return s;
  auto frac = [&](size_t i) { return (y[i] - from) / span; };
  size_t i10 = y.size(), i90 = y.size();
  for (size_t i = 0; i < y.size(); ++i) {
    if (i10 == y.size() && frac(i) >= 0.1) i10 = i;
    if (i90 == y.size() && frac(i) >= 0.9) i90 = i;
  }
  if (i10 < y.size() && i90 < y.size()) s.rise = static_cast<double>(i90 - i10);
  double peak = 0;
  for (size_t i = 0; i < y.size(); ++i) peak = std::max(peak, frac(i));
  s.overshoot = 100.0 * (peak - 1.0);
  size_t last_out = 0;
  for (size_t i = 0; i < y.size(); ++i) {
    if (std::fabs(frac(i) - 1.0) > 0.05) last_out = i + 1;
  }
  s.settle = static_cast<double>(last_out);
  return s;
}

void currentSteps() {
  std::printf(
      "\nq-current step 1 A -> 3 A, shaft held by a hard stop; plant iq once per control cycle\n");
  std::printf("  %-8s %-6s %12s %14s %12s %10s\n", "BYPASS", "BW Hz", "rise cycles", "ideal cycles",
              "overshoot %", "final A");
  for (int bypass : {0, 1}) {
    for (int bw : {650, 700, 800, 900}) {
      DriveTwin t;
      t.set(prop::OBSERVER_BYPASS, bypass);
      t.set(prop::CURRENT_BW, bw);
      t.set(prop::MODE, 2);
      t.set(prop::TORQUE, 930);
      t.runMs(80);  // into the upper stop
      const double from = t.plant().currentQ();
      t.send(prop::TORQUE, 2790);
      std::vector<double> y;
      for (int n = 0; n < 80; ++n) {
        t.runMs(kCycleMs);
        y.push_back(t.plant().currentQ());
      }
      const Step s = analyse(y, from);
      // A first-order loop of this bandwidth rises 10-90 % in ln(9) / (2 pi BW).
      const double ideal = std::log(9.0) / (2 * std::numbers::pi * bw) / (kCycleMs * 1e-3);
      std::printf("  %-8d %-6d %12.1f %14.1f %12.1f %10.3f\n", bypass, bw, s.rise, ideal,
                  s.overshoot, s.final_value);
    }
  }
}

void velocitySteps() {
  std::printf("\nvelocity step 0 -> 300 (58.7 rad/s), mode 4; plant velocity every 1 ms\n");
  std::printf("  %-8s %-6s %10s %10s %12s %12s %14s\n", "BYPASS", "BW Hz", "rise ms", "ideal ms",
              "overshoot %", "settle ms", "final rad/s");
  for (int bypass : {0, 1}) {
    for (int bw : {15, 30, 60}) {
      DriveTwin t;
      t.set(prop::OBSERVER_BYPASS, bypass);
      t.set(prop::VELOCITY_BW, bw);
      t.set(prop::MODE, 4);
      t.runMs(20);
      t.send(prop::VELOCITY, 300);
      std::vector<double> y;
      for (int n = 0; n < 200; ++n) {  // 11.7 rad of the 31.4 to the stop
        t.runMs(1);
        y.push_back(t.plant().shaftVelocity());
      }
      const Step s = analyse(y, 0.0);
      const double ideal = std::log(9.0) / (2 * std::numbers::pi * bw) * 1e3;
      std::printf("  %-8d %-6d %10.1f %10.1f %12.1f %12.1f %14.2f\n", bypass, bw, s.rise, ideal,
                  s.overshoot, s.settle, s.final_value);
    }
  }
}

void positionMoves() {
  std::printf("\nposition step of 2000 counts, mode 3; plant position every 1 ms\n");
  std::printf("  %-8s %-10s %10s %10s %12s %12s %14s\n", "BYPASS", "BW 1/128Hz", "rise ms",
              "ideal ms", "overshoot %", "settle ms", "final error");
  for (int bypass : {0, 1}) {
    for (int bw : {320, 640, 1280}) {
      DriveTwin t;
      t.set(prop::OBSERVER_BYPASS, bypass);
      t.set(prop::POSITION_BW, bw);
      t.set(prop::MODE, 3);
      const double start = t.plant().shaftAngle() * kCountsPerRad;
      const int32_t p0 = t.get(prop::POSITION);
      t.send(prop::POSITION, p0 + 2000);
      std::vector<double> y;
      for (int n = 0; n < 800; ++n) {
        t.runMs(1);
        y.push_back(t.plant().shaftAngle() * kCountsPerRad - start);
      }
      const Step s = analyse(y, 0.0);
      const double ideal = std::log(9.0) / (2 * std::numbers::pi * bw / 128.0) * 1e3;
      std::printf("  %-8d %-10d %10.1f %10.1f %12.1f %12.1f %14.1f\n", bypass, bw, s.rise, ideal,
                  s.overshoot, s.settle, y.back() - 2000.0);
    }
  }

  std::printf(
      "\nprofile move (mode 5) of 20000 counts: steps of 652 counts, VELOCITY_LIMIT and\n"
      "ACCEL_LIMIT in the profile's units (steps/s, steps/s per 3.3 ms call)\n");
  std::printf("  %-8s %14s %14s %14s\n", "BYPASS", "duration ms", "ideal ms", "final error");
  for (int bypass : {0, 1}) {
    DriveTwin t;
    t.set(prop::OBSERVER_BYPASS, bypass);
    const int vmax = t.get(prop::VELOCITY_LIMIT);
    const int accel = t.get(prop::ACCEL_LIMIT);
    t.set(prop::LOWER_LIMIT, 0);
    t.set(prop::UPPER_LIMIT, 65536);
    t.set(prop::HOMED, 1);
    t.set(prop::PROFILE_START, 65536);
    const double start = t.plant().shaftAngle() * kCountsPerRad;
    const int32_t p0 = t.get(prop::POSITION);
    const int target = 20000;
    t.send(prop::SCALED_TARGET, target);
    double done_ms = NAN;
    for (int n = 0; n < 3000; ++n) {
      t.runMs(1);
      const double at = t.plant().shaftAngle() * kCountsPerRad - start + p0;
      if (std::isnan(done_ms) && std::fabs(at - target) <= 25) done_ms = n + 1;
    }
    const double at = t.plant().shaftAngle() * kCountsPerRad - start + p0;
    // Ideal trapezoid of the profile's own limits, in counts.
    const double d = (target - p0);
    const double v = vmax * 652.0;
    const double a = accel * 652.0 / 0.0033;
    const double ideal = d > v * v / a ? d / v + v / a : 2 * std::sqrt(d / a);
    std::printf("  %-8d %14.1f %14.1f %14.1f\n", bypass, done_ms, ideal * 1e3, at - target);
  }
}

// Simulated seconds per second of wall clock and of this process's processor time. `only`
// picks one run and `seconds` its length: a short fixed run for an instruction-counting
// profiler ("profile" runs 0.25 s of one node in mode 4, "profile 3" of eight).
void speed(int only = -1, double seconds = 2.0) {
  std::printf(
      "\ntwin speed, simulated seconds per second (nodes with the plant, mode 0 unless said)\n");
  std::printf("  %-28s %10s %10s\n", "run", "wall", "cpu");
  struct Run {
    const char* name;
    int nodes;
    int mode;
  } runs[] = {{"1 node", 1, 0},
              {"1 node, mode 4 at 300", 1, 4},
              {"8 nodes", 8, 0},
              {"8 nodes, mode 4 at 300", 8, 4}};
  for (int r = 0; r < 4; ++r) {
    if (only >= 0 && r != only) continue;
    const Run& run = runs[r];
    tavrix::sim::World world;
    std::vector<std::unique_ptr<tavrix::tools::NodeBoard>> boards;
    std::string error;
    const auto defaults = tavrix::tools::shippedFactoryDefaults(&error);
    for (int n = 1; n <= run.nodes; ++n) {
      boards.push_back(std::make_unique<tavrix::tools::NodeBoard>(
          std::make_unique<tavrix::sim::SerialEeprom>(tavrix::sim::SerialEepromConfig{})));
      boards.back()->writeFactorySetIfBlank(*defaults, n);
      boards.back()->attach(world, "node" + std::to_string(n));
    }
    auto& host = world.addHostEndpoint();
    world.runFor(tavrix::sim::fromMillis(20));
    if (run.mode != 0) {
      for (int n = 1; n <= run.nodes; ++n) {
        for (auto [k, v] : {std::pair<int, int>{prop::MODE, run.mode}, {prop::VELOCITY, 300}}) {
          tavrix::sim::CanMessage m;
          m.id = static_cast<uint32_t>(n);
          m.length = 4;
          m.data[0] = static_cast<uint8_t>(0x80 | k);
          m.data[2] = static_cast<uint8_t>(v);
          m.data[3] = static_cast<uint8_t>(v >> 8);
          host.send(m);
        }
      }
      world.runFor(tavrix::sim::fromMillis(20));
    }
    const auto wall0 = std::chrono::steady_clock::now();
    const std::clock_t cpu0 = std::clock();
    world.runFor(static_cast<tavrix::sim::SimTime>(seconds * tavrix::sim::kBusClockHz));
    const double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("  %-28s %10.1f %10.1f\n", run.name, seconds / wall, seconds / cpu);
  }
}

void homing() {
  std::printf(
      "\nhoming against both stops (travel measured), then profile moves to scaled 16384, 49152, "
      "32768\n");
  std::printf("  %-14s %10s %14s %14s %24s\n", "HOME_VELOCITY", "homing ms", "lower error",
              "upper error", "move errors (counts)");
  for (int v : {100, -100}) {
    const tavrix::tools::HomingFigures f = tavrix::tools::measureHoming(v);
    std::printf("  %-14d %10.0f %14.1f %14.1f %10.1f %6.1f %6.1f%s\n", v, f.homingMs, f.lowerError,
                f.upperError, f.moveError[0], f.moveError[1], f.moveError[2],
                f.homed ? "" : "  (not homed)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("reference drive in the twin (sim/data/reference_drive.conf)\n");
  const std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "current") currentSteps();
  if (only.empty() || only == "velocity") velocitySteps();
  if (only.empty() || only == "position") positionMoves();
  if (only.empty() || only == "speed") speed();
  if (only.empty() || only == "homing") homing();
  // profile [RUN [SECONDS]]: run 1 (one node in mode 4) or another of speed's runs, 0.25 s
  // simulated unless said.
  if (only == "profile") {
    speed(argc > 2 ? std::atoi(argv[2]) : 1, argc > 3 ? std::atof(argv[3]) : 0.25);
  }
  return 0;
}
