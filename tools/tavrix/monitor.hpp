// Decoding of bus traffic in both of the node's protocols, for `tavrix monitor`: property gets,
// sets and replies by name, logger dump words, the two-byte switch and reset frames, and the
// CANopen NMT, SYNC, EMCY, SDO (with abort texts), PDO and heartbeat frames.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sim/bus/can_message.hpp"

namespace tavrix::cli {

class TrafficDecoder {
 public:
  enum class Protocol { kAuto, kProperty, kCanopen };
  explicit TrafficDecoder(Protocol forced = Protocol::kAuto) : forced_(forced) {}

  // One line of text for one frame: what it is in the protocol its nodes speak. Frames are
  // taken in bus order: the decoder follows which nodes have switched to CANopen (a two-byte
  // frame they accept, a heartbeat or an SDO answer from them) and decodes identifiers that
  // both protocols use accordingly.
  std::string describe(const sim::CanMessage& m);

  // A JSON object for the frame (for --format json): the fields of describe() as keys.
  std::string describeJson(const sim::CanMessage& m, int64_t micros);

 private:
  enum class NodeMode : uint8_t { kUnknown, kProperty, kCanopen };
  struct Decoded {
    std::string protocol;  // "property", "logger", "canopen", "switch", "unknown"
    std::string kind;      // get, set, reply, word, nmt, sync, sdo, pdo, heartbeat, ...
    int node = -1;
    std::string text;
  };
  Decoded decode(const sim::CanMessage& m);
  Decoded decodeProperty(const sim::CanMessage& m);
  Decoded decodeCanopen(const sim::CanMessage& m);
  bool canopenShape(const sim::CanMessage& m) const;
  bool propertyShape(const sim::CanMessage& m) const;
  int propertyNode(const sim::CanMessage& m) const;

  Protocol forced_;
  std::array<NodeMode, 128> mode_{};
};

}  // namespace tavrix::cli
