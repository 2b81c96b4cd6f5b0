// Commissioning scenarios: what an engineer does to a new axis on the bench, run on one node of
// the reference drive through host CAN frames only, each step checked against the plant's truth.
//
//   current-zero  CALIBRATE 62: the measured current-sense zero against the sensor's true offset
//   home          ACTION 13 with both signs of HOME_VELOCITY, travel measured and travel given:
//                 the limits against the true stop positions minus the back-offs
//   scaled-move   SCALED_TARGET 0, 16384, 65535 in modes 3 and 5, a running profile retargeted
//   fet-test      the bridge switch test in status 4: six codes and two inert ones, the statistics
//                 of gets 35..38 against the currents the sensor saw
//   torque-step   a logger recording of a torque step in mode 2, dumped frame by frame, the
//                 records rebuilt and written as CSV
//   autohome      start-up with AUTOHOME_DELAY > 0; a host homing cancels the pending one
//   commission    the whole session from factory defaults (zero, offset, homing, three scaled
//                 moves, a recorded torque step) with a report of each step against the truth
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tavrix::tools {

const std::vector<std::string>& commissioningScenarioNames();

// Homing of the reference drive from factory defaults with HOME_VELOCITY `homeVelocity` (travel
// measured), then profile moves (mode 5) to the scaled positions 16384, 49152 and 32768: the
// errors against the plant, in counts.
struct HomingFigures {
  bool homed = false;
  double homingMs = 0;
  double lowerError = 0;          // position 0 - (lower stop + BACKOFF_LOW)
  double upperError = 0;          // UPPER_LIMIT - (upper stop - BACKOFF_HIGH)
  std::vector<double> moveError;  // shaft - scaled target after each move has settled
};
HomingFigures measureHoming(int homeVelocity);

// Runs one commissioning scenario, writing its checks to `out`; 0 when all passed, 1 when one
// failed, 2 for an unknown name. `csvPath` (or else the environment's TAVRIX_STEP_CSV), when not
// empty, receives the torque step's records as CSV (torque-step and commission).
int runCommissioningScenario(const std::string& name, bool shortForm, std::ostream& out,
                             const std::string& csvPath = {});

}  // namespace tavrix::tools
