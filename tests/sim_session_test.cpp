// A scripted host session through the simulator's command line, checked on its candump output
// and on the EEPROM image files it leaves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/properties/property_table.hpp"
#include "sim/bus/candump.hpp"

namespace {

namespace fs = std::filesystem;
using tavrix::sim::CandumpLine;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SimSession : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("tavrix_session_" + std::string(::testing::UnitTest::GetInstance()
                                                ->current_test_info()
                                                ->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the simulator with `args`; returns its exit status and leaves stdout in `out`.
  int run(const std::string& args, std::string* out) {
    const fs::path stdoutFile = dir_ / "stdout.log";
    const std::string cmd = std::string(TAVRIX_SIM_BINARY) + " " + args + " > '" +
                            stdoutFile.string() + "' 2> '" + (dir_ / "stderr.log").string() + "'";
    const int status = std::system(cmd.c_str());
    if (out) *out = readFile(stdoutFile);
    return status;
  }

  // The frames of a candump log, without their times.
  static std::vector<std::string> frames(const std::string& log) {
    std::istringstream in(log);
    const auto script = tavrix::sim::readCandumpScript(in);
    EXPECT_TRUE(script.ok()) << "line " << script.error_line;
    std::vector<std::string> out;
    for (const CandumpLine& l : script.lines) {
      const std::string line = tavrix::sim::formatCandumpLine(0, l.message);
      out.push_back(line.substr(line.find(' ', line.find(')')) + 1));
    }
    return out;
  }

  fs::path dir_;
};

const std::string kSession = std::string(TAVRIX_SESSIONS_DIR) + "/property_session.log";

TEST_F(SimSession, PropertyProtocolSessionGivesTheExpectedTraffic) {
  const std::string common = "--node 5 --node 7 --factory --eeprom-dir '" +
                             (dir_ / "eeprom").string() + "' --duration 250ms";
  ASSERT_EQ(run(common, nullptr), 0);  // first boot writes the factory images
  const std::string before = readFile(dir_ / "eeprom" / "node5.eeprom");
  ASSERT_EQ(before.size(), 8192u);

  std::string log;
  ASSERT_EQ(run(common + " --script '" + kSession + "'", &log), 0);
  // Host requests and node replies interleave; the replies carry the node's own identifier.
  const std::vector<std::string> expected = {
      "can0 005#08",           "can0 4A6#88000000",       // get MODE after start: 0, not -1
      "can0 005#B800A0860100",                             // set of a 32-bit pair: silent
      "can0 005#38",           "can0 4A6#B800A0860100",   // 32-bit get: 6 bytes
      "can0 005#31",           "can0 4A6#B1000000",       // upper element reads 0
      "can0 005#89003800",                                 // save 56
      "can0 401#03",           "can0 4A6#83000500",       // group 1: both nodes answer,
      "can0 4E6#83000700",                                 // lower identifier first
      "can0 005#83000900",                                 // node 5 becomes node 9
      "can0 009#03",           "can0 526#83000900",       // answers at its new address
      "can0 005#03",                                       // the old one is not accepted
      "can0 007#9A007B00",                                 // SAVED_26 = 123, not saved
      "can0 007#1A",           "can0 4E6#9A007B00",
      "can0 007#5AA6",                                     // reset frame
      "can0 007#1A",           "can0 4E6#9A000000",       // restarted: the stored 0 again
      "can0 009#85000000",                                 // STATUS = 0 restarts node 9 ...
      "can0 005#38",           "can0 4A6#B800A0860100",   // ... as node 5, saved limit restored
      "can0 005#B80001000000",
      "can0 005#38",           "can0 4A6#B80001000000",
      "can0 005#9F003800",                                 // load 56
      "can0 005#38",           "can0 4A6#B800A0860100",
      "can0 007#0102",                                     // node 7 switches to CANopen,
      "can0 707#7F",                                       // sends its first heartbeat ...
      "can0 007#08",                                       // ... and answers no property get
      "can0 005#08",           "can0 4A6#88000000",       // node 5 still does
  };
  EXPECT_EQ(frames(log), expected) << log;

  // The save changed exactly the four bytes of the pair at 2 x 56; nothing else was written.
  const std::string after = readFile(dir_ / "eeprom" / "node5.eeprom");
  ASSERT_EQ(after.size(), before.size());
  std::vector<size_t> changed;
  for (size_t i = 0; i < after.size(); ++i) {
    if (after[i] != before[i]) changed.push_back(i);
  }
  const size_t at = 2 * tavrix::prop::UPPER_LIMIT;
  EXPECT_EQ(changed, (std::vector<size_t>{at, at + 1, at + 2}));  // 100000 = 0x000186A0
  EXPECT_EQ(static_cast<uint8_t>(after[at]), 0xA0);
  EXPECT_EQ(static_cast<uint8_t>(after[at + 1]), 0x86);
  EXPECT_EQ(static_cast<uint8_t>(after[at + 2]), 0x01);
  EXPECT_EQ(static_cast<uint8_t>(after[at + 3]), 0x00);
}

TEST_F(SimSession, IdenticalRunsGiveIdenticalBytes) {
  const std::string args = "--node 5 --node 7 --duration 200ms --script '" + kSession + "'";
  std::string first, second;
  ASSERT_EQ(run(args, &first), 0);
  ASSERT_EQ(run(args + " --record '" + (dir_ / "rec.log").string() + "'", &second), 0);
  EXPECT_FALSE(first.empty());
  EXPECT_TRUE(second.empty());  // the traffic went to the record file
  EXPECT_EQ(readFile(dir_ / "rec.log"), first);
}

TEST_F(SimSession, UsageErrorsExitWithStatusTwo) {
  for (const char* args : {"", "--node 32", "--node 5 --duration soon", "--node 5 --bogus"}) {
    const int status = run(args, nullptr);
    ASSERT_TRUE(WIFEXITED(status)) << args;
    EXPECT_EQ(WEXITSTATUS(status), 2) << args;
  }
  std::string help;
  EXPECT_EQ(run("--help", &help), 0);
  EXPECT_NE(help.find("--eeprom-dir"), std::string::npos);
}

TEST_F(SimSession, MalformedScriptIsReportedWithItsLine) {
  std::ofstream(dir_ / "bad.log") << "(0.001000) can0 005#08\n(0.002000) can0 005#0\n";
  std::string out;
  const int status = run("--node 5 --script '" + (dir_ / "bad.log").string() + "'", &out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(readFile(dir_ / "stderr.log").find("bad.log:2"), std::string::npos);
}

}  // namespace
