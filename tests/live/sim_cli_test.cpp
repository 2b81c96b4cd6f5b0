// The simulator's command line as a user meets it with bad input, full disks, signals and a
// second simulator on the same images: each case checked on the exit status, the message and
// the files left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/bus/candump.hpp"
#include "sim/bus/socketcan_bridge.hpp"
#include "sim/bus/socketcand_client.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The simulator as a child process with its output in files.
class Sim {
 public:
  Sim(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    std::vector<std::string> all{TAVRIX_SIM_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Sim() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  void signal(int sig) { ::kill(pid_, sig); }

 private:
  pid_t pid_ = -1;
};

class SimCliLive : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("tavrix_cli_live_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs to the end; returns the wait status.
  int run(const std::vector<std::string>& args) {
    Sim sim(args, dir_ / "stdout.log", dir_ / "stderr.log");
    return sim.wait();
  }
  static int exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
  std::string err() { return readFile(dir_ / "stderr.log"); }
  fs::path file(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return dir_ / name;
  }
  // Waits until the simulator's stderr says it serves, and returns the port.
  uint16_t servedPort() {
    for (int i = 0; i < 500; ++i) {
      const std::string text = err();
      const size_t at = text.find(" port ");
      if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
        return static_cast<uint16_t>(std::stoi(text.substr(at + 6)));
      }
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "the simulator never served: " << err();
    return 0;
  }

  fs::path dir_;
};

TEST_F(SimCliLive, AFullDiskUnderTheOutputIsAnError) {
  EXPECT_EQ(exitCode(run({"--node", "5", "--duration", "20ms", "--record", "/dev/full", "--script",
                          file("s.log", "(0.001) can0 005#08\n").string()})),
            1);
  EXPECT_NE(err().find("cannot write the recording /dev/full"), std::string::npos) << err();

  // Standard output on a full disk.
  const std::string cmd = std::string(TAVRIX_SIM_BINARY) + " --node 5 --duration 20ms --script '" +
                          (dir_ / "s.log").string() + "' > /dev/full 2> '" +
                          (dir_ / "stderr.log").string() + "'";
  EXPECT_EQ(exitCode(std::system(cmd.c_str())), 1);
  EXPECT_NE(err().find("cannot write standard output"), std::string::npos) << err();
}

TEST_F(SimCliLive, AnEepromImageThatCannotBeWrittenEndsTheRunButKeepsTheRecording) {
  // The image is a device that reads zeros and refuses every write, as a full disk does: the
  // node boots with every property 0 (node number 0), answers a get, then saves.
  fs::create_directories(dir_ / "eeprom");
  fs::create_symlink("/dev/full", dir_ / "eeprom" / "node0.eeprom");
  const fs::path script = file("s.log",
                               "(0.010) can0 000#08\n"
                               "(0.020) can0 000#89000800\n"
                               "(0.030) can0 000#08\n");
  const int status =
      run({"--node", "0", "--eeprom-dir", (dir_ / "eeprom").string(), "--script", script.string(),
           "--duration", "100ms", "--record", (dir_ / "rec.log").string()});
  EXPECT_EQ(exitCode(status), 1);
  EXPECT_NE(err().find("cannot write memory image " + (dir_ / "eeprom" / "node0.eeprom").string()),
            std::string::npos)
      << err();
  EXPECT_NE(err().find("No space left on device"), std::string::npos) << err();
  // Everything up to the failed write is in the recording: the get, its answer and the save.
  std::istringstream rec(readFile(dir_ / "rec.log"));
  const auto lines = tavrix::sim::readCandumpScript(rec);
  ASSERT_TRUE(lines.ok());
  ASSERT_GE(lines.lines.size(), 3u) << readFile(dir_ / "rec.log");
  EXPECT_EQ(lines.lines[0].message.id, 0x000u);
  EXPECT_EQ(lines.lines[1].message.id, 0x406u);
  EXPECT_EQ(lines.lines[2].message.data[0], 0x89);
}

TEST_F(SimCliLive, ScriptsAreCheckedWithTheLineAtFault) {
  EXPECT_EQ(exitCode(run({"--node", "5", "--script", dir_.string()})), 1);
  EXPECT_NE(err().find("is a directory"), std::string::npos) << err();

  struct Case {
    const char* line;
    const char* says;
  } cases[] = {
      {"(0.002000) can0 005#0", "data '0'"},
      {"(0.002000) can0 5#08", "identifier '5'"},
      {"(0.002000) can0 800#08", "identifier '800'"},
      {"(2.5e3) can0 005#08", "timestamp '(2.5e3)'"},
      {"(0.002000) can0 005#08 X", "not a direction"},
      {"(0.002000) can0", "no frame"},
      {"(0.002000) can0 005##08", "CAN FD"},
      {"(230584300921.369396) can0 005#08", "timestamp beyond the longest possible run"},
  };
  for (const Case& c : cases) {
    const fs::path script =
        file("bad.log", std::string("# header\n(0.001000) can0 005#08\n") + c.line + "\n");
    EXPECT_EQ(exitCode(run({"--node", "5", "--script", script.string()})), 1) << c.line;
    const std::string message = err();
    EXPECT_NE(message.find("bad.log:3: "), std::string::npos) << message;
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
    EXPECT_NE(message.find(std::string("\"") + c.line + "\""), std::string::npos) << message;
  }
  // The largest timestamp that still fits plays (after the end of the run, so not at all).
  const fs::path fits = file("fits.log", "(230584300921.369395) can0 005#08\n");
  EXPECT_EQ(exitCode(run({"--node", "5", "--duration", "1ms", "--script", fits.string()})), 0)
      << err();
}

TEST_F(SimCliLive, TheRecordingNeverOverwritesAnInputOfTheRun) {
  const fs::path script = file("s.log", "(0.001000) can0 005#08\n");
  const std::string images = (dir_ / "img").string();
  ASSERT_EQ(exitCode(run({"--node", "5", "--eeprom-dir", images, "--duration", "1ms"})), 0);
  const std::string image = readFile(dir_ / "img" / "node5.eeprom");
  ASSERT_EQ(image.size(), 8192u);

  EXPECT_EQ(exitCode(run({"--node", "5", "--script", script.string(), "--record",
                          (dir_ / "." / "s.log").string()})),
            1);
  EXPECT_NE(err().find("would overwrite the script"), std::string::npos) << err();
  EXPECT_EQ(readFile(script), "(0.001000) can0 005#08\n");

  EXPECT_EQ(exitCode(run({"--node", "7", "--node", "5", "--eeprom-dir", images, "--record",
                          (dir_ / "img" / "node5.eeprom").string()})),
            1);
  EXPECT_NE(err().find("would overwrite the EEPROM image of node 5"), std::string::npos) << err();
  EXPECT_EQ(readFile(dir_ / "img" / "node5.eeprom"), image);
}

TEST_F(SimCliLive, SignalsEndTheRunWithWholeLinesAndTheSignalsStatus) {
  const fs::path script = file("s.log", [] {
    std::string s;
    for (int ms = 1; ms < 100000; ms += 1)
      s += "(" + std::to_string(ms / 1000) + "." +
           std::to_string(1000000 + ms % 1000 * 1000).substr(1) + ") can0 401#03\n";
    return s;
  }());
  for (const int sig : {SIGINT, SIGTERM}) {
    Sim sim({"--node", "5", "--node", "7", "--script", script.string(), "--duration", "100s",
             "--record", (dir_ / "rec.log").string()},
            dir_ / "stdout.log", dir_ / "stderr.log");
    // Wait until the recording has grown past a few buffers, then interrupt.
    std::error_code ec;
    for (int i = 0; i < 1000 && (fs::file_size(dir_ / "rec.log", ec) < 20000 || ec); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    sim.signal(sig);
    const int status = sim.wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    const std::string rec = readFile(dir_ / "rec.log");
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(rec.back(), '\n');
    std::istringstream in(rec);
    const auto parsed = tavrix::sim::readCandumpScript(in);
    EXPECT_TRUE(parsed.ok()) << "line " << parsed.error_line;
    EXPECT_GT(parsed.lines.size(), 300u);
  }
}

TEST_F(SimCliLive, ASecondSimulatorOnTheSameImagesIsRefused) {
  const std::string images = (dir_ / "img").string();
  Sim first({"--node", "5", "--node", "7", "--eeprom-dir", images, "--duration", "1000s"},
            dir_ / "first.out", dir_ / "first.err");
  for (int i = 0; i < 500 && !fs::exists(dir_ / "img" / "node7.eeprom"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(exitCode(run({"--node", "7", "--eeprom-dir", images, "--duration", "1ms"})), 1);
  EXPECT_NE(err().find("node7.eeprom is in use by another simulator"), std::string::npos) << err();
  // Another node's image in the same directory is free.
  EXPECT_EQ(exitCode(run({"--node", "9", "--eeprom-dir", images, "--duration", "1ms"})), 0)
      << err();
  first.signal(SIGTERM);
  EXPECT_TRUE(WIFSIGNALED(first.wait()));
  EXPECT_EQ(exitCode(run({"--node", "7", "--eeprom-dir", images, "--duration", "1ms"})), 0)
      << err();
}

TEST_F(SimCliLive, ServeListensOnLoopbackAndRefusesWhatItCannotServe) {
  {
    Sim sim({"serve", "--node", "5", "--port", "0"}, dir_ / "stdout.log", dir_ / "stderr.log");
    const uint16_t port = servedPort();
    EXPECT_NE(err().find("on 127.0.0.1 port"), std::string::npos) << err();
    tavrix::sim::SocketcandClient client("127.0.0.1", port);
    std::this_thread::sleep_for(60ms);
    tavrix::sim::CanMessage get;
    get.id = 0x005;
    get.length = 1;
    get.data[0] = 0x08;
    client.send(get);
    const auto reply = client.receive(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->message.id, 0x4A6u);
    sim.signal(SIGINT);
    const int status = sim.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_NE(readFile(dir_ / "stdout.log").find("can0 4A6#88000000"), std::string::npos);
  }
  EXPECT_EQ(exitCode(run({"serve", "--node", "5", "--listen", "192.0.2.1", "--port", "0"})), 1);
  EXPECT_NE(err().find("cannot listen on 192.0.2.1"), std::string::npos) << err();

  EXPECT_EQ(exitCode(run({"serve", "--node", "5", "--port", "0", "--can", "tavrix-none0"})), 1);
  if (tavrix::sim::SocketcanBridge::available()) {
    EXPECT_NE(err().find("no CAN interface tavrix-none0"), std::string::npos) << err();
  } else {
    EXPECT_NE(err().find("SocketCAN is not available on this host"), std::string::npos) << err();
  }
}

TEST_F(SimCliLive, ServeAtMaximumSpeedPlaysAScriptAsTheOfflineRunDoes) {
  const std::string session = std::string(TAVRIX_SESSIONS_DIR) + "/property_session.log";
  ASSERT_EQ(exitCode(run({"--node", "5", "--node", "7", "--duration", "2s", "--script", session})),
            0);
  const std::string offline = readFile(dir_ / "stdout.log");
  EXPECT_FALSE(offline.empty());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(exitCode(run({"serve", "--node", "5", "--node", "7", "--speed", "max", "--port", "0",
                          "--duration", "2s", "--script", session, "--record",
                          (dir_ / "rec.log").string()})),
            0)
      << err();
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("serve --speed max: 2 s simulated in %.2f s of wall time\n", wall_s);
  EXPECT_EQ(readFile(dir_ / "rec.log"), offline);
}

}  // namespace
