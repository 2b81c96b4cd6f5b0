#include "tools/tavrix-sim/factory.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "firmware/properties/property_table.hpp"

namespace tavrix::tools {
namespace {

std::optional<FactoryDefaults> parse(const std::string& text, std::string* error = nullptr) {
  std::istringstream in(text);
  return parseFactoryDefaults(in, error);
}

uint16_t at16(const std::vector<uint8_t>& image, int k) {
  return static_cast<uint16_t>(image[2 * k] | image[2 * k + 1] << 8);
}

TEST(FactoryDefaults, TheShippedSetParses) {
  std::string error;
  const auto d = parse(kFactoryDefaultsText, &error);
  ASSERT_TRUE(d) << error;
  EXPECT_FALSE(d->values.empty());
}

TEST(FactoryDefaults, OnlyThePropertiesSectionIsRead) {
  const auto d = parse("TEMP_LIMIT 1\n[motor]\nresistance_ohm 0.5\n[properties]\nPOLES 8\n");
  ASSERT_TRUE(d);
  ASSERT_EQ(d->values.size(), 2u);
  EXPECT_EQ(d->values[1], (std::pair<int16_t, int32_t>{prop::POLES, 8}));
}

TEST(FactoryDefaults, TheShippedDriveParses) {
  EXPECT_GT(shippedReferenceDrive().plant.motor.resistance_ohm, 0.0);
}

TEST(FactoryDefaults, MalformedLinesAreRejectedWithTheirNumber) {
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"NOT_A_PROPERTY 1\n", "unknown property"},
      {"TEMP_LIMIT\n", "expected NAME VALUE"},
      {"TEMP_LIMIT 1 2\n", "expected NAME VALUE"},
      {"TEMP_LIMIT twelve\n", "bad value"},
      {"TEMP_LIMIT 70000\n", "out of range"},
      {"\n# comment\nTEMP_LIMIT 0x\n", "line 3"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse(c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(FactoryDefaults, ImageHoldsTheSavedBytesOfEveryRestoredProperty) {
  const auto d = parse("TEMP_LIMIT 0x4C00 # 76 degC\nTRAVEL -2\nHOME_TARGET 70000\nSAVED_2 -1\n");
  ASSERT_TRUE(d);
  std::vector<uint8_t> image(8192, 0xFF);
  writeFactoryImage(*d, 5, image);
  EXPECT_EQ(at16(image, prop::TEMP_LIMIT), 0x4C00);
  EXPECT_EQ(at16(image, prop::NODE_ID), 5);
  EXPECT_EQ(at16(image, prop::SAVED_2), 0xFFFF);
  // 32-bit pairs as four bytes, least significant first (70000 = 0x00011170).
  const size_t home = 2 * prop::HOME_TARGET;
  EXPECT_EQ(image[home], 0x70);
  EXPECT_EQ(image[home + 1], 0x11);
  EXPECT_EQ(image[home + 2], 0x01);
  EXPECT_EQ(image[home + 3], 0x00);
  EXPECT_EQ(at16(image, prop::TRAVEL), 0xFFFE);
  EXPECT_EQ(at16(image, prop::TRAVEL + 1), 0xFFFF);
  // Restored properties not listed are 0; the rest of the part stays blank.
  EXPECT_EQ(at16(image, prop::POLES), 0);
  EXPECT_EQ(at16(image, prop::MODE), 0xFFFF);
  EXPECT_EQ(image[0x100], 0xFF);
  EXPECT_FALSE(isBlankImage(image));
  EXPECT_TRUE(isBlankImage(std::vector<uint8_t>(16, 0xFF)));
}

}  // namespace
}  // namespace tavrix::tools
