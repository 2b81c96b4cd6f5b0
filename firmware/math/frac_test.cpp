#include "firmware/math/frac.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace tmath = tavrix::math;

namespace {
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

// Usable in constant expressions (gain tables computed at compile time).
static_assert(F32Mul(1 << 30, 1 << 30) == 1 << 29);
static_assert(F16Mul(16384, 16384) == 8192);
static_assert(tmath::satAdd32(kMax, 1) == kMax);

// floor(x * y / 2^31) from the exact product in extended precision, wrapped to 32 bits.
int32_t refMul31(int32_t x, int32_t y) {
  const long double p = std::floor(std::ldexp(static_cast<long double>(x) * y, -31));
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(p)));
}

TEST(Frac, BoundaryValues) {
  EXPECT_EQ(F32Mul(kMin, kMin), kMin);
  EXPECT_EQ(F32MulSat(kMin, kMin), kMax);
  EXPECT_EQ(F32MulSat(kMin, kMax), kMin + 1);
  EXPECT_EQ(F32Mul(kMax, kMax), kMax - 1);
  EXPECT_EQ(F32Mul(-1, 1), -1);  // truncation toward minus infinity
  EXPECT_EQ(F32NegSat(kMin), kMax);
  EXPECT_EQ(F32NegSat(kMax), kMin + 1);
  EXPECT_EQ(F32NegSat(0), 0);
  EXPECT_EQ(F16Mul(-32768, -32768), -32768);
  EXPECT_EQ(F16Mul(-32768, 32767), -32767);
  EXPECT_EQ(F16Mul(-1, 1), -1);
}

TEST(Frac, SaturatingAddAndSubtract) {
  struct Case {
    int32_t a, b, sum, diff;
  } cases[] = {
      {kMax, 1, kMax, kMax - 1},   {kMin, -1, kMin, kMin + 1},     {kMin, kMin, kMin, 0},
      {kMax, kMin, -1, kMax},      {0, kMin, kMin, kMax},          {-5, 3, -2, -8},
      {1 << 30, 1 << 30, kMax, 0}, {-(1 << 30), 1 << 30, 0, kMin},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tmath::satAdd32(c.a, c.b), c.sum) << c.a << " + " << c.b;
    EXPECT_EQ(tmath::satSub32(c.a, c.b), c.diff) << c.a << " - " << c.b;
  }
}

TEST(Frac, ProductsMatchExactArithmetic) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int32_t> any32(kMin, kMax);
  std::uniform_int_distribution<int32_t> any16(-32768, 32767);
  for (int i = 0; i < 200000; ++i) {
    const int32_t x = any32(rng), y = any32(rng);
    const int32_t want = refMul31(x, y);
    ASSERT_EQ(F32Mul(x, y), want) << x << " * " << y;
    ASSERT_EQ(F32MulSat(x, y), want == kMin ? kMax : want) << x << " * " << y;
    const auto a = static_cast<Frac16>(any16(rng)), b = static_cast<Frac16>(any16(rng));
    const auto p16 = static_cast<int64_t>(std::floor(std::ldexp(static_cast<double>(a) * b, -15)));
    ASSERT_EQ(F16Mul(a, b), static_cast<int16_t>(static_cast<uint16_t>(p16))) << a << " * " << b;
    const int64_t s = static_cast<int64_t>(x) + y, d = static_cast<int64_t>(x) - y;
    ASSERT_EQ(tmath::satAdd32(x, y), s > kMax ? kMax : (s < kMin ? kMin : s));
    ASSERT_EQ(tmath::satSub32(x, y), d > kMax ? kMax : (d < kMin ? kMin : d));
  }
}

}  // namespace
