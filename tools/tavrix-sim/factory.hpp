// The factory default property set: read from its data file and written into blank EEPROM images.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/board/reference_drive.hpp"

namespace tavrix::tools {

// The reference drive's data file, sim/data/reference_drive.conf, compiled in: the plant's
// sections and the default property set (its [properties] section).
extern const char* const kFactoryDefaultsText;

struct FactoryDefaults {
  std::vector<std::pair<int16_t, int32_t>> values;  // property number, value
};

// Parses `NAME VALUE` lines ('#' starts a comment) before any `[section]` line and in the
// [properties] section; other sections are skipped. Names are the property table's. On a
// malformed line returns nullopt and describes it in `error`.
std::optional<FactoryDefaults> parseFactoryDefaults(std::istream& in, std::string* error);

// The shipped set, parsed.
std::optional<FactoryDefaults> shippedFactoryDefaults(std::string* error);

// The shipped drive's plant and board. The compiled-in file is checked by the tests, so a parse
// failure here is a build defect: it aborts with the reason.
const sim::ReferenceDrive& shippedReferenceDrive();

// True when every byte is 0xFF: a part that was never written.
bool isBlankImage(const std::vector<uint8_t>& image);

// Writes every property the node restores at start-up into `image`, as a host's set and save of
// each number would: the default's value (0 when not listed) at byte address 2k, little-endian,
// with the save command's byte count. NODE_ID is `nodeId`.
void writeFactoryImage(const FactoryDefaults& defaults, int nodeId, std::vector<uint8_t>& image);

}  // namespace tavrix::tools
