// Scenarios: a node of the reference drive commanded through the property protocol only, as a
// host on the bus would, with the plant's true state printed beside what the node reports.
// Each scenario prints a short report and fails (non-zero) when one of its checks does.
//
//   offset    CALIBRATE 61: the electrical offset found, saved in the EEPROM
//   torque    mode 2 steps; q current read back by gets of Q_CURRENT
//   velocity  mode 4 steps in both directions; measured velocity by gets of VELOCITY
//   move      mode 3 steps, then a mode 5 profile through PROFILE_START
//   overtemp  a stalled shaft heats the winding until the over-temperature stop latches
//   foldback  a torque above the continuous level is folded back after its time
//
// The short form shortens the runs for the test command; the checks are the same.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/world/world.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix::tools {

// One node (number 1) of the reference drive with its factory set, on a bus with a host: what
// the scenarios and the benchmark drive. Everything the node learns comes through CAN frames.
class DriveTwin {
 public:
  static constexpr int kNode = 1;
  // `prepare` may change the EEPROM image before the node starts.
  explicit DriveTwin(const std::function<void(sim::SerialEeprom&)>& prepare = {});

  void runMs(double ms);
  // A property-protocol set of `k` (32-bit for the pairs and PROFILE_START), queued on the bus.
  void send(int16_t k, int32_t value);
  // send, then 1 ms for the node to take it.
  void set(int16_t k, int32_t value);
  // The node's reply to a get of `k` after 1 ms, sign-extended; INT32_MIN without a reply.
  int32_t get(int16_t k);

  sim::Pmsm& plant() { return board_.drive.plant(); }
  sim::DriveBoard& drive() { return board_.drive; }
  sim::SerialEeprom& eeprom() { return *board_.eeprom; }
  sim::World& world() { return world_; }
  double torqueUnitA() const;  // amperes of q current per TORQUE unit
  double countsPerA() const;   // Q_CURRENT units per ampere

 private:
  sim::World world_;
  NodeBoard board_;
  sim::HostEndpoint* host_ = nullptr;
};

// The checks and lines of one scenario's report; a failed check makes the scenario fail.
class ScenarioReport {
 public:
  explicit ScenarioReport(std::ostream& out) : out_(out) {}
  bool check(bool ok, const std::string& what) {
    out_ << (ok ? "  ok    " : "  FAIL  ") << what << "\n";
    failed_ = failed_ || !ok;
    return ok;
  }
  void line(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    char buf[320];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    out_ << "  " << buf << "\n";
  }
  int result() const { return failed_ ? 1 : 0; }

 private:
  std::ostream& out_;
  bool failed_ = false;
};

// The names runScenario knows, in the order above.
const std::vector<std::string>& scenarioNames();

// Runs one scenario; returns 0 when every check passed, 1 when one failed, 2 for an unknown
// name (described on `err`).
int runScenario(const std::string& name, bool shortForm, std::ostream& out, std::ostream& err);

}  // namespace tavrix::tools
