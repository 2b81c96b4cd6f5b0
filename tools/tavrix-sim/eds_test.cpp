#include "tools/tavrix-sim/eds.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "firmware/canopen/object_dictionary.hpp"

namespace tavrix::tools {
namespace {

using Ini = std::map<std::string, std::map<std::string, std::string>>;

std::filesystem::path shippedEds() {
  return std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "sim" / "data" /
         "tavrix.eds";
}

std::string generated() {
  std::ostringstream out;
  writeEds(out);
  return out.str();
}

// A strict reader: every line is a section, a key=value pair or empty; keys are unique.
Ini parse(const std::string& text) {
  Ini ini;
  std::istringstream in(text);
  std::string line;
  std::string section;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line.front() == '[') {
      EXPECT_EQ(line.back(), ']') << line;
      section = line.substr(1, line.size() - 2);
      EXPECT_EQ(ini.count(section), 0u) << "duplicate section " << section;
      ini[section];
      continue;
    }
    const auto eq = line.find('=');
    EXPECT_NE(eq, std::string::npos) << line;
    EXPECT_FALSE(section.empty()) << line;
    const std::string key = line.substr(0, eq);
    EXPECT_EQ(ini[section].count(key), 0u) << section << " " << key;
    ini[section][key] = line.substr(eq + 1);
  }
  return ini;
}

std::string hex4(uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", v);
  return buf;
}

// The shipped file is exactly what the generator writes. TAVRIX_UPDATE_EDS=1 rewrites it.
TEST(Eds, ShippedFileIsUpToDate) {
  const std::string text = generated();
  if (std::getenv("TAVRIX_UPDATE_EDS") != nullptr) {
    std::ofstream(shippedEds(), std::ios::binary) << text;
  }
  std::ifstream in(shippedEds(), std::ios::binary);
  ASSERT_TRUE(in.good()) << shippedEds();
  std::stringstream shipped;
  shipped << in.rdbuf();
  EXPECT_TRUE(shipped.str() == text)
      << "sim/data/tavrix.eds is stale: regenerate it (TAVRIX_UPDATE_EDS=1 tavrix_eds_test)";
}

TEST(Eds, DescribesEveryRowOfTheDictionary) {
  Ini ini = parse(generated());
  // Rows per object, to tell VAR objects from the others.
  std::map<uint16_t, int> rows;
  for (const auto& r : canopen::kObjectDictionary) {
    if (r.idx != 0) ++rows[r.idx];
  }
  for (const auto& r : canopen::kObjectDictionary) {
    if (r.idx == 0) break;
    const bool var = rows[r.idx] == 1 && r.subIdx == 0;
    char sub[8];
    std::snprintf(sub, sizeof sub, "sub%X", r.subIdx);
    const std::string name = hex4(r.idx) + (var ? "" : sub);
    ASSERT_EQ(ini.count(name), 1u) << name;
    auto& s = ini[name];
    EXPECT_FALSE(s["ParameterName"].empty()) << name;
    EXPECT_EQ(s["ObjectType"], "0x7") << name;
    const char* types[] = {"0x0005", "0x0006", "0x0007", "0x0009"};
    EXPECT_EQ(s["DataType"], types[canopen::sizeCode(r)]) << name;
    const bool read = r.read != canopen::Accessor::kNone;
    const bool write = r.write != canopen::Accessor::kNone;
    EXPECT_EQ(s["AccessType"], read && write ? "rw" : (write ? "wo" : "ro")) << name;
    EXPECT_EQ(s["PDOMapping"], r.pdoMappable ? "1" : "0") << name;
    if (!var) {
      auto& object = ini[hex4(r.idx)];
      EXPECT_EQ(object["SubNumber"], std::to_string(rows[r.idx])) << name;
      EXPECT_TRUE(object["ObjectType"] == "0x8" || object["ObjectType"] == "0x9") << name;
    }
  }
  // The lists name every object once.
  size_t listed = 0;
  for (const char* list : {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"}) {
    listed += std::stoul(ini[list]["SupportedObjects"]);
  }
  EXPECT_EQ(listed, rows.size());
  EXPECT_EQ(ini["MandatoryObjects"]["SupportedObjects"], "3");
}

TEST(Eds, IdentityAndNodeDependentValues) {
  Ini ini = parse(generated());
  EXPECT_EQ(ini["DeviceInfo"]["VendorNumber"], ini["1018sub1"]["DefaultValue"]);
  EXPECT_EQ(ini["DeviceInfo"]["ProductNumber"], ini["1018sub2"]["DefaultValue"]);
  EXPECT_EQ(ini["DeviceInfo"]["NrOfRXPDO"], "4");
  EXPECT_EQ(ini["1014"]["DefaultValue"], "$NODEID+0x80");
  EXPECT_EQ(ini["1200sub1"]["DefaultValue"], "$NODEID+0x600");
  EXPECT_EQ(ini["1200sub2"]["DefaultValue"], "$NODEID+0x580");
  EXPECT_EQ(ini["1008"]["DefaultValue"], "Tavx");
  EXPECT_EQ(ini["1017"]["DefaultValue"], "0x7D0");
  EXPECT_EQ(ini["1000"]["DefaultValue"], "0x402");
  EXPECT_EQ(ini["3F00sub38"]["ParameterName"], "Property 56 UPPER_LIMIT");
  EXPECT_EQ(ini["60A0"]["AccessType"], "wo");
  EXPECT_EQ(ini["1600"]["ObjectType"], "0x8");
  // The departures are stated.
  const std::string comments = [&] {
    std::string all;
    for (const auto& [k, v] : ini["Comments"]) all += v + "\n";
    return all;
  }();
  for (const char* needle : {"exactly the object's size", "no boot-up", "signed 16-bit",
                             "\"save\"", "bit 31", "bit 29"}) {
    EXPECT_NE(comments.find(needle), std::string::npos) << needle;
  }
  EXPECT_EQ(std::stoul(ini["Comments"]["Lines"]), ini["Comments"].size() - 1);
}

}  // namespace
}  // namespace tavrix::tools
