#include <iostream>

#include "tools/tavrix/cli.hpp"
#include "tools/tavrix/errors.hpp"

int main(int argc, char** argv) {
  tavrix::cli::installInterruptHandler();
  std::vector<std::string> args(argv + 1, argv + argc);
  auto env = tavrix::cli::Environment::process();
  return tavrix::cli::runTool(args, std::cout, std::cerr, env);
}
