#include "tools/tavrix-sim/cli.hpp"

#include <gtest/gtest.h>

namespace tavrix::tools {
namespace {

TEST(SimCli, Durations) {
  struct Case {
    const char* text;
    std::optional<sim::SimTime> clk;
  } cases[] = {
      {"2s", 80'000'000},     {"150ms", 6'000'000}, {"250us", 10'000}, {"1.5s", 60'000'000},
      {"3", 120'000'000},     {"0.025", 1'000'000}, {"0ms", 0},        {"1.25ms", 50'000},
      {"", std::nullopt},     {"ms", std::nullopt}, {"-1s", std::nullopt}, {"1.s", std::nullopt},
      {"1x", std::nullopt},   {"1.2.3s", std::nullopt}, {"99999999999999999s", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseDuration(c.text), c.clk) << c.text;
}

TEST(SimCli, OptionsAndTheirErrors) {
  std::string error;
  const auto o = parseOptions({"--node", "5", "--node", "7", "--eeprom-dir", "d", "--factory",
                               "--script", "s.log", "--duration", "20ms", "--record", "r.log"},
                              &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->nodes, (std::vector<int>{5, 7}));
  EXPECT_EQ(o->eepromDir, std::filesystem::path("d"));
  EXPECT_TRUE(o->factory);
  EXPECT_EQ(o->script, std::filesystem::path("s.log"));
  EXPECT_EQ(o->duration_clk, sim::fromMillis(20));
  EXPECT_EQ(o->record, std::filesystem::path("r.log"));

  struct Bad {
    std::vector<std::string> args;
    const char* why;
  } bad[] = {
      {{}, "no node"},
      {{"--node"}, "needs a node number"},
      {{"--node", "32"}, "0..31"},
      {{"--node", "5x"}, "0..31"},
      {{"--node", "5", "--node", "5"}, "twice"},
      {{"--node", "5", "--duration"}, "--duration"},
      {{"--node", "5", "--frobnicate"}, "unknown option"},
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(parseOptions(b.args, &error));
    EXPECT_NE(error.find(b.why), std::string::npos) << error;
  }
  const auto help = parseOptions({"--help"}, &error);
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->help);
}

}  // namespace
}  // namespace tavrix::tools
