#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/tavrix-sim/cli.hpp"
#include "tools/tavrix-sim/scenarios.hpp"

namespace {

// The signal that asked the run to end; the loop looks at it between slices of simulated time.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void onStopSignal(int signal) {
  g_stop_signal = signal;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = tavrix::tools::parseOptions(args, &error);
  if (!options) {
    std::cerr << "tavrix-sim: " << error << "\n(see tavrix-sim --help)\n";
    return 2;
  }
  if (options->help) {
    std::cout << options->helpText;
    return 0;
  }
  if (options->eds) return tavrix::tools::exportEds(*options->eds, std::cerr);
  if (options->scenario) {
    const int status =
        tavrix::tools::runScenario(*options->scenario, options->shortForm, std::cout, std::cerr);
    std::cout.flush();
    return status;
  }

  // SIGINT and SIGTERM end the run between two slices: every line written whole, the output
  // flushed, every EEPROM write the firmware saw completed already in its image file.
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  tavrix::tools::RunContext context{std::cout, std::cerr};
  context.stop = &g_stop_signal;
  context.progress = ::isatty(STDERR_FILENO) == 1;
  const int status = tavrix::tools::runSimulation(*options, context);
  const int signal = g_stop_signal;
  if (signal != 0 && status == tavrix::tools::kSignalStatusBase + signal) {
    // End by the same signal, so the caller (a shell, a script) sees how the run ended.
    std::cout.flush();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
  return status;
}
