#include "firmware/math/arith.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace tmath = tavrix::math;

namespace {
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();

TEST(Arith, WrapAroundAtTheBoundaries) {
  struct Case {
    int32_t got, want;
  } cases[] = {
      {tmath::wrapAdd32(kMax, 1), kMin},
      {tmath::wrapAdd32(kMin, -1), kMax},
      {tmath::wrapAdd32(-5, 3), -2},
      {tmath::wrapSub32(kMin, 1), kMax},
      {tmath::wrapSub32(0, kMin), kMin},
      {tmath::wrapMul32(65536, 65536), 0},
      {tmath::wrapMul32(kMax, 2), -2},
      {tmath::wrapMul32(-3, 7), -21},
      {tmath::wrapNeg32(kMin), kMin},
      {tmath::wrapNeg32(5), -5},
      {tmath::wrapShl32(1, 31), kMin},
      {tmath::wrapShl32(-1, 4), -16},
      {tmath::wrapShl32(0x40000000, 1), kMin},
      {tmath::wrapShl32(3, 32), 0},
      {tmath::shr32(-1, 40), -1},
      {tmath::shr32(-8, 1), -4},
      {tmath::shr32(kMax, 32), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Arith, SixtyFourBitForms) {
  EXPECT_EQ(tmath::mul64(kMin, kMin), int64_t{1} << 62);
  EXPECT_EQ(tmath::mul64(kMax, -1), -int64_t{kMax});
  EXPECT_EQ(tmath::wrapAdd64(std::numeric_limits<int64_t>::max(), 1), kMin64);
  EXPECT_EQ(tmath::wrapShl64(1, 63), kMin64);
  EXPECT_EQ(tmath::wrapShl64(1, 64), 0);
  EXPECT_EQ(tmath::shr64(kMin64, 63), -1);
  EXPECT_EQ(tmath::low32(int64_t{0x123456789}), 0x23456789);
  EXPECT_EQ(tmath::low32(int64_t{0xFFFFFFFF}), -1);
}

TEST(Arith, DivisionFollowsTheChip) {
  struct Case {
    int32_t n, d, q, r;
  } cases[] = {
      {7, 2, 3, 1},      {-7, 2, -3, -1},   {7, -2, -3, 1},   {5, 0, 0, 5},
      {0, 0, 0, 0},      {kMin, -1, kMin, 0}, {kMin, 1, kMin, 0}, {kMax, -1, -kMax, 0},
      {kMin, 0, 0, kMin},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tmath::div32(c.n, c.d), c.q) << c.n << "/" << c.d;
    EXPECT_EQ(tmath::rem32(c.n, c.d), c.r) << c.n << "%" << c.d;
  }
  EXPECT_EQ(tmath::udiv32(0x80000000u, 0), 0u);
  EXPECT_EQ(tmath::udiv32(0x80000000u, 25735), 83446u);
  EXPECT_EQ(tmath::div64(kMin64, -1), kMin64);
  EXPECT_EQ(tmath::div64(10, 0), 0);
  EXPECT_EQ(tmath::div64(-10, 3), -3);
  EXPECT_EQ(tmath::udiv64(10, 0), 0u);
}

TEST(Arith, FloatToIntegerSaturatesAndMapsNanToZero) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float f;
    int32_t want;
  } cases[] = {
      {0.0f, 0},        {-0.0f, 0},         {1.9f, 1},       {-1.9f, -1},
      {nan, 0},         {inf, kMax},        {-inf, kMin},    {2147483648.0f, kMax},
      {-2147483648.0f, kMin}, {3e9f, kMax}, {-3e9f, kMin},   {2147483520.0f, 2147483520},
  };
  for (const auto& c : cases) EXPECT_EQ(tmath::f2i32(c.f), c.want) << c.f;

  EXPECT_EQ(tmath::f2u32(-1.0f), 0u);
  EXPECT_EQ(tmath::f2u32(nan), 0u);
  EXPECT_EQ(tmath::f2u32(5e9f), 0xFFFFFFFFu);
  EXPECT_EQ(tmath::f2u32(3e9f), 3000000000u);
  EXPECT_EQ(tmath::d2i32(1e300), kMax);
  EXPECT_EQ(tmath::d2i32(-1e300), kMin);
  EXPECT_EQ(tmath::d2i32(std::nan("")), 0);
  EXPECT_EQ(tmath::d2i32(-2.99), -2);
  EXPECT_EQ(tmath::f2i16(65537.0f), 1);
  EXPECT_EQ(tmath::f2i16(-32769.0f), 32767);
  EXPECT_EQ(tmath::f2i16(nan), 0);
  EXPECT_EQ(tmath::f2i16(inf), -1);  // saturated to 0x7FFFFFFF, low half 0xFFFF
}

TEST(Arith, RoundingConversions) {
  struct Case {
    float f;
    int32_t even;
    int32_t away;
  } cases[] = {
      {0.5f, 0, 1},   {1.5f, 2, 2},   {2.5f, 2, 3},     {-0.5f, 0, -1},
      {-1.5f, -2, -2}, {-2.5f, -2, -3}, {216.27f, 216, 216}, {-0.49f, 0, 0},
      {8388607.5f, 8388608, 8388608},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tmath::f2i32RoundEven(c.f), c.even) << c.f;
    EXPECT_EQ(tmath::d2i32RoundHalfAway(static_cast<double>(c.f)), c.away) << c.f;
  }
  EXPECT_EQ(tmath::d2i32RoundHalfAway(-65536.5), -65537);
  EXPECT_EQ(tmath::f2i32RoundEven(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(tmath::f2i32RoundEven(1e20f), kMax);
  EXPECT_EQ(tmath::d2i32RoundHalfAway(-1e20), kMin);
  // 65536 * 0.0033000002f is about 216.27: the trajectory's dt.
  EXPECT_EQ(tmath::f2i32RoundEven(65536.0f * 0.0033000002f), 216);
}
}  // namespace
