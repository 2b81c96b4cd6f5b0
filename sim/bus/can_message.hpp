// One CAN frame as the simulated bus, its endpoints and its recordings carry it.
#pragma once

#include <array>
#include <cstdint>

namespace tavrix::sim {

struct CanMessage {
  uint32_t id = 0;        // 11-bit or 29-bit identifier, without flag bits
  bool extended = false;  // 29-bit identifier
  bool remote = false;    // remote frame: no data, `length` is the requested length code
  uint8_t length = 0;     // length code 0..15; data frames carry min(length, 8) bytes
  std::array<uint8_t, 8> data{};

  uint8_t dataBytes() const { return remote ? 0 : (length > 8 ? 8 : length); }
  bool operator==(const CanMessage&) const = default;
};

}  // namespace tavrix::sim
