#include "firmware/properties/property_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>

namespace tavrix {
namespace {

TEST(PropertyTable, PairsAreAlignedLittleEndianWords) {
  PropertyTable t;
  ASSERT_EQ(reinterpret_cast<uintptr_t>(&t.property[0]) % 4, 0u);
  for (int16_t k : kPair32) {
    EXPECT_EQ(k % 2, 0) << k;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&t.property[k]) % 4, 0u) << k;
    t.set32(k, -123456789);  // 0xF8A432EB
    EXPECT_EQ(t.property[k], static_cast<int16_t>(0x32EB)) << k;
    EXPECT_EQ(t.property[k + 1], static_cast<int16_t>(0xF8A4)) << k;
    EXPECT_EQ(t.get32(k), -123456789) << k;
    t.property[k] = -1;
    t.property[k + 1] = 0x7FFF;
    EXPECT_EQ(t.get32(k), 0x7FFFFFFF) << k;
  }
  // The pair's word is exactly the memory image of the two elements (the EEPROM layout).
  t.set32(prop::TRAVEL, 0x01020304);
  uint8_t bytes[4];
  std::memcpy(bytes, &t.property[prop::TRAVEL], 4);
  EXPECT_EQ(bytes[0], 0x04);
  EXPECT_EQ(bytes[3], 0x01);
}

TEST(PropertyTable, StartsAllZero) {
  PropertyTable t;
  for (int k = 0; k < kPropertyCount; ++k) EXPECT_EQ(t.get16(k), 0) << k;
}

TEST(PropertyTable, NamesMatchTheirNumbers) {
  struct Case {
    int16_t constant;
    int16_t number;
    const char* name;
  } cases[] = {
      {prop::FIRMWARE_ID, 0, "FIRMWARE_ID"}, {prop::STATUS, 5, "STATUS"},
      {prop::MODE, 8, "MODE"},               {prop::POSITION, 48, "POSITION"},
      {prop::COUNTS_PER_REV, 68, "COUNTS_PER_REV"}, {prop::POSITION_SCALE, 83, "POSITION_SCALE"},
      {prop::POS_KI_SHIFT, 126, "POS_KI_SHIFT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.constant, c.number);
    EXPECT_STREQ(kPropertyInfo[c.number].name, c.name);
  }
  // Numbers the firmware does not use have no name and ignore sets.
  for (int k : {7, 12, 13, 24, 25, 32, 59, 71, 72, 76, 80, 84, 85, 87, 88, 89, 94, 95, 96, 97,
                101, 102, 104, 107, 49, 51, 53, 55, 57, 67, 69, 75, 99}) {
    EXPECT_EQ(kPropertyInfo[k].name, nullptr) << k;
    EXPECT_EQ(kPropertyInfo[k].set, SetKind::Unused) << k;
  }
  EXPECT_TRUE(isPairUpper(49));
  EXPECT_FALSE(isPairUpper(48));
}

TEST(PropertyTable, RestoreListCoversExactlyTheRestoredProperties) {
  std::set<int> listed;
  for (const auto& e : kRestoreList) {
    EXPECT_EQ(e.address, 2 * e.number) << e.number;
    EXPECT_TRUE(listed.insert(e.number).second) << "restored twice: " << e.number;
    // Four bytes exactly for the restored 32-bit pairs.
    EXPECT_EQ(e.bytes == 4, isPair32(e.number)) << e.number;
  }
  for (int k = 0; k < kPropertyCount; ++k) {
    EXPECT_EQ(kPropertyInfo[k].restored, listed.count(k) == 1) << k;
  }
  // Start and end of the order in which start-up reads the EEPROM.
  EXPECT_EQ(kRestoreList.front().number, prop::SAVED_2);
  EXPECT_EQ(kRestoreList[3].number, prop::NODE_ID);
  EXPECT_EQ(kRestoreList.back().number, prop::HOME_VELOCITY_LIMIT);
  // Groups appear in start-up order and never interleave.
  for (size_t i = 1; i < kRestoreList.size(); ++i) {
    EXPECT_LE(kRestoreList[i - 1].group, kRestoreList[i].group) << i;
  }
}

}  // namespace
}  // namespace tavrix

namespace tavrix {
namespace {
TEST(PropertyTable, EepromByteCountFollowsTheStoredPairs) {
  for (int k = 0; k < kPropertyCount; ++k) {
    const bool whole = isPair32(k) && k != prop::POSITION && k != prop::MECH_ANGLE;
    EXPECT_EQ(eepromByteCount(k), whole ? 4 : 2) << k;
  }
  // The low byte decides, as the save command takes the number from a 16-bit value.
  EXPECT_EQ(eepromByteCount(256 + 52), 4);
  EXPECT_EQ(eepromByteCount(-256 + 74), 4);
}
}  // namespace
}  // namespace tavrix
