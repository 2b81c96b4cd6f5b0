#include "tools/tavrix/monitor.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tools/tavrix/bus.hpp"
#include "tools/tavrix/cli.hpp"
#include "tools/tavrix/tool_run_test.hpp"

namespace tavrix::cli {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using testing::tool;
using testing::ToolRun;

// Recorded sessions on the twin (property gets, sets and replies of two nodes; a switch to
// CANopen with SDO transfers, aborts and SYNC; a torque step recorded and dumped by the logger),
// decoded against outputs checked by hand.
TEST(MonitorGolden, RecordedSessionsDecodeAsBefore) {
  const std::string dir = TAVRIX_CLI_TESTDATA;
  for (const char* name : {"property_session", "canopen_session", "logger_dump"}) {
    SCOPED_TRACE(name);
    const ToolRun r = tool({"monitor", "--input", dir + "/" + name + ".log"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, slurp(dir + "/" + name + ".txt"));
  }
  const ToolRun j = tool({"--format", "json", "monitor", "--input", dir + "/canopen_session.log"});
  EXPECT_EQ(j.out, slurp(dir + "/canopen_session.jsonl"));
}

TEST(MonitorGolden, MalformedLineNamesFileAndLine) {
  const std::string path = ::testing::TempDir() + "tavrix-bad.log";
  std::ofstream(path) << "(1.000000) can0 005#08\n# comment\n\n(1.1) can0 005#0\n";
  const ToolRun r = tool({"monitor", "--input", path});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("tavrix-bad.log:4"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("get MODE (8) -> node 5"), 46u);
}

std::string decode(TrafficDecoder& d, const std::string& frame) {
  return d.describe(*parseFrameText(frame));
}

TEST(TrafficDecoder, FollowsWhichNodesSpeakCanopen) {
  TrafficDecoder d;
  EXPECT_EQ(decode(d, "005#08"), "get MODE (8) -> node 5");
  EXPECT_EQ(decode(d, "185#010203"), "get MACHINE (1) -> node 5 (from 12)");
  EXPECT_EQ(decode(d, "005#A5"), "set STEP_CURRENT = 0 -> node 5 [short frame: the node reads stale bytes]");
  EXPECT_EQ(decode(d, "000#0105"),
            "NMT start -> node 5; switches every node in property mode to CANopen until reset");
  EXPECT_EQ(decode(d, "185#0102"), "TPDO1 from node 5: 01 02");
  EXPECT_EQ(decode(d, "205#00"), "RPDO1 to node 5: 00");
  EXPECT_EQ(decode(d, "085#0000000000000000"), "EMCY from node 5: code 0x0000, error register 0x00");
  EXPECT_EQ(decode(d, "000#8105"), "NMT reset-node -> node 5");
  // Back in the property protocol after the reset.
  EXPECT_EQ(decode(d, "005#08"), "get MODE (8) -> node 5");
  EXPECT_EQ(decode(d, "005#5AA6"), "reset frame: node 5 restarts");
  // The broadcast NMT frame switched node 7 as well; it has not been reset.
  EXPECT_EQ(decode(d, "007#08"), "get MODE (8) -> node 7 (ignored: node 7 speaks CANopen)");
  EXPECT_EQ(decode(d, "005#1234"), "two-byte frame: switches node 5 to CANopen until reset");
  EXPECT_EQ(decode(d, "005#08"), "get MODE (8) -> node 5 (ignored: node 5 speaks CANopen)");
}

TEST(TrafficDecoder, AnswersAndWordsOfNodesNotSeenBefore) {
  TrafficDecoder d;
  EXPECT_EQ(decode(d, "701#05"), "heartbeat from node 1: operational");
  EXPECT_EQ(decode(d, "581#80001810000000FF"),
            "SDO from node 1: 0x1800 sub 16 aborted, 0xFF000000 unknown abort code");
  EXPECT_EQ(decode(d, "4AE#01000000"), "log word 16 from node 5: 1");
  EXPECT_EQ(decode(d, "4AF#FFFFFFFF"), "log word 17 from node 5: -1");
  EXPECT_EQ(decode(d, "4BF#00010000"), "log word 15 from node 5: 256");
  EXPECT_EQ(decode(d, "4A5#01000000"), "TPDO4 from node 37: 01 00 00 00");
  EXPECT_EQ(decode(d, "7A5#01"), "frame to group 5, which no node listens to");
  EXPECT_EQ(decode(d, "080#"), "SYNC");
  EXPECT_EQ(decode(d, "003#9D009001"), "set ACTION 144: nothing -> node 3");
  EXPECT_EQ(decode(d, "003#9D000D00"), "set ACTION 13: home -> node 3");
  EXPECT_EQ(decode(d, "003#89003800"), "set save UPPER_LIMIT (56) -> node 3");
  EXPECT_EQ(decode(d, "003#A1000200"), "set CALIBRATE 2: nothing -> node 3");
}

TEST(TrafficDecoder, ForcedProtocol) {
  TrafficDecoder co(TrafficDecoder::Protocol::kCanopen);
  EXPECT_EQ(decode(co, "005#08"), "not a CANopen frame this node uses");
  EXPECT_EQ(decode(co, "605#4008100000000000"), "SDO read 0x1008 sub 0 -> node 5");
  TrafficDecoder prop(TrafficDecoder::Protocol::kProperty);
  EXPECT_EQ(decode(prop, "000#0105"), "not a property-protocol frame");
  EXPECT_EQ(decode(prop, "701#05"), "get STATUS (5) -> group 1 (from 24)");
}

}  // namespace
}  // namespace tavrix::cli
