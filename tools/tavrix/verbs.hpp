// The verbs of the command line, each one action on the bus (or on files).
#pragma once

#include <string>
#include <vector>

#include "tools/tavrix/session.hpp"

namespace tavrix::cli {

// Everything the verbs' own arguments and options can carry.
struct VerbArgs {
  std::vector<std::string> names;
  std::string name;
  std::string value;
  bool no_check = false;
  bool allow_two_byte = false;
  std::vector<std::string> inputs;
  int64_t count = -1;
  int64_t duration_ms = -1;
  std::string protocol = "auto";
  double rate_hz = 10.0;
  std::string output;
  bool dry_run = false;
  bool with_node_id = false;
  bool with_calibration = false;
  bool wait = false;
  double max_wait_s = 60.0;
  // The EEPROM test: about 14 s of node time, a minute on a twin whose image is a file.
  double selftest_wait_s = 300.0;
  bool scaled = false;
  int64_t tolerance = 20;
  int64_t step = 0;
  std::vector<std::string> plots;
  bool allow_gaps = false;
  bool force = false;
  std::string index_text;
  std::string sub_text;
  std::string type;
  std::string eds;
  int dlc = 0;
  std::string direction;
  int pdo_number = 1;
  std::string cob_id_text;
  int transmission = -1;
  std::vector<std::string> entries;
  int64_t period_ms = 0;
};

// Runs the verb at `path` ("get", "config dump", "canopen sdo read", ...). Throws Failure.
void runVerb(const std::string& path, Session& s, VerbArgs& a);

// Runs one line of a script with the script's global options as defaults; returns its exit code.
int runScriptLine(const std::vector<std::string>& args, Session& parent);

}  // namespace tavrix::cli
