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

#include <ostream>
#include <string>
#include <vector>

namespace tavrix::tools {

// The names runScenario knows, in the order above.
const std::vector<std::string>& scenarioNames();

// Runs one scenario; returns 0 when every check passed, 1 when one failed, 2 for an unknown
// name (described on `err`).
int runScenario(const std::string& name, bool shortForm, std::ostream& out, std::ostream& err);

}  // namespace tavrix::tools
