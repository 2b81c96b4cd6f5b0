#include "tools/tavrix/config_file.hpp"

#include <algorithm>
#include <charconv>
#include <sstream>

#include "firmware/properties/property_table.hpp"
#include "tools/tavrix/errors.hpp"
#include "tools/tavrix/json.hpp"
#include "tools/tavrix/property_protocol.hpp"

namespace tavrix::cli {

std::vector<int> configProperties() {
  std::vector<int> out;
  for (const RestoreEntry& e : kRestoreList) out.push_back(e.number);
  return out;
}

bool isNodeIdentity(int k) { return k == prop::NODE_ID; }
bool isCalibration(int k) { return k == prop::ELEC_OFFSET || k == prop::CURRENT_OFFSET; }

std::string formatConfigText(const ConfigHeader& h, const std::vector<ConfigEntry>& entries) {
  std::ostringstream o;
  o << "# tavrix configuration: every property the node restores at start-up\n";
  o << "# node " << h.node << ", firmware id " << h.firmware_id << ", " << h.date << "\n";
  for (const ConfigEntry& e : entries) {
    const std::string left = propertyName(e.number) + " " + std::to_string(e.value);
    o << left << std::string(left.size() < 30 ? 30 - left.size() : 1, ' ') << "# " << e.number
      << "\n";
  }
  return o.str();
}

std::string formatConfigJson(const ConfigHeader& h, const std::vector<ConfigEntry>& entries) {
  std::string props = "[";
  for (size_t i = 0; i < entries.size(); ++i) {
    JsonObject p;
    p.str("name", propertyName(entries[i].number));
    p.num("number", entries[i].number);
    p.num("value", entries[i].value);
    props += (i ? "," : "") + p.text();
  }
  props += "]";
  JsonObject o;
  o.num("node", h.node);
  o.num("firmware_id", static_cast<int64_t>(h.firmware_id));
  o.str("date", h.date);
  o.raw("properties", props);
  return o.text() + "\n";
}

std::vector<ConfigEntry> parseConfig(std::istream& in, const std::string& name) {
  const std::vector<int> order = configProperties();
  std::vector<ConfigEntry> out;
  std::string line;
  int lineno = 0;
  const auto fail = [&](const std::string& why) {
    return Failure(Exit::kUsage, name + ":" + std::to_string(lineno) + ": " + why);
  };
  while (std::getline(in, line)) {
    ++lineno;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string key, value, extra;
    if (!(words >> key)) continue;
    if (!(words >> value) || (words >> extra)) {
      throw fail("expected NAME VALUE, got \"" + line + "\"");
    }
    int k = 0;
    try {
      k = lookupProperty(key);
    } catch (const Failure& f) {
      throw fail(f.what());
    }
    if (std::find(order.begin(), order.end(), k) == order.end()) {
      throw fail(propertyName(k) + " is not restored at start-up, so a configuration does not "
                 "hold it (`tavrix props` marks the restored ones)");
    }
    int64_t v = 0;
    const auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
    const int64_t lo = isPair32(k) ? INT32_MIN : -32768;
    const int64_t hi = isPair32(k) ? INT32_MAX : 32767;
    if (ec != std::errc() || p != value.data() + value.size() || v < lo || v > hi) {
      throw fail("value " + value + " of " + propertyName(k) + " is not an integer in " +
                 std::to_string(lo) + ".." + std::to_string(hi));
    }
    for (const ConfigEntry& e : out) {
      if (e.number == k) throw fail(propertyName(k) + " is given twice");
    }
    out.push_back({k, v});
  }
  std::stable_sort(out.begin(), out.end(), [&](const ConfigEntry& a, const ConfigEntry& b) {
    return std::find(order.begin(), order.end(), a.number) <
           std::find(order.begin(), order.end(), b.number);
  });
  return out;
}

}  // namespace tavrix::cli
