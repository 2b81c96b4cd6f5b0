#include "tools/tavrix/config_file.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "firmware/properties/property_table.hpp"
#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {
namespace {

TEST(ConfigFile, HoldsEveryRestoredPropertyInRestoreOrder) {
  const std::vector<int> ks = configProperties();
  EXPECT_EQ(ks.front(), 2);  // start-up restores SAVED_2 first
  for (int k : ks) EXPECT_TRUE(kPropertyInfo[static_cast<size_t>(k)].restored) << k;
  size_t restored = 0;
  for (const PropertyInfo& p : kPropertyInfo) restored += p.restored;
  EXPECT_EQ(ks.size(), restored);
}

TEST(ConfigFile, TextRoundTripsAndSortsIntoRestoreOrder) {
  const std::vector<ConfigEntry> entries = {{2, 7}, {43, 800}, {74, 200000}, {52, -5}};
  const std::string text = formatConfigText({5, 4215, "2026-01-01T00:00:00Z"}, entries);
  EXPECT_NE(text.find("TORQUE_LIMIT 800"), std::string::npos);
  EXPECT_NE(text.find("# 43\n"), std::string::npos);
  std::istringstream in(text);
  EXPECT_EQ(parseConfig(in, "x"), entries);

  // Out of order, mixed case and numbers: read back in restore order (52 after 74).
  std::istringstream shuffled("travel -5\n43 800  # comment\n\nbackoff_high 200000\nSAVED_2 7\n");
  EXPECT_EQ(parseConfig(shuffled, "x"), entries);
}

TEST(ConfigFile, RefusesWhatStartUpDoesNotRestore) {
  const auto line_of = [](const std::string& text) -> std::string {
    std::istringstream in(text);
    try {
      parseConfig(in, "f.conf");
    } catch (const Failure& f) {
      EXPECT_EQ(f.code(), Exit::kUsage);
      return f.what();
    }
    return "";
  };
  EXPECT_NE(line_of("MODE 2\n").find("f.conf:1: MODE is not restored"), std::string::npos);
  EXPECT_NE(line_of("SAVED_2 1\nNOPE 3\n").find("f.conf:2: unknown property NOPE"), std::string::npos);
  EXPECT_NE(line_of("TORQUE_LIMIT 40000\n").find("-32768..32767"), std::string::npos);
  EXPECT_NE(line_of("TRAVEL 3000000000\n").find("TRAVEL"), std::string::npos);
  EXPECT_NE(line_of("TORQUE_LIMIT 1\nTORQUE_LIMIT 2\n").find("given twice"), std::string::npos);
  EXPECT_NE(line_of("TORQUE_LIMIT\n").find("expected NAME VALUE"), std::string::npos);
}

}  // namespace
}  // namespace tavrix::cli
