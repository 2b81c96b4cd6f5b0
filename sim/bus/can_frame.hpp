// Bit-level facts of a CAN 2.0 frame on a 1 Mbit/s bus: the arbitration order, the CRC-15 and the
// exact length of a frame on the wire, stuff bits included.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/bus/can_message.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

inline constexpr SimTime kCanBitTime_clk = kBusClockHz / 1'000'000;  // 1 Mbit/s
inline constexpr uint32_t kCanStandardIdLimit = 0x800;
inline constexpr uint32_t kCanExtendedIdLimit = 0x2000'0000;

// Bits after the CRC sequence, never stuffed: CRC delimiter, ACK slot, ACK delimiter, end of frame
// (7) and intermission (3).
inline constexpr uint32_t kCanUnstuffedTailBits = 1 + 1 + 1 + 7 + 3;

// The frame from start of frame to the end of the data field, before stuffing, one bit (0 =
// dominant) per element: SOF, identifier (with SRR and IDE for an extended one), RTR, reserved
// bits, the 4-bit length code and the data bytes, most significant bit first.
std::vector<uint8_t> canFrameHeadBits(const CanMessage& m);

// CRC-15 (polynomial 0x4599, initial value 0) over `bits`.
uint16_t canCrc15(const std::vector<uint8_t>& bits);

// The stuffed region (head bits and the CRC sequence) with a complementary bit inserted after
// every five equal bits.
std::vector<uint8_t> canStuffedBits(const CanMessage& m);

// Bits the frame occupies on the bus: the stuffed region plus the unstuffed tail.
uint32_t canFrameBitCount(const CanMessage& m);
inline SimTime canFrameDuration_clk(const CanMessage& m) {
  return canFrameBitCount(m) * kCanBitTime_clk;
}

// The arbitration field as a number where the lower value wins the bus: identifier, RTR and IDE
// for a standard frame; base identifier, SRR, IDE, extension and RTR for an extended one, aligned
// at the most significant bit. A standard frame beats an extended one with the same 11 base bits,
// a data frame a remote frame with the same identifier.
uint32_t canArbitrationKey(const CanMessage& m);

// Whether the identifier fits its kind and the length code fits four bits.
bool canMessageValid(const CanMessage& m);

}  // namespace tavrix::sim
