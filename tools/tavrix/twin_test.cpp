// The command line against the served twin: `tavrix-sim serve` on a free loopback port, started
// and stopped by each test, and the tool run in this process as a user would type it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>
#include <tuple>
#include <sstream>

#include "tools/tavrix/cli.hpp"

extern char** environ;

namespace tavrix::cli {
namespace {

// One served twin with the given nodes, as fast as the host allows.
class ServedTwin {
 public:
  explicit ServedTwin(const std::vector<std::string>& nodes) {
    std::vector<std::string> args = {TAVRIX_SIM, "serve", "--port", "0", "--speed", "max"};
    for (const std::string& n : nodes) {
      args.push_back("--node");
      args.push_back(n);
    }
    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(err_pipe[1]);
    err_fd_ = err_pipe[0];
    // The server names its port on stderr once it listens.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const std::regex port_re("port ([0-9]+)");
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd p{err_fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(err_fd_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
      std::smatch m;
      if (std::regex_search(text, m, port_re)) {
        port_ = std::stoi(m[1]);
        break;
      }
    }
    startup_ = text;
  }
  ~ServedTwin() {
    if (pid_ > 0) {
      ::kill(pid_, SIGINT);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (err_fd_ >= 0) ::close(err_fd_);
  }
  bool up() const { return port_ > 0; }
  std::string bus() const { return "socketcand://127.0.0.1:" + std::to_string(port_) + "/can0"; }
  const std::string& startup() const { return startup_; }

 private:
  pid_t pid_ = -1;
  int err_fd_ = -1;
  int port_ = 0;
  std::string startup_;
};

struct ToolRun {
  int code;
  std::string out, err;
};

class Twin : public ::testing::Test {
 protected:
  void start(const std::vector<std::string>& nodes = {"5"}) {
    // A simulator built without its serve command (older trees) cannot host these tests.
    const std::string probe = std::string("'") + TAVRIX_SIM + "' serve --help >/dev/null 2>&1";
    if (std::system(probe.c_str()) != 0) GTEST_SKIP() << "tavrix-sim has no serve command";
    twin_ = std::make_unique<ServedTwin>(nodes);
    ASSERT_TRUE(twin_->up()) << "tavrix-sim serve did not start: " << twin_->startup();
  }
  ToolRun run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--bus", twin_->bus(), "--timeout", "300"});
    Environment env;
    env.env = [](const char*) { return std::nullopt; };
    std::istringstream in(input);
    env.in = &in;
    std::ostringstream out, err;
    const int code = runTool(args, out, err, env);
    return {code, out.str(), err.str()};
  }
  std::string temp(const std::string& name) {
    return ::testing::TempDir() + "tavrix-twin-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + name;
  }
  std::unique_ptr<ServedTwin> twin_;
};

// Starts the twin; the test ends here when it is skipped or the twin did not come up.
#define START(...)                                  \
  start(__VA_ARGS__);                               \
  if (IsSkipped() || HasFatalFailure()) return

// Lines of a configuration file without its comment lines (the header carries the date).
std::string settings(const std::string& text) {
  std::istringstream in(text);
  std::string line, out;
  while (std::getline(in, line)) {
    if (!line.starts_with("#")) out += line + "\n";
  }
  return out;
}

TEST_F(Twin, PropertyVerbsHappyPaths) {
  START({"5", "7"});
  ToolRun r = run({"scan"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("5     property  firmware id 4215"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("7     property  firmware id 4215"), std::string::npos) << r.out;

  r = run({"-n", "5", "status"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("5     ready   idle"), std::string::npos) << r.out;

  r = run({"-n", "5", "set", "VELOCITY_LIMIT", "1234"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = run({"--format", "json", "-n", "5", "get", "velocity_limit", "45", "POSITION"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"node\":5,\"property\":\"VELOCITY_LIMIT\",\"number\":45,\"value\":1234}\n"
            "{\"node\":5,\"property\":\"VELOCITY_LIMIT\",\"number\":45,\"value\":1234}\n"
            "{\"node\":5,\"property\":\"POSITION\",\"number\":48,\"value\":0}\n");
  // Without -n a get goes to every node.
  r = run({"get", "NODE_ID"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("5     NODE_ID   5"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("7     NODE_ID   7"), std::string::npos) << r.out;

  // save, change, load: the saved value comes back.
  ASSERT_EQ(run({"-n", "5", "save", "VELOCITY_LIMIT"}).code, 0);
  ASSERT_EQ(run({"-n", "5", "set", "VELOCITY_LIMIT", "99"}).code, 0);
  ASSERT_EQ(run({"-n", "5", "load", "VELOCITY_LIMIT"}).code, 0);
  r = run({"-n", "5", "get", "VELOCITY_LIMIT"});
  EXPECT_NE(r.out.find("1234"), std::string::npos) << r.out;

  r = run({"-n", "5", "mode", "torque"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = run({"-n", "5", "get", "MODE"});
  EXPECT_NE(r.out.find("torque"), std::string::npos) << r.out;
  ASSERT_EQ(run({"-n", "5,7", "stop"}).code, 0);
  r = run({"-n", "5", "get", "MODE"});
  EXPECT_NE(r.out.find("idle"), std::string::npos) << r.out;

  r = run({"props"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("56      UPPER_LIMIT          32     yes       plain"), std::string::npos);
}

TEST_F(Twin, ModeRefusedOutsideReadyAndSetsNeedNodes) {
  START();
  ASSERT_EQ(run({"-n", "5", "set", "STATUS", "4"}).code, 0);
  ToolRun r = run({"-n", "5", "mode", "velocity"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("status 4 (test)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("set STATUS 0"), std::string::npos) << r.err;

  r = run({"set", "TORQUE_LIMIT", "5"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("-n"), std::string::npos);
  r = run({"-n", "5", "get", "TORQUE_LIMITT"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("did you mean TORQUE_LIMIT?"), std::string::npos) << r.err;
  EXPECT_EQ(run({"-n", "5", "set", "TORQUE_LIMIT", "70000"}).code, 2);
  EXPECT_EQ(run({"-n", "0", "status"}).code, 2);
  EXPECT_EQ(run({"frobnicate"}).code, 2);
}

TEST_F(Twin, ModeGuardKeepsNodesInThePropertyProtocol) {
  START();
  // send refuses two data bytes; reset and canopen enter refuse without confirmation.
  ToolRun r = run({"send", "005#0000"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("two-byte"), std::string::npos);
  EXPECT_EQ(run({"-n", "5", "reset"}).code, 1);
  EXPECT_EQ(run({"-n", "5", "canopen", "enter"}).code, 1);
  // NMT and SYNC are refused while a node still speaks the property protocol.
  r = run({"-n", "5", "canopen", "nmt", "start"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("canopen enter"), std::string::npos) << r.err;
  EXPECT_EQ(run({"canopen", "sync", "--period", "10", "--count", "1"}).code, 1);
  // Everything above left node 5 in the property protocol.
  r = run({"-n", "5", "get", "FIRMWARE_ID"});
  EXPECT_EQ(r.code, 0) << r.err;

  // A reset answered with yes restarts the node, which answers again.
  ASSERT_EQ(run({"-n", "5", "set", "VELOCITY_LIMIT", "4321"}).code, 0);
  r = run({"-n", "5", "reset"}, "y\n");
  EXPECT_EQ(r.code, 1) << "no terminal: the question is not asked";
  r = run({"-n", "5", "--yes", "reset"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("restarted"), std::string::npos);
  r = run({"-n", "5", "get", "VELOCITY_LIMIT"});
  EXPECT_EQ(r.out.find("4321"), std::string::npos) << "the unsaved value survived the reset";
}

TEST_F(Twin, CanopenVerbsAndAborts) {
  START();
  ToolRun r = run({"-n", "5", "--yes", "canopen", "enter"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("node 5: CANopen"), std::string::npos) << r.err;

  r = run({"-n", "5", "canopen", "sdo", "read", "0x1008", "0", "--type", "str4"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "node 5 0x1008 sub 0 = \"Tavx\"\n");
  r = run({"-n", "5", "canopen", "sdo", "read", "0x3F00", "14"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("0x06020000 object does not exist"), std::string::npos) << r.err;
  // The stock 8-byte frame for a one-byte object is refused by this node.
  r = run({"-n", "5", "canopen", "sdo", "write", "0x1400", "2", "--type", "u8", "255", "--dlc", "8"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("0x05040002"), std::string::npos) << r.err;
  r = run({"-n", "5", "canopen", "sdo", "write", "0x1400", "2", "--type", "u8", "255"});
  EXPECT_EQ(r.code, 0) << r.err;
  r = run({"-n", "5", "canopen", "sdo", "write", "0x1017", "0", "--type", "u16", "1000"});
  EXPECT_EQ(r.code, 0) << r.err;
  r = run({"-n", "5", "canopen", "sdo", "read", "0x1017", "0", "--type", "u16"});
  EXPECT_EQ(r.out, "node 5 0x1017 sub 0 = 1000\n");

  r = run({"-n", "5", "canopen", "pdo", "map", "tpdo", "1", "0x1001:0:8", "0x60A1:0:16"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = run({"-n", "5", "canopen", "pdo", "show"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("tpdo1  0x00000185  yes      1     0x1001:0:8 0x60A1:0:16"), std::string::npos)
      << r.out;

  // The property protocol no longer answers; NMT reset-node brings it back.
  r = run({"-n", "5", "get", "MODE"});
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find("canopen nmt reset-node"), std::string::npos) << r.err;
  ASSERT_EQ(run({"-n", "5", "canopen", "nmt", "reset-node"}).code, 0);
  bool back = false;
  for (int i = 0; i < 20 && !back; ++i) back = run({"-n", "5", "get", "MODE"}).code == 0;
  EXPECT_TRUE(back);
}

// SYNC identifier, heartbeat period and start-up state stored with "save", a restart, and TPDOs
// on SYNC; heartbeats watched.
TEST_F(Twin, CanopenStoreSyncAndHeartbeat) {
  START();
  ASSERT_EQ(run({"-n", "5", "--yes", "canopen", "enter"}).code, 0);
  for (auto [idx, type, value] : {std::tuple{"0x1005", "u32", "0x80"}, {"0x1017", "u16", "100"},
                                  {"0x1F80", "u32", "0"}, {"0x1010", "str4", "save"}}) {
    const ToolRun w = run({"-n", "5", "canopen", "sdo", "write", idx, "1", "--type", type, value});
    // 0x1010 has sub-index 1; the others sub-index 0.
    if (std::string(idx) != "0x1010") {
      ASSERT_EQ(w.code, 3) << "sub-index 1 of " << idx << " exists?";
      ASSERT_EQ(run({"-n", "5", "canopen", "sdo", "write", idx, "0", "--type", type, value}).code, 0);
    } else {
      ASSERT_EQ(w.code, 0) << w.err;
    }
  }
  ASSERT_EQ(run({"-n", "5", "canopen", "nmt", "reset-node"}).code, 0);
  bool back = false;
  for (int i = 0; i < 30 && !back; ++i) back = run({"-n", "5", "get", "FIRMWARE_ID"}).code == 0;
  ASSERT_TRUE(back);
  ToolRun r = run({"-n", "5", "--yes", "canopen", "enter"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("operational"), std::string::npos) << r.err;  // 0x1F80 = 0 was stored
  ASSERT_EQ(run({"-n", "5", "canopen", "pdo", "map", "tpdo", "1", "0x1001:0:8", "0x60A1:0:16"}).code, 0);
  r = run({"canopen", "sync", "--period", "30", "--count", "3"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("SYNC 3: 185#000000  TPDO1 from node 5: 00 00 00"), std::string::npos) << r.out;
  r = run({"--format", "json", "-n", "5", "canopen", "hb", "watch", "--count", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"node\":5,\"state\":5,\"state_name\":\"operational\""), std::string::npos)
      << r.out;
}

TEST_F(Twin, ConfigDumpChangeRestoreDumpGivesTheSameFile) {
  START();
  const std::string file = temp("axis.conf");
  ToolRun r = run({"-n", "5", "config", "dump", "-o", file});
  ASSERT_EQ(r.code, 0) << r.err;
  std::ifstream in(file);
  std::stringstream before;
  before << in.rdbuf();
  EXPECT_NE(before.str().find("# node 5, firmware id 4215"), std::string::npos);

  ASSERT_EQ(run({"-n", "5", "set", "TORQUE_LIMIT", "321"}).code, 0);
  ASSERT_EQ(run({"-n", "5", "set", "UPPER_LIMIT", "123456"}).code, 0);
  r = run({"-n", "5", "config", "restore", file, "--dry-run"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("TORQUE_LIMIT  321"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("UPPER_LIMIT   123456"), std::string::npos) << r.out;

  r = run({"-n", "5", "config", "restore", file});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("skipping NODE_ID"), std::string::npos);
  r = run({"-n", "5", "config", "dump"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(settings(r.out), settings(before.str()));
  // Restored means saved: a reset keeps the values.
  ASSERT_EQ(run({"-n", "5", "--yes", "reset"}).code, 0);
  EXPECT_EQ(settings(run({"-n", "5", "config", "dump"}).out), settings(before.str()));
}

TEST_F(Twin, ScriptStopsAtTheFirstFailure) {
  START();
  const std::string file = temp("commissioning.txt");
  std::ofstream(file) << "# commissioning\nset VELOCITY_LIMIT 1500   # limit\nwait 20\n"
                         "get VELOCITY_LIMIT\nget NO_SUCH\nset VELOCITY_LIMIT 1\n";
  const ToolRun r = run({"-n", "5", "script", file});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(":5: stopped at the first failure"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("VELOCITY_LIMIT  1500"), std::string::npos) << r.out;
  EXPECT_NE(run({"-n", "5", "get", "VELOCITY_LIMIT"}).out.find("1500"), std::string::npos);
}

TEST_F(Twin, MonitorDecodesLiveTraffic) {
  START();
  ToolRun seen;
  std::thread watcher([&] { seen = run({"monitor", "--count", "2", "--duration", "20000"}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(run({"-n", "5", "get", "MODE"}).code, 0);
  watcher.join();
  ASSERT_EQ(seen.code, 0) << seen.err;
  EXPECT_NE(seen.out.find(" can0 005#08 "), std::string::npos) << seen.out;
  EXPECT_NE(seen.out.find(" get MODE (8) -> node 5\n"), std::string::npos) << seen.out;
  EXPECT_NE(seen.out.find(" can0 4A6#88000000 "), std::string::npos) << seen.out;
  EXPECT_NE(seen.out.find(" reply from node 5: MODE (8) = 0 (idle)\n"), std::string::npos) << seen.out;
}

TEST_F(Twin, ErrorPathsSayWhatToDo) {
  START();
  ToolRun r = run({"-n", "9", "get", "MODE"});
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find("node 9 did not answer a get of MODE within 300 ms on " + twin_->bus()),
            std::string::npos) << r.err;
  EXPECT_NE(r.err.find("tavrix-sim serve --node 9"), std::string::npos);
  twin_.reset();  // the server goes away
  Environment env;
  env.env = [](const char*) { return std::nullopt; };
  std::ostringstream out, err;
  const int code = runTool({"--bus", "socketcand://127.0.0.1:1/can0", "-n", "5", "get", "MODE"},
                           out, err, env);
  EXPECT_EQ(code, 5);
  EXPECT_NE(err.str().find("is the twin running?"), std::string::npos) << err.str();
}

TEST_F(Twin, WatchMoveCalibrateAndBridgeTest) {
  START();
  ToolRun r = run({"-n", "5", "watch", "POSITION", "MODE", "--count", "3", "--rate", "50"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("time_s\tnode\tPOSITION\tMODE\n0.0", 0), 0u) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4);

  // A position target is taken in mode position only.
  r = run({"-n", "5", "move", "500"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("mode position"), std::string::npos) << r.err;
  EXPECT_EQ(run({"-n", "5", "move", "100", "--scaled"}).code, 1);  // not homed
  ASSERT_EQ(run({"-n", "5", "mode", "position"}).code, 0);
  r = run({"-n", "5", "move", "500", "--wait", "--tolerance", "30", "--max-wait", "20"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("node 5: at "), std::string::npos);
  ASSERT_EQ(run({"-n", "5", "stop"}).code, 0);

  r = run({"-n", "5", "calibrate", "current"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("CURRENT_OFFSET"), std::string::npos);

  r = run({"--format", "json", "-n", "5", "selftest", "fet"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 6) << r.out;
  EXPECT_NE(r.out.find("\"code\":41,\"inverted\":\"A+B\""), std::string::npos) << r.out;
  r = run({"-n", "5", "status"});
  EXPECT_NE(r.out.find("5     ready   idle"), std::string::npos) << r.out;
}

// A torque step recorded by the logger and fetched as CSV: every record arrives, the step is in
// the q-current request, and the metrics describe the response. (About 30 s of simulated dump.)
TEST_F(Twin, LogRecordAndDumpRebuildTheWholeBuffer) {
  START();
  ASSERT_EQ(run({"-n", "5", "mode", "torque"}).code, 0);
  ToolRun r = run({"-n", "5", "log", "record", "--step", "400"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("about 15 ms"), std::string::npos);
  const std::string csv = temp("step.csv");
  r = run({"--format", "json", "-n", "5", "log", "dump", "--csv", csv});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"words\":15012,\"records\":834,\"lost_words\":0,\"step\":true"),
            std::string::npos) << r.out;
  std::ifstream in(csv);
  std::string header, line;
  std::getline(in, header);
  EXPECT_EQ(header.rfind("time_s,pwm_a,", 0), 0u);
  int rows = 0, stepped = 0;
  while (std::getline(in, line)) {
    ++rows;
    std::vector<std::string> f;
    std::stringstream ls(line);
    for (std::string x; std::getline(ls, x, ',');) f.push_back(x);
    ASSERT_EQ(f.size(), 19u) << line;
    stepped += f[8] != "0";  // iq_req
  }
  EXPECT_EQ(rows, 834);
  // The step reaches the torque command about 15 ms (100 records) after the recording starts.
  EXPECT_GT(stepped, 600);
  EXPECT_LT(stepped, 834);
  // After a complete dump the node is idle and has nothing more to send.
  r = run({"-n", "5", "get", "STEP_CURRENT"});
  EXPECT_NE(r.out.find("STEP_CURRENT  0"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace tavrix::cli
