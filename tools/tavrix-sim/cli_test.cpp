#include "tools/tavrix-sim/cli.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tools/tavrix-sim/eds.hpp"

namespace tavrix::tools {
namespace {

TEST(SimCli, Durations) {
  struct Case {
    const char* text;
    std::optional<sim::SimTime> clk;
  } cases[] = {
      {"2s", 80'000'000},   {"150ms", 6'000'000},     {"250us", 10'000},
      {"1.5s", 60'000'000}, {"3", 120'000'000},       {"0.025", 1'000'000},
      {"0ms", 0},           {"1.25ms", 50'000},       {"", std::nullopt},
      {"ms", std::nullopt}, {"-1s", std::nullopt},    {"1.s", std::nullopt},
      {"1x", std::nullopt}, {"1.2.3s", std::nullopt}, {"99999999999999999s", std::nullopt},
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

TEST(SimCli, ScenarioAndEdsAreJobsOfTheirOwn) {
  std::string error;
  const auto scenario = parseOptions({"--scenario", "torque", "--short"}, &error);
  ASSERT_TRUE(scenario) << error;
  EXPECT_EQ(scenario->scenario, "torque");
  EXPECT_TRUE(scenario->shortForm);
  EXPECT_FALSE(scenario->eds);
  // The help names every scenario runScenario knows.
  const std::string help = usage();
  for (const char* name : {"torque", "foldback", "home", "torque-step", "commission"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
  const auto eds = parseOptions({"--eds", "node.eds"}, &error);
  ASSERT_TRUE(eds) << error;
  EXPECT_EQ(eds->eds, std::filesystem::path("node.eds"));
  EXPECT_FALSE(eds->scenario);

  struct Bad {
    std::vector<std::string> args;
    const char* why;
  } bad[] = {
      {{"--scenario", "torque", "--eds", "x.eds"}, "separate jobs"},
      {{"--scenario", "torque", "--node", "5"}, "makes its own node"},
      {{"--eds", "x.eds", "--script", "s.log"}, "makes its own node"},
      {{"--node", "5", "--short"}, "--short goes with --scenario"},
      {{"--scenario"}, "--scenario"},
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(parseOptions(b.args, &error)) << b.why;
    EXPECT_NE(error.find(b.why), std::string::npos) << error;
  }

  // The exported file is the generator's output, and an unwritable path is reported.
  const std::filesystem::path out =
      std::filesystem::path(::testing::TempDir()) / "tavrix_cli_export.eds";
  std::ostringstream diagnostics;
  ASSERT_EQ(exportEds(out, diagnostics), 0) << diagnostics.str();
  std::ostringstream expected;
  writeEds(expected);
  std::ifstream written(out, std::ios::binary);
  std::ostringstream got;
  got << written.rdbuf();
  EXPECT_EQ(got.str(), expected.str());
  EXPECT_EQ(exportEds("/dev/full", diagnostics), 1);
  EXPECT_NE(diagnostics.str().find("/dev/full"), std::string::npos);
  std::filesystem::remove(out);
}

TEST(SimCli, FaultsAreParsedAndAppliedToTheRun) {
  std::string error;
  const auto o = parseOptions(
      {"--node", "5", "--fault", "eeprom-stuck:5", "--fault", "power-cut@20ms"}, &error);
  ASSERT_TRUE(o) << error;
  ASSERT_EQ(o->faults.size(), 2u);
  EXPECT_EQ(o->faults[0].kind, FaultKind::kEepromStuck);
  EXPECT_EQ(o->faults[0].node, 5);
  EXPECT_EQ(o->faults[1].kind, FaultKind::kPowerCut);
  EXPECT_EQ(o->faults[1].start, sim::fromMillis(20));
  EXPECT_FALSE(parseOptions({"--node", "5", "--fault", "lightning"}, &error));
  EXPECT_NE(error.find("lightning"), std::string::npos) << error;

  // A power cut ends the run at its instant, whatever the duration asked for.
  SimOptions run = *o;
  run.duration_clk = sim::fromMillis(200);
  std::ostringstream traffic, diagnostics;
  ASSERT_EQ(runSimulation(run, traffic, diagnostics), 0) << diagnostics.str();
  EXPECT_NE(diagnostics.str().find("power cut at 0.020000 s"), std::string::npos)
      << diagnostics.str();

  // A fault naming a node that is not in the run is refused before anything runs.
  SimOptions stray = *parseOptions({"--node", "5", "--fault", "encoder-stuck:9"}, &error);
  std::ostringstream none, why;
  EXPECT_EQ(runSimulation(stray, none, why), 1);
  EXPECT_NE(why.str().find("no node 9"), std::string::npos) << why.str();
  EXPECT_TRUE(none.str().empty());
}

TEST(SimCli, ServeOptions) {
  std::string error;
  const auto plain = parseOptions({"--node", "5"}, &error);
  ASSERT_TRUE(plain) << error;
  EXPECT_FALSE(plain->serve);

  const auto o = parseOptions({"--node", "5", "serve", "--node", "7", "--speed", "2.5", "--port",
                               "0", "--listen", "::1", "--can", "vcan0", "--record", "r.log"},
                              &error);
  ASSERT_TRUE(o) << error;
  EXPECT_TRUE(o->serve);
  EXPECT_EQ(o->nodes, (std::vector<int>{5, 7}));  // options before the subcommand count too
  EXPECT_EQ(o->speed, 2.5);
  EXPECT_EQ(o->port, 0);
  EXPECT_EQ(o->listen, "::1");
  EXPECT_EQ(o->canInterface, "vcan0");
  EXPECT_EQ(o->record, std::filesystem::path("r.log"));
  EXPECT_EQ(o->duration_clk, kRunForever);  // serving runs until stopped ...

  const auto d =
      parseOptions({"serve", "--node", "5", "--speed", "max", "--duration", "3s"}, &error);
  ASSERT_TRUE(d) << error;
  EXPECT_EQ(d->speed, 0.0);
  EXPECT_EQ(d->duration_clk, sim::fromMillis(3000));  // ... or for the time given
  EXPECT_EQ(d->port, 29536);
  EXPECT_EQ(d->listen, "127.0.0.1");  // loopback unless told otherwise

  struct Bad {
    std::vector<std::string> args;
    const char* why;
  } bad[] = {
      {{"serve", "--node", "5", "--speed", "0"}, "speed must be a positive factor or max"},
      {{"serve", "--node", "5", "--speed", "fast"}, "speed must be"},
      {{"serve", "--node", "5", "--port", "65536"}, "port must be 0..65535"},
      {{"serve", "--node", "5", "--port"}, "--port needs a port number"},
      {{"--node", "5", "--port", "1"}, "unknown option --port"},  // serving options need serve
      {{"serve"}, "no node"},
      {{"--node", "5", "bogus"}, "unexpected argument bogus"},
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(parseOptions(b.args, &error)) << b.why;
    EXPECT_NE(error.find(b.why), std::string::npos) << error;
  }
  const auto help = parseOptions({"serve", "--help"}, &error);
  ASSERT_TRUE(help);
  EXPECT_NE(help->helpText.find("--listen"), std::string::npos);
  EXPECT_NE(help->helpText.find("no authentication"), std::string::npos);
  EXPECT_NE(usage().find("--eeprom-dir"), std::string::npos);
}

TEST(SimCli, ProgressLineOnlyWhenAskedFor) {
  std::string error;
  const auto o = parseOptions({"--node", "5", "--duration", "30ms"}, &error);
  ASSERT_TRUE(o) << error;
  for (const bool progress : {false, true}) {
    std::ostringstream traffic, diagnostics;
    RunContext context{traffic, diagnostics};
    context.progress = progress;
    context.progress_after_s = 0;  // from the start
    EXPECT_EQ(runSimulation(*o, context), 0) << diagnostics.str();
    if (progress) {
      EXPECT_NE(diagnostics.str().find("s simulated of 0.0 s"), std::string::npos)
          << diagnostics.str();
      EXPECT_EQ(diagnostics.str().back(), '\n');
    } else {
      EXPECT_EQ(diagnostics.str(), "");
    }
  }
}

TEST(SimCli, AStopRequestEndsTheRunWithTheSignalsStatus) {
  std::string error;
  const auto o = parseOptions({"--node", "5", "--duration", "1000s"}, &error);
  ASSERT_TRUE(o) << error;
  std::ostringstream traffic, diagnostics;
  volatile std::sig_atomic_t stop = 15;  // as a SIGTERM handler leaves it
  RunContext context{traffic, diagnostics};
  context.stop = &stop;
  EXPECT_EQ(runSimulation(*o, context), kSignalStatusBase + 15);
}

}  // namespace
}  // namespace tavrix::tools
