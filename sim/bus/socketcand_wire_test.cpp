#include "sim/bus/socketcand_wire.hpp"

#include <gtest/gtest.h>

namespace tavrix::sim::socketcand {
namespace {

using Kind = MessageSplitter::Kind;

std::vector<std::pair<Kind, std::string>> drain(MessageSplitter& s) {
  std::vector<std::pair<Kind, std::string>> out;
  while (auto item = s.next()) out.emplace_back(item->kind, item->text);
  return out;
}

TEST(SocketcandWire, SplitterJoinsPiecesAndSeparatesMessages) {
  MessageSplitter s;
  s.feed("< hi >< open can0 > <send 1");
  EXPECT_EQ(drain(s), (std::vector<std::pair<Kind, std::string>>{{Kind::kMessage, " hi "},
                                                                 {Kind::kMessage, " open can0 "}}));
  EXPECT_EQ(s.pendingBytes(), 7u);  // the unfinished send waits
  s.feed("23 1 ff >\r\n  ");
  EXPECT_EQ(drain(s),
            (std::vector<std::pair<Kind, std::string>>{{Kind::kMessage, "send 123 1 ff "}}));
  EXPECT_EQ(s.pendingBytes(), 0u);
}

TEST(SocketcandWire, SplitterReportsGarbageAndOverlongMessages) {
  MessageSplitter s(16);
  s.feed("hello< echo >x");
  EXPECT_EQ(drain(s),
            (std::vector<std::pair<Kind, std::string>>{
                {Kind::kGarbage, "hello"}, {Kind::kMessage, " echo "}, {Kind::kGarbage, "x"}}));
  s.feed("< 0123456789abcdef >");  // 18 bytes inside the brackets
  EXPECT_EQ(drain(s), (std::vector<std::pair<Kind, std::string>>{{Kind::kOverlong, ""}}));
  s.feed("<01234567890123456789");  // never closed, already past the limit
  EXPECT_EQ(drain(s), (std::vector<std::pair<Kind, std::string>>{{Kind::kOverlong, ""}}));
}

CanMessage frame(uint32_t id, std::initializer_list<uint8_t> bytes, bool extended = false) {
  CanMessage m;
  m.id = id;
  m.extended = extended;
  m.length = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), m.data.begin());
  return m;
}

TEST(SocketcandWire, FramesAndSendsAreWrittenAsClientsReadThem) {
  EXPECT_EQ(formatFrame(frame(0x4A6, {0x88, 0, 1, 0}), 12'034'000),
            "< frame 4A6 12.034000 88000100 >");
  EXPECT_EQ(formatFrame(frame(0x80, {}), 1'000'000), "< frame 080 1.000000  >");
  EXPECT_EQ(formatFrame(frame(0x1ABCDEF, {0xFF}, true), 5), "< frame 01ABCDEF 0.000005 FF >");
  EXPECT_EQ(formatSend(frame(0x601, {0x40, 0, 0x10})), "< send 601 3 40 00 10 >");
  EXPECT_EQ(formatSend(frame(0x5, {})), "< send 005 0 >");
}

TEST(SocketcandWire, SendMessagesAreCheckedWordByWord) {
  struct Case {
    const char* text;
    std::optional<CanMessage> frame;
    bool remote;
    const char* error;
  } cases[] = {
      // python-can writes lower-case bytes without padding
      {"send 601 8 40 0 10 0 0 0 0 0", frame(0x601, {0x40, 0, 0x10, 0, 0, 0, 0, 0}), false, ""},
      {"send 5 1 8", frame(0x5, {8}), false, ""},
      {"send 123 0", frame(0x123, {}), false, ""},
      {"send 0000007F 1 Ab", frame(0x7F, {0xAB}, true), false, ""},  // 8 digits: extended
      {"send 800 1 1", frame(0x800, {1}, true), false, ""},          // above 11 bits: extended
      {"send 123 4", std::nullopt, true, ""},                        // remote request: dropped
      {"send 123", std::nullopt, false, "needs an identifier"},
      {"send xyz 1 1", std::nullopt, false, "bad identifier"},
      {"send 20000000 1 1", std::nullopt, false, "bad identifier"},
      {"send 123 9 1 2 3 4 5 6 7 8 9", std::nullopt, false, "bad length"},
      {"send 123 2 1", std::nullopt, false, "does not match"},
      {"send 123 1 1 2", std::nullopt, false, "does not match"},
      {"send 123 1 100", std::nullopt, false, "bad data byte"},
      {"send 123 1 -1", std::nullopt, false, "bad data byte"},
  };
  for (const Case& c : cases) {
    const SendParse p = parseSend(tokens(c.text));
    EXPECT_EQ(p.frame, c.frame) << c.text;
    EXPECT_EQ(p.remote, c.remote) << c.text;
    EXPECT_NE(p.error.find(c.error), std::string::npos) << c.text << ": " << p.error;
    EXPECT_EQ(p.error.empty(), std::string(c.error).empty()) << c.text;
  }
}

TEST(SocketcandWire, FrameMessagesReadBack) {
  for (const CanMessage& m : {frame(0x4A6, {0x88, 0, 1, 0}), frame(0x80, {}),
                              frame(0x1FFFFFFF, {1, 2, 3, 4, 5, 6, 7, 8}, true)}) {
    const std::string text = formatFrame(m, 123'456'789);
    const auto f = parseFrame(tokens(text.substr(1, text.size() - 2)));
    ASSERT_TRUE(f) << text;
    EXPECT_EQ(f->message, m) << text;
    EXPECT_EQ(f->micros, 123'456'789);
  }
  EXPECT_EQ(parseFrame(tokens("frame 123 1.5 0102"))->micros, 1'500'000);
  for (const char* bad : {"frame 123 1.0 012", "frame 123 x 01", "frame 123 1.1234567 01",
                          "frame zz 1.0 01", "frame 123 1.0 01 02", "send 123 1 1"}) {
    EXPECT_FALSE(parseFrame(tokens(bad))) << bad;
  }
}

}  // namespace
}  // namespace tavrix::sim::socketcand
