#include "tools/tavrix-sim/commissioning.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/tavrix-sim/scenarios.hpp"

namespace tavrix::tools {
namespace {

class ShortCommissioning : public ::testing::TestWithParam<std::string> {};

// Each short form passes its checks through the simulator's scenario dispatch; the report goes to
// the test's output.
TEST_P(ShortCommissioning, Passes) {
  std::ostringstream out, err;
  const int result = runScenario(GetParam(), true, out, err);
  std::cout << out.str();
  EXPECT_EQ(result, 0) << err.str();
  EXPECT_EQ(out.str().find("FAIL "), std::string::npos);
  EXPECT_NE(out.str().find("  ok "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Twin, ShortCommissioning,
                         ::testing::Values("current-zero", "home", "scaled-move", "fet-test",
                                           "torque-step", "autohome"),
                         [](const auto& test) {
                           std::string n = test.param;
                           for (char& ch : n) ch = ch == '-' ? '_' : ch;
                           return n;
                         });

// The torque step's CSV file: header of the cycle time and the 18 words, one row per record,
// the step visible in the q-current request column.
TEST(Commissioning, TorqueStepWritesTheRecordsAsCsv) {
  const std::string path = ::testing::TempDir() + "commissioning_step.csv";
  std::ostringstream out;
  ASSERT_EQ(runCommissioningScenario("torque-step", true, out, path), 0) << out.str();
  std::ifstream in(path);
  std::string header;
  std::getline(in, header);
  EXPECT_EQ(header,
            "time_s,pwm_a,pwm_b,pwm_c,i_a,i_b,i_c,id_req,iq_req,id_fbck,iq_fbck,ud_req,uq_req,"
            "x_d,x11,x21,velocity_x11,use_estimate,th_rot_el");
  int rows = 0;
  bool stepped = false;
  std::string row;
  while (std::getline(in, row)) {
    ++rows;
    std::istringstream fields(row);
    std::string f;
    for (int col = 0; col <= 8 && std::getline(fields, f, ','); ++col) {
      if (col == 8 && std::stoll(f) != 0) stepped = true;
    }
  }
  EXPECT_EQ(rows, 150);
  EXPECT_TRUE(stepped);
  std::remove(path.c_str());
}

TEST(Commissioning, UnknownNameIsRefused) {
  std::ostringstream out;
  EXPECT_EQ(runCommissioningScenario("juggle", true, out), 2);
  for (const auto& n : commissioningScenarioNames()) {
    EXPECT_EQ(std::count(scenarioNames().begin(), scenarioNames().end(), n), 0) << n;
  }
}

}  // namespace
}  // namespace tavrix::tools
