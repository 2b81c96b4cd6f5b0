#include "sim/board/rotor_encoder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

namespace tavrix::sim {
namespace {

uint16_t exchange(RotorEncoder& enc, uint16_t mosi, SimTime now = 0) {
  enc.select(now);
  const uint16_t w = enc.transfer(mosi, now + 64);
  enc.deselect(now + 80);
  return w;
}

TEST(RotorEncoder, AnswersTheAngleInBits13To2) {
  for (uint16_t counts : {0, 1, 2, 1000, 2048, 4094, 4095}) {
    SCOPED_TRACE(counts);
    RotorEncoder enc;
    enc.setAngle(counts);
    const uint16_t w = exchange(enc, 0xFFFF);
    EXPECT_EQ((w >> 2) & 0xFFF, counts);  // what the firmware decodes
    EXPECT_EQ(w & 0xC003, 0);             // the other bits are 0
  }
}

TEST(RotorEncoder, AngleIsModuloOneRevolution) {
  RotorEncoder enc;
  enc.setAngle(4096 + 5);
  EXPECT_EQ(enc.angle(), 5);
  enc.setAngle(0xFFFF);
  EXPECT_EQ(enc.angle(), 4095);
}

TEST(RotorEncoder, ShaftAngleQuantisesDownWithinOneRevolution) {
  constexpr double kPi = std::numbers::pi;
  constexpr double kCount = 2 * kPi / 4096;
  struct Case {
    double rad;
    uint16_t counts;
  } cases[] = {
      {0.0, 0},
      {kPi, 2048},
      {0.999 * kCount, 0},
      {1.001 * kCount, 1},
      {-1e-12, 4095},
      {-1e-300, 4095},
      {2 * kPi, 0},
      {3 * kPi, 2048},
      {-kPi / 2, 3072},
      {-20 * kPi + kPi / 2, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rad);
    RotorEncoder enc;
    enc.setShaftAngleRad(c.rad);
    EXPECT_EQ(enc.angle(), c.counts);
  }
  RotorEncoder enc;
  enc.setAngle(77);
  enc.setShaftAngleRad(std::numeric_limits<double>::quiet_NaN());
  enc.setShaftAngleRad(std::numeric_limits<double>::infinity());
  EXPECT_EQ(enc.angle(), 77);
}

TEST(RotorEncoder, RecordsTheWordsItReceives) {
  RotorEncoder enc;
  enc.setAngle(100);
  // Start-up: three words in one chip-select cycle.
  enc.select(0);
  for (uint16_t w : {0x7800, 0x0005, 0x0000}) EXPECT_EQ(enc.transfer(w, 10), 100 << 2);
  enc.deselect(20);
  for (int i = 0; i < 300; ++i) exchange(enc, 0xFFFF, 100 + i);
  ASSERT_EQ(enc.receivedWords().size(), RotorEncoder::kRecordedWordLimit);
  EXPECT_EQ(std::vector<uint16_t>(enc.receivedWords().begin(), enc.receivedWords().begin() + 4),
            (std::vector<uint16_t>{0x7800, 0x0005, 0x0000, 0xFFFF}));
  EXPECT_EQ(enc.frameCount(), 303u);
  EXPECT_EQ(enc.selectCount(), 301u);
}

TEST(RotorEncoder, AbsentEncoderReadsTheFloatingLine) {
  RotorEncoder enc;
  enc.setAngle(1234);
  enc.setPresent(false);
  EXPECT_EQ(exchange(enc, 0xFFFF), 0xFFFF);
  enc.setPresent(true);
  EXPECT_EQ(exchange(enc, 0xFFFF), 1234 << 2);
}

TEST(RotorEncoder, StuckEncoderKeepsItsAngleUntilFreed) {
  RotorEncoder enc;
  enc.setAngle(1234);
  enc.setStuck(true);
  enc.setAngle(99);
  enc.setShaftAngleRad(3.0);
  EXPECT_EQ(exchange(enc, 0xFFFF), 1234 << 2);
  enc.setStuck(false);
  enc.setAngle(99);
  EXPECT_EQ(exchange(enc, 0xFFFF), 99 << 2);
}

}  // namespace
}  // namespace tavrix::sim
