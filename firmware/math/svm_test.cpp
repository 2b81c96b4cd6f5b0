#include "firmware/math/svm.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>

namespace {
constexpr int32_t kMax = 2147483647;
constexpr int32_t kMin = -2147483647 - 1;
constexpr int32_t kH = (1 << 30) - 1;

TEST(SvmStd, KnownValues) {
  struct Case {
    Frac32 alpha, beta;
    uint32_t sector;
    Frac32 a, b, c;
  } cases[] = {
      {0, 0, 2, kH, kH, kH},
      {1 << 30, 0, 6, 1538686975, 608796671, 608796671},
      {-(1 << 30), 0, 4, 608796671, 1538686975, 1538686975},
      {0, 1 << 30, 2, kH, 1610612735, 536870911},
  };
  for (const Case& c : cases) {
    const MCLIB_2_COOR_SYST_ALPHA_BETA_T in{c.alpha, c.beta};
    MCLIB_3_COOR_SYST_T out{};
    EXPECT_EQ(GMCLIB_SvmStdANSIC(&out, &in), c.sector) << c.alpha << " " << c.beta;
    EXPECT_EQ(out.f32A, c.a) << c.alpha << " " << c.beta;
    EXPECT_EQ(out.f32B, c.b) << c.alpha << " " << c.beta;
    EXPECT_EQ(out.f32C, c.c) << c.alpha << " " << c.beta;
  }
}

// Sector of a vector from its angle: 60-degree slices, sector 6 just below alpha, sector 1 just
// above, counting up counter-clockwise; 0 within 2^18 of a slice border (alpha enters the
// modulator with 16 bits), where either neighbour is right.
uint32_t sectorOfAngle(double alpha, double beta) {
  const double th = std::atan2(beta, alpha);
  const double r = std::hypot(alpha, beta);
  for (int k = 0; k < 3; ++k) {
    if (r * std::fabs(std::sin(th - k * std::numbers::pi / 3.0)) < 262144.0) return 0;
  }
  const double pos = (th * 180.0 / std::numbers::pi + 360.0) / 60.0;  // slices from 0 degrees
  const int slice = static_cast<int>(std::floor(pos)) % 6;            // 0 = [0, 60) degrees
  return static_cast<uint32_t>(slice + 1);
}

// Inside the hexagon's inscribed circle the duties are exact standard space-vector PWM: the
// differences are the line voltages over sqrt(3) (va = alpha, vb,c = -alpha/2 +- sqrt(3)/2 beta)
// and the largest and smallest duty sit symmetrically about one half.
TEST(SvmStd, LinearRangeMatchesLineVoltages) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> radius(0.0, 0.99),
      turn(-std::numbers::pi, std::numbers::pi);
  constexpr double kTol = 80000.0;  // alpha enters with 16 bits; sqrt(3)/2 has 15
  for (int i = 0; i < 200000; ++i) {
    const double r = radius(rng), th = turn(rng);
    const auto alpha = static_cast<int32_t>(std::round(r * std::cos(th) * 2147483648.0));
    const auto beta = static_cast<int32_t>(std::round(r * std::sin(th) * 2147483648.0));
    const MCLIB_2_COOR_SYST_ALPHA_BETA_T in{alpha, beta};
    MCLIB_3_COOR_SYST_T out{};
    const uint32_t sector = GMCLIB_SvmStdANSIC(&out, &in);
    const uint32_t want = sectorOfAngle(alpha, beta);
    if (want != 0) {
      ASSERT_EQ(sector, want) << alpha << " " << beta;
    }
    const double va = alpha;
    const double vb = -0.5 * alpha + std::numbers::sqrt3 / 2.0 * beta;
    const double vc = -0.5 * alpha - std::numbers::sqrt3 / 2.0 * beta;
    const double a = out.f32A, b = out.f32B, c = out.f32C;
    ASSERT_NEAR(a - b, (va - vb) / std::numbers::sqrt3, kTol) << alpha << " " << beta;
    ASSERT_NEAR(b - c, (vb - vc) / std::numbers::sqrt3, kTol) << alpha << " " << beta;
    ASSERT_NEAR(a - c, (va - vc) / std::numbers::sqrt3, kTol) << alpha << " " << beta;
    ASSERT_NEAR(std::max({a, b, c}) + std::min({a, b, c}), 2.0 * kH, 4.0) << alpha << " " << beta;
    ASSERT_GE(std::min({a, b, c}), 0.0);
  }
}

// Beyond the hexagon every input still gives a sector and a first duty clamped at zero.
TEST(SvmStd, OvermodulationStaysDefined) {
  const int32_t values[] = {kMin, kMin + 1, -(1 << 30), -1, 0, 1, 1 << 30, kMax};
  for (int32_t alpha : values) {
    for (int32_t beta : values) {
      const MCLIB_2_COOR_SYST_ALPHA_BETA_T in{alpha, beta};
      MCLIB_3_COOR_SYST_T out{-1, -1, -1};
      const uint32_t sector = GMCLIB_SvmStdANSIC(&out, &in);
      ASSERT_GE(sector, 1u);
      ASSERT_LE(sector, 6u);
      // The phase with the smallest duty is clamped at zero at worst, never negative.
      ASSERT_GE(std::min({out.f32A, out.f32B, out.f32C}), 0) << alpha << " " << beta;
      if (alpha == 0 && beta == 0) {
        EXPECT_EQ(sector, 2u);
      }
    }
  }
}

}  // namespace
