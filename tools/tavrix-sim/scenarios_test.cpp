#include "tools/tavrix-sim/scenarios.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

namespace tavrix::tools {
namespace {

// The scenario passes its own checks; the report goes to the test's output.
void expectPasses(const std::string& name, bool shortForm) {
  std::ostringstream out, err;
  const int result = runScenario(name, shortForm, out, err);
  std::cout << out.str();
  EXPECT_EQ(result, 0) << err.str();
}

class ShortScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(ShortScenario, Passes) {
  expectPasses(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Twin, ShortScenario, ::testing::ValuesIn(scenarioNames()));

// The full forms of the quicker scenarios too: their longer steps reach further (the velocity
// steps once ran the shaft into the axis' hard stop). The others take seconds under the
// sanitizers and run by hand.
class FullScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(FullScenario, Passes) {
  expectPasses(GetParam(), false);
}

INSTANTIATE_TEST_SUITE_P(Twin, FullScenario,
                         ::testing::Values("torque", "velocity", "move", "foldback", "fet-test"));

// The plant's noise is seeded and the world deterministic: a second run reports the same bytes.
TEST(Scenario, TwoRunsGiveTheSameReport) {
  std::ostringstream first, second, err;
  runScenario("foldback", true, first, err);
  runScenario("foldback", true, second, err);
  EXPECT_EQ(first.str(), second.str());
  EXPECT_NE(first.str().find("plant iq"), std::string::npos);
}

TEST(Scenario, UnknownNameIsAUsageError) {
  std::ostringstream out, err;
  EXPECT_EQ(runScenario("juggle", true, out, err), 2);
  EXPECT_NE(err.str().find("juggle"), std::string::npos);
}

}  // namespace
}  // namespace tavrix::tools
