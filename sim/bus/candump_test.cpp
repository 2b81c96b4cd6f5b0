#include "sim/bus/candump.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrix::sim {
namespace {

CanMessage data(uint32_t id, std::initializer_list<uint8_t> bytes, bool extended = false) {
  CanMessage m;
  m.id = id;
  m.extended = extended;
  m.length = static_cast<uint8_t>(bytes.size());
  size_t i = 0;
  for (uint8_t b : bytes) m.data[i++] = b;
  return m;
}

CanMessage remote(uint32_t id, uint8_t length, bool extended = false) {
  CanMessage m;
  m.id = id;
  m.extended = extended;
  m.remote = true;
  m.length = length;
  return m;
}

CanMessage withLengthCode(CanMessage m, uint8_t code) {
  m.length = code;
  return m;
}

const CanMessage kEight = data(0x123, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});

TEST(Candump, FormatsExactLines) {
  struct Case {
    int64_t micros;
    CanMessage m;
    const char* iface;
    const char* line;
  } cases[] = {
      {1'250'000, data(0x4A6, {0x88, 0x00, 0x01, 0x00}), "can0",
       "(0000000001.250000) can0 4A6#88000100"},
      {0, data(0x123, {0xDE, 0xAD, 0xBE, 0xEF}), "can0", "(0000000000.000000) can0 123#DEADBEEF"},
      {1'700'000'000'123'456, data(0x1ABCDEF0, {}, true), "vcan1",
       "(1700000000.123456) vcan1 1ABCDEF0#"},
      {999'999, data(0x7FF, {0x0A}), "can0", "(0000000000.999999) can0 7FF#0A"},
      {12'345'678'901'000'001, data(0x000, {}), "can0", "(12345678901.000001) can0 000#"},
      {5, data(0x5, {0xAB}, true), "can0", "(0000000000.000005) can0 00000005#AB"},
      {0, remote(0x123, 0), "can0", "(0000000000.000000) can0 123#R"},
      {0, remote(0x123, 8), "can0", "(0000000000.000000) can0 123#R8"},
      {0, remote(0x1FFFFFFF, 3, true), "can0", "(0000000000.000000) can0 1FFFFFFF#R3"},
      {0, remote(0x123, 0xB), "can0", "(0000000000.000000) can0 123#R8_B"},
      {0, withLengthCode(kEight, 9), "can0", "(0000000000.000000) can0 123#1122334455667788_9"},
      {0, withLengthCode(kEight, 15), "can0", "(0000000000.000000) can0 123#1122334455667788_F"},
  };
  for (const Case& c : cases) EXPECT_EQ(formatCandumpLine(c.micros, c.m, c.iface), c.line);
  // Bytes beyond the length are not written; the default interface is can0.
  CanMessage stale = data(0x010, {0x01});
  stale.data[1] = 0xEE;
  EXPECT_EQ(formatCandumpLine(0, stale), "(0000000000.000000) can0 010#01");
}

TEST(Candump, FormatRejectsWhatTheLineCannotCarry) {
  EXPECT_THROW(formatCandumpLine(-1, kEight), std::invalid_argument);
  EXPECT_THROW(formatCandumpLine(0, data(0x800, {})), std::invalid_argument);
  EXPECT_THROW(formatCandumpLine(0, data(0x20000000, {}, true)), std::invalid_argument);
  EXPECT_THROW(formatCandumpLine(0, withLengthCode(kEight, 16)), std::invalid_argument);
  EXPECT_THROW(formatCandumpLine(0, remote(0x1, 16)), std::invalid_argument);
  EXPECT_THROW(formatCandumpLine(0, kEight, ""), std::invalid_argument);
  EXPECT_THROW(formatCandumpLine(0, kEight, "can 0"), std::invalid_argument);
}

TEST(Candump, ParseGivesBackWhatWasFormatted) {
  const CanMessage messages[] = {
      data(0x000, {}),
      data(0x7FF, {0xFF}),
      data(0x601, {0x40, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}),
      data(0x00000000, {}, true),
      data(0x1FFFFFFF, {0x01, 0x02, 0x03}, true),
      data(0x00000123, {0xA0}, true),  // a small extended identifier stays extended
      remote(0x080, 0),
      remote(0x080, 1),
      remote(0x700, 8),
      remote(0x123, 12),
      remote(0x18FF00AA, 4, true),
      withLengthCode(kEight, 9),
      withLengthCode(kEight, 13),
      withLengthCode(data(0x1234567, {1, 2, 3, 4, 5, 6, 7, 8}, true), 15),
  };
  const int64_t times[] = {0, 25, 1'000'000, 9'999'999'999'999'999, 123'456'789'012'345'678};
  for (const CanMessage& m : messages) {
    for (int64_t t : times) {
      const std::string line = formatCandumpLine(t, m, "vcan3");
      SCOPED_TRACE(line);
      const std::optional<CandumpLine> parsed = parseCandumpLine(line);
      ASSERT_TRUE(parsed.has_value());
      EXPECT_EQ(*parsed, (CandumpLine{t, "vcan3", m}));
    }
  }
}

TEST(Candump, ParsesWhatOtherToolsWrite) {
  struct Case {
    const char* line;
    int64_t micros;
    CanMessage m;
  } cases[] = {
      {"(1.250000) can0 4a6#88000100 R", 1'250'000, data(0x4A6, {0x88, 0x00, 0x01, 0x00})},
      {"(0.0) vcan0 001#8d00100100820100", 0,
       data(0x001, {0x8D, 0x00, 0x10, 0x01, 0x00, 0x82, 0x01, 0x00})},
      {"(12.034) can1 1abcdef0#ff T", 12'034'000, data(0x1ABCDEF0, {0xFF}, true)},
      {"  (0000000002.000001)\tcan0  123#r  \r", 2'000'001, remote(0x123, 0)},
      {"(3.000000) can0 123#R5 t", 3'000'000, remote(0x123, 5)},
      {"(3.000000) can0 123#R0", 3'000'000, remote(0x123, 0)},
      {"(3.000000) can0 123#r8_a", 3'000'000, remote(0x123, 10)},
      {"(3.000000) can0 123#1122334455667788_c", 3'000'000, withLengthCode(kEight, 12)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::optional<CandumpLine> parsed = parseCandumpLine(c.line);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->micros, c.micros);
    EXPECT_EQ(parsed->message, c.m);
  }
  EXPECT_EQ(parseCandumpLine("(1.0) vcan9 123#")->iface, "vcan9");
}

TEST(Candump, RejectsMalformedLines) {
  const char* lines[] = {
      "",
      "(1.000000) can0",                          // no frame
      "can0 123#00",                              // no time
      "1.000000 can0 123#00",                     // time without parentheses
      "(1.000000 can0 123#00",                    //
      "(1000000) can0 123#00",                    // no fraction
      "(.500000) can0 123#00",                    // no seconds
      "(1.) can0 123#00",                         //
      "(1.1234567) can0 123#00",                  // finer than a microsecond
      "(-1.000000) can0 123#00",                  //
      "(1.0000a0) can0 123#00",                   //
      "(99999999999999999999.000000) can0 123#",  // overflows the time
      "(1.000000) can0 123",                      // no '#'
      "(1.000000) can0 #00",                      // no identifier
      "(1.000000) can0 12#00",                    // identifier of 2 digits
      "(1.000000) can0 1234#00",                  // of 4
      "(1.000000) can0 800#00",                   // above 11 bits
      "(1.000000) can0 20000000#00",              // above 29 bits
      "(1.000000) can0 12G#00",                   //
      "(1.000000) can0 123#123",                  // odd digit count
      "(1.000000) can0 123#112233445566778899",   // 9 bytes
      "(1.000000) can0 123#0G",                   //
      "(1.000000) can0 123#11.22",                //
      "(1.000000) can0 123##10011",               // CAN FD
      "(1.000000) can0 123#R9",                   // remote code above 8 needs R8_
      "(1.000000) can0 123#R8_8",                 //
      "(1.000000) can0 123#R7_9",                 //
      "(1.000000) can0 123#R88",                  //
      "(1.000000) can0 123#11223344_9",           // _ without 8 bytes
      "(1.000000) can0 123#1122334455667788_",    //
      "(1.000000) can0 123#1122334455667788_99",  //
      "(1.000000) can0 123#1122334455667788_8",   //
      "(1.000000) can0 123#00 X",                 // unknown direction
      "(1.000000) can0 123#00 R extra",           //
  };
  for (const char* line : lines) EXPECT_FALSE(parseCandumpLine(line).has_value()) << line;
}

TEST(Candump, ScriptSkipsBlanksAndCommentsAndStopsAtTheFirstBadLine) {
  std::istringstream good(
      "# start-up of node 5\n"
      "\n"
      "(0000000000.001000) can0 000#0105\n"
      "   # indented comment\r\n"
      "(0000000000.002000) can0 605#4000100000000000\r\n"
      "   \n");
  const CandumpScript script = readCandumpScript(good);
  EXPECT_TRUE(script.ok());
  ASSERT_EQ(script.lines.size(), 2u);
  EXPECT_EQ(script.lines[0], (CandumpLine{1000, "can0", data(0x000, {0x01, 0x05})}));
  EXPECT_EQ(script.lines[1].message.id, 0x605u);

  std::istringstream bad(
      "(0.001000) can0 000#0105\n"
      "# comment\n"
      "(0.002000) can0 000#010\n"
      "garbage\n");
  const CandumpScript broken = readCandumpScript(bad);
  EXPECT_FALSE(broken.ok());
  EXPECT_EQ(broken.error_line, 3u);
  EXPECT_EQ(broken.lines.size(), 1u);

  std::istringstream empty("");
  EXPECT_TRUE(readCandumpScript(empty).ok());
}

#ifdef TAVRIX_PYTHON_CAN
class PythonCan : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrix_candump_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs `program` with the log path as its argument; returns its standard output.
  std::string runPython(const std::string& program, const std::filesystem::path& log) {
    const auto script = dir_ / "check.py";
    const auto out = dir_ / "out.txt";
    std::ofstream(script) << program;
    const std::string cmd = std::string("\"") + TAVRIX_PYTHON_CAN + "\" \"" + script.string() +
                            "\" \"" + log.string() + "\" > \"" + out.string() + "\"";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::stringstream text;
    text << std::ifstream(out).rdbuf();
    return text.str();
  }

  std::filesystem::path dir_;
};

struct Stamped {
  int64_t micros;
  CanMessage m;
};

// Shapes python-can's log reader understands (it knows no `_X` length codes).
const Stamped kInterop[] = {
    {0, data(0x000, {0x01, 0x05})},
    {1'250'000, data(0x4A6, {0x88, 0x00, 0x01, 0x00})},
    {12'034'000, data(0x7FF, {})},
    {1'700'000'000'123'456, data(0x1ABCDEF0, {0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 2, 3}, true)},
    {1'700'000'001'000'000, remote(0x701, 0)},
    {1'700'000'002'000'000, remote(0x00000123, 0, true)},
};

std::string describe(int64_t micros, const CanMessage& m) {
  std::ostringstream s;
  s << micros << ' ' << std::hex << std::uppercase << m.id << std::dec << ' ' << m.extended << ' '
    << m.remote << ' ';
  for (uint8_t i = 0; i < m.dataBytes(); ++i) {
    s << "0123456789ABCDEF"[m.data[i] >> 4] << "0123456789ABCDEF"[m.data[i] & 0xF];
  }
  return s.str();
}

TEST_F(PythonCan, ReaderReadsOurLog) {
  const auto log = dir_ / "ours.log";
  std::string expected;
  {
    std::ofstream out(log);
    for (const Stamped& s : kInterop) {
      out << formatCandumpLine(s.micros, s.m) << '\n';
      expected += describe(s.micros, s.m) + '\n';
    }
  }
  const std::string printed = runPython(
      "import sys, can\n"
      "for m in can.CanutilsLogReader(sys.argv[1]):\n"
      "    data = '' if m.is_remote_frame else m.data.hex().upper()\n"
      "    print(round(m.timestamp * 1e6), '%X' % m.arbitration_id, int(m.is_extended_id),\n"
      "          int(m.is_remote_frame), data)\n",
      log);
  EXPECT_EQ(printed, expected);
}

TEST_F(PythonCan, WeReadItsWriterLog) {
  std::string program =
      "import sys, can\n"
      "w = can.CanutilsLogWriter(sys.argv[1], channel='can0')\n";
  bool rx = true;
  for (const Stamped& s : kInterop) {
    std::ostringstream msg;
    msg << "w.on_message_received(can.Message(timestamp=" << s.micros
        << "/1e6, arbitration_id=" << s.m.id
        << ", is_extended_id=" << (s.m.extended ? "True" : "False")
        << ", is_remote_frame=" << (s.m.remote ? "True" : "False")
        << ", is_rx=" << (rx ? "True" : "False") << ", dlc=" << int(s.m.dataBytes())
        << ", data=bytes([";
    for (uint8_t i = 0; i < s.m.dataBytes(); ++i) msg << int(s.m.data[i]) << ',';
    msg << "])))\n";
    program += msg.str();
    rx = !rx;
  }
  program += "w.stop()\n";
  const auto log = dir_ / "theirs.log";
  runPython(program, log);
  std::ifstream in(log);
  const CandumpScript script = readCandumpScript(in);
  ASSERT_TRUE(script.ok()) << "line " << script.error_line;
  ASSERT_EQ(script.lines.size(), std::size(kInterop));
  for (size_t i = 0; i < script.lines.size(); ++i) {
    EXPECT_EQ(script.lines[i], (CandumpLine{kInterop[i].micros, "can0", kInterop[i].m})) << i;
  }
}
#else
TEST(PythonCan, ReaderReadsOurLog) {
  GTEST_SKIP() << "no Python with python-can at configure time";
}
#endif

}  // namespace
}  // namespace tavrix::sim
