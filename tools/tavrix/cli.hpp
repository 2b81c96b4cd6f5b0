// The operator command line: `tavrix [global options] VERB [args]`, one action per run.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/tavrix/bus.hpp"

namespace tavrix::cli {

// What a run sees of the process around it; tests give their own.
struct Environment {
  std::function<std::optional<std::string>(const char*)> env;
  std::vector<std::string> config_files;  // python-can's configuration files
  std::istream* in = nullptr;             // for `script -` and confirmations
  bool stdin_is_terminal = false;
  bool stderr_is_terminal = false;
  // Opens the bus; the default connects for real. Tests may hand in a bus of their own.
  std::function<std::unique_ptr<Bus>(const BusAddress&)> open;

  static Environment process();
};

// Runs one command line (without the program name). Data goes to `out`, progress and
// diagnostics to `err`; returns the exit code.
int runTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            Environment& environment);

}  // namespace tavrix::cli
