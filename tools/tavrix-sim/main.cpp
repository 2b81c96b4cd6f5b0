#include <iostream>
#include <string>
#include <vector>

#include "tools/tavrix-sim/cli.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = tavrix::tools::parseOptions(args, &error);
  if (!options) {
    std::cerr << "tavrix-sim: " << error << "\n(see tavrix-sim --help)\n";
    return 2;
  }
  if (options->help) {
    std::cout << tavrix::tools::kUsage;
    return 0;
  }
  return tavrix::tools::runSimulation(*options, std::cout, std::cerr);
}
