#include "tools/tavrix/canopen.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {
namespace {

TEST(SdoFrames, WriteLengthIsFourPlusTheObjectSizeUnlessEightIsAsked) {
  struct Case {
    SdoType type;
    uint32_t value;
    uint8_t length;
    uint8_t command;
  };
  const Case cases[] = {
      {SdoType::kU8, 0xFE, 5, 0x2F},
      {SdoType::kI16, 0xFFFF, 6, 0x2B},
      {SdoType::kU32, 0x12345678, 8, 0x23},
      {SdoType::kStr4, 0x65766173, 8, 0x23},
  };
  for (const Case& c : cases) {
    const CanMessage m = sdoDownloadRequest(5, 0x1400, 2, c.type, c.value, false);
    EXPECT_EQ(m.id, 0x605u);
    EXPECT_EQ(m.length, c.length);
    EXPECT_EQ(m.data[0], c.command);
    EXPECT_EQ(m.data[1], 0x00);
    EXPECT_EQ(m.data[2], 0x14);
    EXPECT_EQ(m.data[3], 2);
    EXPECT_EQ(m.data[4], c.value & 0xFF);
    EXPECT_EQ(sdoDownloadRequest(5, 0x1400, 2, c.type, c.value, true).length, 8);
  }
  const CanMessage r = sdoUploadRequest(31, 0x1008, 0);
  EXPECT_EQ(r.id, 0x61Fu);
  EXPECT_EQ(r.data[0], 0x40);
  EXPECT_EQ(nmtFrame(0x81, 0).length, 2);
}

TEST(SdoValues, ParseWithinTheTypeAndPrintBack) {
  EXPECT_EQ(parseSdoValue(SdoType::kU8, "255"), 255u);
  EXPECT_EQ(parseSdoValue(SdoType::kI8, "-1"), 0xFFu);
  EXPECT_EQ(parseSdoValue(SdoType::kU16, "0xFFFF"), 0xFFFFu);
  EXPECT_EQ(parseSdoValue(SdoType::kI32, "-2"), 0xFFFFFFFEu);
  EXPECT_EQ(parseSdoValue(SdoType::kStr4, "save"), 0x65766173u);
  for (auto [t, v] : {std::pair{SdoType::kU8, "256"}, {SdoType::kI8, "128"}, {SdoType::kU16, "-1"},
                      {SdoType::kU32, "0x100000000"}, {SdoType::kStr4, "saved"}, {SdoType::kU8, "x"}}) {
    EXPECT_THROW(parseSdoValue(t, v), Failure) << v;
  }
  EXPECT_EQ(formatSdoValue(SdoType::kStr4, 0x78766154), "\"Tavx\"");
  EXPECT_EQ(formatSdoValue(SdoType::kI16, 0xFFFF8000), "-32768");
}

TEST(SdoAborts, CarryTheirMeaning) {
  EXPECT_EQ(sdoAbortText(0x06020000), "object does not exist in the object dictionary");
  EXPECT_NE(sdoAbortText(0x05040002).find("length"), std::string::npos);
  EXPECT_EQ(sdoAbortText(0x12345678), "unknown abort code");
}

TEST(Eds, GivesTheTypeOfAnObject) {
  const auto path = std::filesystem::temp_directory_path() / "tavrix-test.eds";
  std::ofstream(path) << "[1008]\nParameterName=Device name\nObjectType=0x7\nDataType=0x0009\n"
                         "[1400sub2]\nDataType=0x0005\n[2401]\nDataType=0x0006\n";
  EXPECT_EQ(edsType(path.string(), 0x1008, 0), SdoType::kStr4);
  EXPECT_EQ(edsType(path.string(), 0x1400, 2), SdoType::kU8);
  EXPECT_EQ(edsType(path.string(), 0x2401, 0), SdoType::kU16);
  EXPECT_FALSE(edsType(path.string(), 0x1400, 1));
  std::filesystem::remove(path);
  EXPECT_THROW(edsType("/nonexistent/x.eds", 0x1000, 0), Failure);
}

}  // namespace
}  // namespace tavrix::cli
