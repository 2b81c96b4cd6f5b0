#include "tools/tavrix-sim/factory.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "firmware/properties/property_table.hpp"

namespace tavrix::tools {
namespace {

std::optional<int16_t> numberOf(const std::string& name) {
  for (const PropertyInfo& info : kPropertyInfo) {
    if (info.name != nullptr && name == info.name) return info.number;
  }
  return std::nullopt;
}

std::optional<int32_t> parseValue(const std::string& text) {
  int64_t v = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  bool negative = false;
  if (first != last && *first == '-') {
    negative = true;
    ++first;
  }
  int base = 10;
  if (last - first > 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')) {
    base = 16;
    first += 2;
  }
  const auto [ptr, ec] = std::from_chars(first, last, v, base);
  if (ec != std::errc() || ptr != last || first == last) return std::nullopt;
  if (negative) v = -v;
  if (v < INT32_MIN || v > static_cast<int64_t>(UINT32_MAX)) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

}  // namespace

std::optional<FactoryDefaults> parseFactoryDefaults(std::istream& in, std::string* error) {
  FactoryDefaults out;
  std::string line;
  int lineNo = 0;
  // Lines before any section header, and those of [properties], are properties; the drive's
  // other sections belong to the plant's parser.
  bool inProperties = true;
  while (std::getline(in, line)) {
    ++lineNo;
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string name, value, extra;
    if (!(fields >> name)) continue;
    if (name.front() == '[') {
      inProperties = name == "[properties]";
      continue;
    }
    if (!inProperties) continue;
    const auto fail = [&](const std::string& why) {
      if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
      return std::nullopt;
    };
    if (!(fields >> value) || (fields >> extra)) return fail("expected NAME VALUE");
    const auto number = numberOf(name);
    if (!number) return fail("unknown property " + name);
    const auto v = parseValue(value);
    if (!v) return fail("bad value " + value);
    const int width = isPair32(*number) ? 32 : 16;
    if (width == 16 && (*v < INT16_MIN || *v > UINT16_MAX)) return fail("value out of range");
    out.values.emplace_back(*number, *v);
  }
  return out;
}

std::optional<FactoryDefaults> shippedFactoryDefaults(std::string* error) {
  std::istringstream in(kFactoryDefaultsText);
  return parseFactoryDefaults(in, error);
}

const sim::ReferenceDrive& shippedReferenceDrive() {
  static const sim::ReferenceDrive drive = [] {
    std::istringstream in(kFactoryDefaultsText);
    std::string error;
    auto d = sim::parseReferenceDrive(in, &error);
    if (!d) {
      std::fprintf(stderr, "reference drive: %s\n", error.c_str());
      std::abort();
    }
    return *d;
  }();
  return drive;
}

bool isBlankImage(const std::vector<uint8_t>& image) {
  return std::all_of(image.begin(), image.end(), [](uint8_t b) { return b == 0xFF; });
}

void writeFactoryImage(const FactoryDefaults& defaults, int nodeId, std::vector<uint8_t>& image) {
  PropertyTable table;
  for (const auto& [number, value] : defaults.values) {
    if (isPair32(number)) {
      table.set32(number, value);
    } else {
      table.property[number] = static_cast<int16_t>(value);
    }
  }
  table.property[prop::NODE_ID] = static_cast<int16_t>(nodeId);
  // Every restored property, and any other listed one: a host could save it too.
  std::vector<int16_t> numbers;
  for (const RestoreEntry& e : kRestoreList) numbers.push_back(e.number);
  for (const auto& entry : defaults.values) numbers.push_back(entry.first);
  for (int16_t n : numbers) {
    const uint8_t count = eepromByteCount(n);
    const size_t address = 2 * static_cast<size_t>(n);
    if (image.size() < address + count) continue;
    // The save command writes the table's memory image: low byte first.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&table.property[n]);
    std::copy(bytes, bytes + count, image.begin() + static_cast<std::ptrdiff_t>(address));
  }
}

}  // namespace tavrix::tools
