// Runs the tool in-process, as the command line would, with no environment variables set, and
// keeps its exit code and both output streams (for the tool's unit tests).
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tools/tavrix/cli.hpp"

namespace tavrix::cli::testing {

struct ToolRun {
  int code;
  std::string out, err;
};

inline ToolRun tool(const std::vector<std::string>& args) {
  Environment env;
  env.env = [](const char*) { return std::nullopt; };
  std::ostringstream out, err;
  const int code = runTool(args, out, err, env);
  return {code, out.str(), err.str()};
}

}  // namespace tavrix::cli::testing
