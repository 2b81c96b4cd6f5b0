#include "firmware/math/sqrt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {

// The bit-by-bit search the routine replaced: bit 14 from u >= 2^29, then one trial step per
// bit from 2^13 down. Kept as the reference the fast root must match exactly.
int32_t bitwiseSqrt(uint32_t u) {
  uint32_t r = u >= (1u << 29) ? (1u << 14) : 0u;
  for (uint32_t b = 1u << 13; b != 0u; b >>= 1) {
    const uint32_t t = r + b;
    if (2u * t * t <= u) r = t;
  }
  return static_cast<int32_t>(r << 16);
}

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

// Dense and edge inputs against the bit-by-bit search: all of [0, 2^22), every root boundary
// 2 r^2 with its neighbours up to +-3, the top of every power of two, the region around 2^31 where
// the estimate meets the cap, and a stride through the whole range.
TEST(Sqrt, MatchesBitwiseSearchDenseAndAtEdges) {
  auto check = [](uint32_t u) {
    ASSERT_EQ(GFLIB_SqrtANSIC(static_cast<int32_t>(u)), bitwiseSqrt(u)) << u;
  };
  for (uint32_t u = 0; u < (1u << 22); ++u) check(u);
  for (uint32_t r = 1; r <= 46341u; ++r) {
    const uint64_t b = 2ull * r * r;
    for (int d = -3; d <= 3; ++d) {
      const uint64_t u = b + static_cast<uint64_t>(static_cast<int64_t>(d));
      if (u <= 0xFFFFFFFFull) check(static_cast<uint32_t>(u));
    }
  }
  for (uint32_t k = 0; k < 32; ++k) {
    for (uint32_t d = 0; d < 64; ++d) {
      check((1u << k) + d);
      check((1u << k) - d);
    }
  }
  for (uint32_t u = 0x80000000u - (1u << 20); u != 0x80000000u + (1u << 12); ++u) check(u);
  for (uint64_t u = 0; u <= 0xFFFFFFFFull; u += 997u) check(static_cast<uint32_t>(u));
  check(0xFFFFFFFFu);
}

}  // namespace
