#include "tools/tavrix-sim/scenarios.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace tavrix::tools {
namespace {

class ShortScenario : public ::testing::TestWithParam<std::string> {};

// Each scenario's short form passes its own checks; the report goes to the test's output.
TEST_P(ShortScenario, Passes) {
  std::ostringstream out, err;
  const int result = runScenario(GetParam(), true, out, err);
  std::cout << out.str();
  EXPECT_EQ(result, 0) << err.str();
}

INSTANTIATE_TEST_SUITE_P(Twin, ShortScenario, ::testing::ValuesIn(scenarioNames()));

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
