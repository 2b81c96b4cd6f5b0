#include "firmware/math/sqrt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {

// floor(sqrt(u / 2)) capped at 32767, in the upper half: integer square root of floor(u / 2)
// (the same integer for a real or a floored u / 2), found from the double estimate.
int32_t refSqrt(uint32_t u) {
  const uint64_t h = u / 2u;
  auto r = static_cast<uint64_t>(std::sqrt(static_cast<double>(h)));
  while (r * r > h) --r;
  while ((r + 1) * (r + 1) <= h) ++r;
  if (r > 32767u) r = 32767u;
  return static_cast<int32_t>(r << 16);
}

TEST(Sqrt, KnownValues) {
  struct Case {
    int32_t in, out;
  } cases[] = {
      {0, 0},
      {1, 0},
      {2, 1 << 16},
      {1 << 30, 1518469120},  // sqrt(0.5) = 0.70709 (23170 in Q15)
      {1 << 29, 1 << 30},     // sqrt(0.25) = 0.5
      {2147483647, 2147418112},
      {-1, 2147418112},  // negative inputs read as unsigned: beyond the largest root
      {-2147483647 - 1, 2147418112},
  };
  for (const Case& c : cases) EXPECT_EQ(GFLIB_SqrtANSIC(c.in), c.out) << c.in;
}

// Every root boundary: u = 2 r^2 reaches r, one less stays at r - 1.
TEST(Sqrt, EveryRootBoundary) {
  for (uint32_t r = 1; r <= 32767u; ++r) {
    const uint32_t u = 2u * r * r;
    ASSERT_EQ(GFLIB_SqrtANSIC(static_cast<int32_t>(u)), static_cast<int32_t>(r << 16)) << u;
    ASSERT_EQ(GFLIB_SqrtANSIC(static_cast<int32_t>(u - 1u)), static_cast<int32_t>((r - 1u) << 16))
        << u - 1u;
  }
}

TEST(Sqrt, MatchesIntegerRootOverTheRange) {
  std::mt19937 rng(2);
  std::uniform_int_distribution<uint32_t> any(0u, 0xFFFFFFFFu);
  for (int i = 0; i < 300000; ++i) {
    const uint32_t u = any(rng);
    ASSERT_EQ(GFLIB_SqrtANSIC(static_cast<int32_t>(u)), refSqrt(u)) << u;
  }
}

}  // namespace
