#include "sim/bus/can_frame.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace tavrix::sim {
namespace {

CanMessage frame(uint32_t id, bool extended, bool remote, uint8_t length, uint64_t payload = 0) {
  CanMessage m;
  m.id = id;
  m.extended = extended;
  m.remote = remote;
  m.length = length;
  for (int i = 0; i < 8; ++i) m.data[i] = static_cast<uint8_t>(payload >> (8 * (7 - i)));
  return m;
}

// A second, deliberately different derivation: the frame as a string of '0'/'1', the CRC as the
// remainder of a polynomial long division of the bits times x^15 by x^15 + 0x4599, stuffing by
// scanning the text for runs.
std::string bitsOf(uint32_t value, int count) {
  std::string s;
  for (int i = count - 1; i >= 0; --i) s += ((value >> i) & 1u) ? '1' : '0';
  return s;
}

std::string referenceHead(const CanMessage& m) {
  std::string s = "0";
  const std::string rtr = m.remote ? "1" : "0";
  if (m.extended) {
    s += bitsOf(m.id >> 18, 11) + "11" + bitsOf(m.id & 0x3FFFF, 18) + rtr + "00";
  } else {
    s += bitsOf(m.id, 11) + rtr + "00";
  }
  s += bitsOf(m.length, 4);
  const int bytes = m.remote ? 0 : (m.length > 8 ? 8 : m.length);
  for (int i = 0; i < bytes; ++i) s += bitsOf(m.data[i], 8);
  return s;
}

uint32_t referenceCrc(const std::string& head) {
  std::string r = head + std::string(15, '0');
  const std::string g = "1" + bitsOf(0x4599, 15);
  for (size_t i = 0; i + 16 <= r.size(); ++i) {
    if (r[i] != '1') continue;
    for (size_t k = 0; k < 16; ++k) r[i + k] = r[i + k] == g[k] ? '0' : '1';
  }
  return static_cast<uint32_t>(std::stoul(r.substr(r.size() - 15), nullptr, 2));
}

uint32_t referenceStuffBits(const std::string& region) {
  uint32_t stuffed = 0;
  std::string out;
  for (const char c : region) {
    out += c;
    if (out.size() >= 5 && out.compare(out.size() - 5, 5, std::string(5, c)) == 0) {
      out += c == '0' ? '1' : '0';
      ++stuffed;
    }
  }
  return stuffed;
}

TEST(CanFrame, AllZeroFrameHasSixStuffBits) {
  // SOF, identifier 0, RTR, IDE, r0 and length 0 are 19 dominant bits; the CRC of all zeros is
  // 0, so 34 dominant bits in a row: a stuff bit after each fifth, six in all. With the 13-bit
  // tail: 53 bits, 53 us.
  const CanMessage m = frame(0, false, false, 0);
  EXPECT_EQ(canCrc15(canFrameHeadBits(m)), 0);
  EXPECT_EQ(canStuffedBits(m).size(), 34u + 6u);
  EXPECT_EQ(canFrameBitCount(m), 53u);
  EXPECT_EQ(canFrameDuration_clk(m), 53 * 40);
}

TEST(CanFrame, AgreesWithAnIndependentDerivationAndStaysWithinTheStuffingBounds) {
  std::mt19937_64 rng(7);
  std::vector<CanMessage> frames = {frame(0x7FF, false, false, 8, ~0ull),
                                    frame(0x555, false, false, 8, 0x5555555555555555),
                                    frame(0x0A5, false, true, 3),
                                    frame(0x1FFFFFFF, true, false, 8, 0x0F0F0F0F0F0F0F0F),
                                    frame(0, true, true, 0),
                                    frame(0x123, false, false, 12, 0x1122334455667788)};
  for (int i = 0; i < 200; ++i) {
    const bool ext = (rng() & 1) != 0;
    frames.push_back(frame(static_cast<uint32_t>(rng() % (ext ? 0x20000000u : 0x800u)), ext,
                           (rng() % 5) == 0, static_cast<uint8_t>(rng() % 16), rng()));
  }
  for (const CanMessage& m : frames) {
    SCOPED_TRACE(::testing::Message() << std::hex << m.id << (m.extended ? " ext" : "")
                                      << (m.remote ? " rtr" : "") << " dlc " << int{m.length});
    const std::string head = referenceHead(m);
    const uint32_t crc = referenceCrc(head);
    EXPECT_EQ(canCrc15(canFrameHeadBits(m)), crc);
    const std::string region = head + bitsOf(crc, 15);
    const uint32_t stuff = referenceStuffBits(region);
    EXPECT_EQ(canFrameBitCount(m), region.size() + stuff + 13);
    // Worst case: one stuff bit per four bits after the first five of the stuffed region.
    const uint32_t n = m.dataBytes();
    const uint32_t plain = (m.extended ? 67 : 47) + 8 * n;
    const uint32_t region_bits = (m.extended ? 54 : 34) + 8 * n;
    EXPECT_GE(canFrameBitCount(m), plain);
    EXPECT_LE(canFrameBitCount(m), plain + (region_bits - 1) / 4);
  }
}

TEST(CanFrame, ArbitrationOrder) {
  struct Case {
    CanMessage winner, loser;
  };
  const Case cases[] = {
      {frame(0x100, false, false, 0), frame(0x101, false, false, 0)},      // lower identifier
      {frame(0x100, false, false, 8), frame(0x100, false, true, 0)},       // data before remote
      {frame(0x100, false, true, 0), frame(0x100 << 18, true, false, 0)},  // standard first
      {frame(0x0FF << 18 | 0x3FFFF, true, true, 0), frame(0x100, false, false, 0)},
      {frame(0x123 << 18 | 5, true, false, 0), frame(0x123 << 18 | 6, true, false, 0)},
      {frame(0x123 << 18 | 5, true, false, 0), frame(0x123 << 18 | 5, true, true, 0)},
  };
  for (const Case& c : cases) {
    EXPECT_LT(canArbitrationKey(c.winner), canArbitrationKey(c.loser))
        << std::hex << c.winner.id << " vs " << c.loser.id;
  }
}

}  // namespace
}  // namespace tavrix::sim
