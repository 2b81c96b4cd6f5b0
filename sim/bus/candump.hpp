// CAN frames as lines of the candump log format, used for recordings, scripts and test fixtures:
//   (1700000000.000000) can0 123#DEADBEEF
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bus/can_message.hpp"

namespace tavrix::sim {

// One line: `(SSSSSSSSSS.UUUUUU) IFACE ID#DATA`, without a newline. Seconds are zero-padded to
// 10 digits (more when needed), the identifier is 3 uppercase hex digits (8 when extended), the
// data uppercase hex without separators. A remote frame is `ID#R`, followed by its length code
// when that is not 0 (`R8_B` for a code above 8). A data frame with a length code of 9..15
// carries its 8 bytes followed by `_` and the code (`123#1122334455667788_9`).
// Throws std::invalid_argument for what the format cannot carry: a negative time, an identifier
// too wide for its kind, a length code above 15, an empty interface name or one with blanks.
std::string formatCandumpLine(int64_t micros, const CanMessage& m, std::string_view iface = "can0");

struct CandumpLine {
  int64_t micros = 0;
  std::string iface;
  CanMessage message;  // bytes beyond the frame's data are 0
  bool operator==(const CandumpLine&) const = default;
};

// Reads one line as candump and the common tools write it: any width of seconds, 1 to 6 digits
// of fraction, hex in either case, `R` with or without a length code, an optional direction
// token `R` or `T` after the frame, surrounding blanks (and a CR) ignored. Returns nothing for a
// malformed line: a missing part, an identifier of another width or out of range, an odd number
// of data digits, more than 8 bytes, or a CAN FD frame (`ID##...`).
std::optional<CandumpLine> parseCandumpLine(std::string_view line);

// Says what keeps `line` from being read by parseCandumpLine, naming the part at fault (the
// timestamp, the interface, the identifier, the data, the direction); empty when it reads.
std::string candumpLineError(std::string_view line);

struct CandumpScript {
  std::vector<CandumpLine> lines;  // the frames up to the first malformed line
  size_t error_line = 0;           // 1-based number of the first malformed line, 0 if none
  bool ok() const { return error_line == 0; }
};

// Reads a whole script, skipping blank lines and comment lines (first non-blank character '#');
// stops at the first malformed line.
CandumpScript readCandumpScript(std::istream& in);

}  // namespace tavrix::sim
