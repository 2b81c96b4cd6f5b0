// Configuration files of `tavrix config`: every property that start-up restores from the EEPROM,
// one `NAME VALUE  # number` line each, in start-up restore order, under a comment header.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace tavrix::cli {

struct ConfigEntry {
  int number = 0;
  int64_t value = 0;
  bool operator==(const ConfigEntry&) const = default;
};

struct ConfigHeader {
  int node = 0;
  int32_t firmware_id = 0;
  std::string date;  // ISO 8601, UTC
};

// The properties a configuration holds, in start-up restore order.
std::vector<int> configProperties();
// NODE_ID and the two calibration offsets, which restore leaves alone unless asked.
bool isNodeIdentity(int k);
bool isCalibration(int k);

std::string formatConfigText(const ConfigHeader& h, const std::vector<ConfigEntry>& entries);
std::string formatConfigJson(const ConfigHeader& h, const std::vector<ConfigEntry>& entries);

// Reads a text configuration (blank lines and `#` comments skipped; names in any case or
// numbers). Returns the entries sorted into start-up restore order. Throws Failure(kUsage)
// naming the line of an unknown property, a property start-up does not restore, a value that
// does not fit, or a property given twice.
std::vector<ConfigEntry> parseConfig(std::istream& in, const std::string& name);

}  // namespace tavrix::cli
