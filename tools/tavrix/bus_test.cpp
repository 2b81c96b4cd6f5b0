#include "tools/tavrix/bus.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {
namespace {

TEST(BusAddress, ParsesBothTransportsAndFillsDefaults) {
  struct Case {
    const char* text;
    bool ok;
    BusAddress::Kind kind;
    const char* host;
    int port;
    const char* channel;
  };
  const Case cases[] = {
      {"socketcand://127.0.0.1:29536/can0", true, BusAddress::Kind::kSocketcand, "127.0.0.1", 29536, "can0"},
      {"socketcand://", true, BusAddress::Kind::kSocketcand, "127.0.0.1", 29536, "can0"},
      {"socketcand://bench:4000/vcan1", true, BusAddress::Kind::kSocketcand, "bench", 4000, "vcan1"},
      {"socketcand://10.0.0.2", true, BusAddress::Kind::kSocketcand, "10.0.0.2", 29536, "can0"},
      {"socketcan:vcan0", true, BusAddress::Kind::kSocketcan, "127.0.0.1", 29536, "vcan0"},
      {"socketcand://host:0/can0", false, {}, "", 0, ""},
      {"socketcand://host:70000", false, {}, "", 0, ""},
      {"socketcand://host:12/", false, {}, "", 0, ""},
      {"socketcan:", false, {}, "", 0, ""},
      {"socketcan:an_interface_name_too_long", false, {}, "", 0, ""},
      {"can0", false, {}, "", 0, ""},
      {"tcp://127.0.0.1:29536", false, {}, "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto a = parseBusAddress(c.text);
    ASSERT_EQ(a.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(a->kind, c.kind);
    EXPECT_EQ(a->channel, c.channel);
    if (c.kind == BusAddress::Kind::kSocketcand) {
      EXPECT_EQ(a->host, c.host);
      EXPECT_EQ(a->port, c.port);
    }
  }
}

class BusChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrix-bus-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string file(const std::string& name, const std::string& text) {
    const auto p = dir_ / name;
    std::ofstream(p) << text;
    return p.string();
  }
  std::function<std::optional<std::string>(const char*)> env(std::optional<std::string> bus) {
    return [bus](const char* name) -> std::optional<std::string> {
      return std::string(name) == "TAVRIX_BUS" ? bus : std::nullopt;
    };
  }
  std::filesystem::path dir_;
};

TEST_F(BusChoice, OptionBeatsEnvironmentBeatsPythonCanConfig) {
  const std::string conf = file("can.conf", "[default]\ninterface = socketcand\nhost = 10.1.1.1\n");
  EXPECT_EQ(chooseBus("socketcan:vcan0", env("socketcand://h:1/c"), {conf}).text(), "socketcan:vcan0");
  EXPECT_EQ(chooseBus(std::nullopt, env("socketcand://h:1/c"), {conf}).text(), "socketcand://h:1/c");
  const BusAddress a = chooseBus(std::nullopt, env(std::nullopt), {conf});
  EXPECT_EQ(a.text(), "socketcand://10.1.1.1:29536/can0");
  EXPECT_EQ(a.origin, "python-can's [default] section");
}

TEST_F(BusChoice, LaterPythonCanFilesOverrideEarlierKeysAndOldBustypeCounts) {
  const std::string first = file("can.conf",
                                 "[default]\nbustype = socketcand\nhost = 10.0.0.1\nport = 4000\n"
                                 "[other]\nhost = 9.9.9.9\n");
  const std::string second = file(".canrc", "[default]\nport: 5000\nchannel = vcan3\n");
  const auto cfg = readPythonCanDefault({first, dir_ / "missing", second});
  EXPECT_EQ(cfg.at("interface"), "socketcand");
  EXPECT_EQ(cfg.at("host"), "10.0.0.1");
  EXPECT_EQ(cfg.at("port"), "5000");
  EXPECT_EQ(chooseBus(std::nullopt, env(std::nullopt), {first, second}).text(),
            "socketcand://10.0.0.1:5000/vcan3");
  const std::string sc = file("sc.conf", "[default]\ninterface = socketcan\nchannel = can1\n");
  EXPECT_EQ(chooseBus(std::nullopt, env(std::nullopt), {sc}).text(), "socketcan:can1");
}

// python-can's own order on Linux: ~/can.conf, /etc/can.conf, ~/.can, ~/.canrc (a later file's
// keys win, as the test above shows).
TEST(PythonCanFiles, AreLookedUpInPythonCansOrder) {
  const char* old = std::getenv("HOME");
  const std::string saved = old ? old : "";
  ::setenv("HOME", "operator-home", 1);
  EXPECT_EQ(pythonCanConfigFiles(),
            (std::vector<std::string>{"operator-home/can.conf", "/etc/can.conf",
                                      "operator-home/.can", "operator-home/.canrc"}));
  ::unsetenv("HOME");
  EXPECT_EQ(pythonCanConfigFiles(), (std::vector<std::string>{"/etc/can.conf"}));
  if (old) ::setenv("HOME", saved.c_str(), 1);
}

TEST_F(BusChoice, NothingConfiguredNamesTheThreeWays) {
  try {
    chooseBus(std::nullopt, env(std::nullopt), {file("empty.conf", "[other]\ninterface=x\n")});
    FAIL() << "no error";
  } catch (const Failure& f) {
    EXPECT_EQ(f.code(), Exit::kBusUnavailable);
    const std::string m = f.what();
    EXPECT_NE(m.find("--bus"), std::string::npos);
    EXPECT_NE(m.find("TAVRIX_BUS"), std::string::npos);
    EXPECT_NE(m.find("[default]"), std::string::npos);
  }
}

TEST_F(BusChoice, MalformedSettingsAreUsageErrors) {
  const auto code = [&](auto&& call) {
    try {
      call();
    } catch (const Failure& f) {
      return f.code();
    }
    return Exit::kOk;
  };
  EXPECT_EQ(code([&] { chooseBus("can0", env(std::nullopt), {}); }), Exit::kUsage);
  EXPECT_EQ(code([&] { chooseBus(std::nullopt, env("nonsense"), {}); }), Exit::kUsage);
  const std::string bad_port = file("p.conf", "[default]\ninterface=socketcand\nport=x\n");
  EXPECT_EQ(code([&] { chooseBus(std::nullopt, env(std::nullopt), {bad_port}); }), Exit::kUsage);
  const std::string other = file("o.conf", "[default]\ninterface=pcan\n");
  EXPECT_EQ(code([&] { chooseBus(std::nullopt, env(std::nullopt), {other}); }), Exit::kUsage);
}

TEST(FrameText, RoundTripsCandumpFrameSyntax) {
  const auto m = parseFrameText("4a6#88000200");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, 0x4A6u);
  EXPECT_EQ(m->length, 4);
  EXPECT_EQ(frameText(*m), "4A6#88000200");
  EXPECT_FALSE(parseFrameText("4A6#880"));
  EXPECT_FALSE(parseFrameText("800#00"));
  EXPECT_FALSE(parseFrameText("005# 08"));
  EXPECT_EQ(frameText(*parseFrameText("080#")), "080#");
}

TEST(SocketcanBus, FailsWithAnErrorThatSaysWhatToDo) {
  BusAddress a;
  a.kind = BusAddress::Kind::kSocketcan;
  a.channel = "tavrixnone0";
  a.origin = "--bus";
  try {
    openSocketcan(a);
    FAIL() << "an interface that does not exist opened";
  } catch (const Failure& f) {
    EXPECT_EQ(f.code(), Exit::kBusUnavailable);
    EXPECT_NE(std::string(f.what()).find("socketcan:tavrixnone0"), std::string::npos);
  }
}

TEST(SocketcandBus, NoServerIsBusUnavailableNamingTheTwin) {
  BusAddress a;
  a.port = 1;  // nothing listens on port 1 of loopback
  a.origin = "--bus";
  try {
    openSocketcand(a, milliseconds(500));
    FAIL() << "connected to nothing";
  } catch (const Failure& f) {
    EXPECT_EQ(f.code(), Exit::kBusUnavailable);
    EXPECT_NE(std::string(f.what()).find("tavrix-sim serve"), std::string::npos);
  }
}

}  // namespace
}  // namespace tavrix::cli
