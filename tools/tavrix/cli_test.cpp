#include "tools/tavrix/cli.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "tools/tavrix/config_file.hpp"
#include "tools/tavrix/tool_run_test.hpp"

namespace tavrix::cli {
namespace {

using testing::tool;
using testing::ToolRun;

TEST(CommandLine, EveryVerbsHelpHasAnExample) {
  const std::vector<std::vector<std::string>> verbs = {
      {"props"}, {"scan"}, {"get"}, {"set"}, {"save"}, {"load"}, {"status"}, {"mode"},
      {"stop"}, {"send"}, {"reset"}, {"script"}, {"monitor"}, {"watch"}, {"config", "dump"},
      {"config", "restore"}, {"home"}, {"move"}, {"calibrate"}, {"selftest"},
      {"log", "record"}, {"log", "dump"}, {"canopen", "enter"}, {"canopen", "nmt"},
      {"canopen", "sdo", "read"}, {"canopen", "sdo", "write"}, {"canopen", "pdo", "show"},
      {"canopen", "pdo", "map"}, {"canopen", "sync"}, {"canopen", "hb", "watch"}};
  for (std::vector<std::string> v : verbs) {
    std::string name;
    for (const std::string& w : v) name += (name.empty() ? "" : " ") + w;
    SCOPED_TRACE(name);
    v.push_back("--help");
    const ToolRun r = tool(v);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Example:\n  tavrix"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(name), std::string::npos);
  }
  // The step side effect is stated where the logger is driven.
  EXPECT_NE(tool({"log", "record", "--help"}).out.find("about 15 ms later"), std::string::npos);
  EXPECT_NE(tool({"log", "dump", "--help"}).out.find("about 15 ms later"), std::string::npos);
  const ToolRun top = tool({"--help"});
  EXPECT_NE(top.out.find("Exit codes: 0 ok; 1 refused"), std::string::npos);
}

TEST(CommandLine, UsageErrorsExitTwoBeforeAnyBusIsOpened) {
  // No bus is configured in these runs: each must fail on its arguments first.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"nosuchverb"},
           {"get"},
           {"--format", "xml", "props"},
           {"-n", "5", "-g", "1", "get", "MODE"},
           {"-n", "40", "status"},
           {"-g", "2", "get", "MODE"},
           {"set", "MODE", "2"},
           {"-n", "5", "set", "NO_SUCH", "1"},
           {"-n", "5", "mode", "fast"},
           {"-n", "all", "canopen", "sdo", "read", "0x1000", "0"},
           {"-n", "5", "canopen", "sdo", "write", "0x1400", "2", "--type", "u8", "256"},
           {"-n", "5", "canopen", "sdo", "write", "0x1400", "2", "--type", "u9", "1"},
           {"-n", "5", "canopen", "pdo", "map", "tpdo", "1", "0x6060:0:12"},
           {"-n", "5", "log", "record", "--step", "2"},
           {"send", "12345#00"},
           {"-g", "1", "canopen", "nmt", "start"}}) {
    std::string line;
    for (const std::string& a : args) line += a + " ";
    const ToolRun r = tool(args);
    EXPECT_EQ(r.code, 2) << line << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("tavrix: ", 0), 0u) << line;
  }
}

TEST(CommandLine, NoBusConfiguredIsBusUnavailable) {
  const ToolRun r = tool({"-n", "5", "get", "MODE"});
  EXPECT_EQ(r.code, 5);
  EXPECT_NE(r.err.find("TAVRIX_BUS"), std::string::npos);
}

TEST(CommandLine, SendRefusesTwoBytesBeforeTouchingTheBus) {
  const ToolRun r = tool({"send", "005#5AA6"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("--allow-two-byte"), std::string::npos);
}

TEST(ConfigJson, CarriesHeaderAndEveryValue) {
  const std::string j = formatConfigJson({5, 4215, "2026-01-01T00:00:00Z"}, {{43, 800}, {74, -1}});
  EXPECT_EQ(j,
            "{\"node\":5,\"firmware_id\":4215,\"date\":\"2026-01-01T00:00:00Z\",\"properties\":["
            "{\"name\":\"TORQUE_LIMIT\",\"number\":43,\"value\":800},"
            "{\"name\":\"BACKOFF_HIGH\",\"number\":74,\"value\":-1}]}\n");
}

}  // namespace
}  // namespace tavrix::cli
