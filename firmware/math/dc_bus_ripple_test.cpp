#include "firmware/math/dc_bus_ripple.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {
constexpr int32_t kMax = 2147483647;
constexpr int32_t kMin = -2147483647 - 1;

MCLIB_2_COOR_SYST_ALPHA_BETA_T eliminate(Frac32 index, Frac32 bus, Frac32 alpha, Frac32 beta) {
  const GMCLIB_ELIM_DC_BUS_RIP_T param{index, bus};
  const MCLIB_2_COOR_SYST_ALPHA_BETA_T in{alpha, beta};
  MCLIB_2_COOR_SYST_ALPHA_BETA_T out{12345, 12345};
  GMCLIB_ElimDcBusRipANSIC(&out, &in, &param);
  return out;
}

TEST(ElimDcBusRip, KnownValues) {
  struct Case {
    Frac32 index, bus, alpha, beta, outAlpha, outBeta;
  } cases[] = {
      // Index 0.866, bus 0.999755859375.
      {1859720839, 2146959360, 1 << 30, 0, 1860173824, 0},
      {1859720839, 2146959360, 0, 1 << 30, 0, 1860173824},
      {1859720839, 2146959360, 1239850262, 0, kMax, 0},  // |index * alpha| reaches half the bus
      {1859720839, 2146959360, -1239850262, kMin, kMin, kMin},
      // Beyond half the bus the input's sign decides, not the product's.
      {-(1 << 30), 1 << 30, kMax, kMin, kMax, kMin},
      // A bus below 2^16 switches the outputs off.
      {kMax, 0, kMax, kMin, 0, 0},
      {kMax, 1, kMax, kMin, 0, 0},
      {kMax, 65535, kMax, kMin, 0, 0},
      {1 << 30, 65536, 1 << 10, 0, 1 << 25, 0},  // 0.5 * 2^-21 / 2^-16 = 2^-6
      // A negative bus reading: saturated by each input's sign.
      {1 << 30, -1, 1, -1, kMax, kMin},
      {1 << 30, -65536, 0, -5, kMax, kMin},
      {kMin, kMin, kMin, kMax, kMin, kMax},
  };
  for (const Case& c : cases) {
    const MCLIB_2_COOR_SYST_ALPHA_BETA_T out = eliminate(c.index, c.bus, c.alpha, c.beta);
    EXPECT_EQ(out.f32Alpha, c.outAlpha) << c.index << " " << c.bus << " " << c.alpha;
    EXPECT_EQ(out.f32Beta, c.outBeta) << c.index << " " << c.bus << " " << c.beta;
  }
}

// Against index * v / (bus / 2): the divisor keeps 15 significant bits (relative error below
// 2^-14) and the quotient steps by 2^15 in the output.
TEST(ElimDcBusRip, MatchesRealQuotient) {
  std::mt19937 rng(6);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  std::uniform_int_distribution<int32_t> bus(65536, kMax);
  std::uniform_int_distribution<int> bits(0, 15);
  for (int i = 0; i < 200000; ++i) {
    const int32_t index = any(rng);
    const int32_t dc = bus(rng) >> bits(rng) | 65536;
    const int32_t v[2] = {any(rng), any(rng) >> bits(rng)};
    const MCLIB_2_COOR_SYST_ALPHA_BETA_T out = eliminate(index, dc, v[0], v[1]);
    const int32_t got[2] = {out.f32Alpha, out.f32Beta};
    const double half = static_cast<double>(dc >> 1);
    for (int k = 0; k < 2; ++k) {
      const auto m = static_cast<double>(
          std::floor(static_cast<long double>(index) * v[k] / 2147483648.0L));  // exact
      if (std::fabs(m) >= half) {
        ASSERT_EQ(got[k], v[k] >= 0 ? kMax : kMin) << index << " " << dc << " " << v[k];
        continue;
      }
      const double ratio = m / half;
      const double want = std::fmax(std::fmin(ratio * 2147483648.0, 2147483647.0), -2147483648.0);
      const double tol = std::fabs(ratio) * 131072.0 + 32768.0 + 1.0;
      ASSERT_NEAR(got[k], want, tol) << index << " " << dc << " " << v[k];
    }
  }
}

}  // namespace
