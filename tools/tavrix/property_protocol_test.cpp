#include "tools/tavrix/property_protocol.hpp"

#include <gtest/gtest.h>

#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {
namespace {

CanMessage frame(uint32_t id, std::initializer_list<uint8_t> bytes) {
  CanMessage m;
  m.id = id;
  m.length = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), m.data.begin());
  return m;
}

TEST(Selection, ParsesNodeListsAllAndGroups) {
  std::string err;
  const auto list = parseSelection("1,3-4,3", std::nullopt, &err);
  ASSERT_TRUE(list) << err;
  ASSERT_EQ(list->destinations.size(), 3u);
  EXPECT_EQ(list->destinations[0].number, 1);
  EXPECT_EQ(list->destinations[2].number, 4);
  EXPECT_TRUE(list->explicit_choice);

  const auto all = parseSelection("all", std::nullopt, &err);
  ASSERT_TRUE(all);
  EXPECT_EQ(requestId(0, all->destinations[0]), 0x000u);
  const auto g = parseSelection(std::nullopt, "1", &err);
  ASSERT_TRUE(g);
  EXPECT_EQ(requestId(0, g->destinations[0]), 0x401u);
  const auto none = parseSelection(std::nullopt, std::nullopt, &err);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->explicit_choice);

  for (const char* bad : {"0", "32", "4-3", "x", "1,,2", "", "1-"}) {
    EXPECT_FALSE(parseSelection(std::string(bad), std::nullopt, &err)) << bad;
  }
  EXPECT_FALSE(parseSelection(std::nullopt, std::string("2"), &err));
  EXPECT_FALSE(parseSelection(std::string("5"), std::string("1"), &err));
}

TEST(PropertyNames, ComeFromTheFirmwareTable) {
  EXPECT_EQ(lookupProperty("MODE"), 8);
  EXPECT_EQ(lookupProperty("upper_limit"), 56);
  EXPECT_EQ(lookupProperty("7"), 7);
  EXPECT_EQ(propertyName(7), "7");
  EXPECT_EQ(propertyName(118), "POSITION_BW");
  try {
    lookupProperty("POSITON");
    FAIL();
  } catch (const Failure& f) {
    EXPECT_EQ(f.code(), Exit::kUsage);
    EXPECT_NE(std::string(f.what()).find("did you mean POSITION?"), std::string::npos);
  }
  EXPECT_THROW(lookupProperty("127"), Failure);
}

TEST(PropertyFrames, GetIsOneByteSoNoNodeEverSwitches) {
  const CanMessage m = getRequest(0, {Destination::Kind::kNode, 5}, prop::MODE);
  EXPECT_EQ(m.id, 0x005u);
  EXPECT_EQ(m.length, 1);
  EXPECT_EQ(m.data[0], 8);
  EXPECT_EQ(getRequest(3, {Destination::Kind::kGroup, 1}, 3).id, 0x461u);
}

TEST(PropertyFrames, SetCarriesSixteenOrThirtyTwoBitsLittleEndian) {
  // UPPER_LIMIT = 100000 from node 0 to node 3.
  const CanMessage up = setRequest(0, {Destination::Kind::kNode, 3}, prop::UPPER_LIMIT, 100000);
  EXPECT_EQ(up.id, 0x003u);
  ASSERT_EQ(up.length, 6);
  EXPECT_EQ(up.data[0], 0xB8);
  EXPECT_EQ(up.data[1], 0x00);
  EXPECT_EQ(up.data[2], 0xA0);
  EXPECT_EQ(up.data[3], 0x86);
  EXPECT_EQ(up.data[4], 0x01);
  EXPECT_EQ(up.data[5], 0x00);

  const CanMessage v = setRequest(0, {Destination::Kind::kNode, 5}, prop::VELOCITY, -2);
  ASSERT_EQ(v.length, 4);
  EXPECT_EQ(v.data[0], 0xAC);
  EXPECT_EQ(v.data[2], 0xFE);
  EXPECT_EQ(v.data[3], 0xFF);
  // PROFILE_START stores its value in TRAVEL: a 32-bit set.
  EXPECT_EQ(setRequest(0, {Destination::Kind::kNode, 5}, prop::PROFILE_START, 70000).length, 6);
  // SCALED_TARGET takes 0..65535.
  EXPECT_EQ(setRequest(0, {Destination::Kind::kNode, 5}, prop::SCALED_TARGET, 65535).data[3], 0xFF);
  EXPECT_THROW(setRequest(0, {Destination::Kind::kNode, 5}, prop::VELOCITY, 65536), Failure);
  EXPECT_THROW(setRequest(0, {Destination::Kind::kNode, 5}, prop::VELOCITY, -32769), Failure);
  EXPECT_THROW(setRequest(0, {Destination::Kind::kNode, 5}, prop::POSITION, INT64_C(1) << 32), Failure);
}

TEST(PropertyFrames, RepliesAreReadOnlyFromTheReplyIdentifier) {
  const auto r = parseReply(frame(0x4A6, {0x88, 0x00, 0x02, 0x00}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->node, 5);
  EXPECT_EQ(r->property, 8);
  EXPECT_EQ(r->value, 2);
  const auto p = parseReply(frame(0x4A6, {0xB0, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->value, -1);
  EXPECT_EQ(p->width, 32);
  EXPECT_EQ(parseReply(frame(0x4A6, {0x88, 0x00, 0x00, 0x80}))->value, -32768);
  EXPECT_FALSE(parseReply(frame(0x4A5, {0x88, 0x00, 0x02, 0x00})));  // group 5
  EXPECT_FALSE(parseReply(frame(0x0A6, {0x88, 0x00, 0x02, 0x00})));  // no group flag
  EXPECT_FALSE(parseReply(frame(0x4A6, {0x08, 0x00, 0x02, 0x00})));  // a get, not a reply
  EXPECT_FALSE(parseReply(frame(0x4A6, {0x88, 0x00, 0x02})));        // wrong length
  EXPECT_FALSE(parseReply(frame(0x4A6, {0x88, 0x01, 0x02, 0x00})));  // byte 1 not 0
}

TEST(Modes, NamesAndNumbers) {
  EXPECT_EQ(parseMode("velocity"), 4);
  EXPECT_EQ(parseMode("3"), 3);
  EXPECT_FALSE(parseMode("6"));
  EXPECT_FALSE(parseMode("fast"));
  EXPECT_EQ(modeName(-1), "unknown (-1)");
  EXPECT_EQ(statusName(-1), "halted");
}

}  // namespace
}  // namespace tavrix::cli
