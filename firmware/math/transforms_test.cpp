#include "firmware/math/transforms.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>

namespace {
constexpr int32_t kMax = 2147483647;
constexpr int32_t kMin = -2147483647 - 1;

// Real value in Q31 units rounded and clamped to the 32-bit range.
int64_t clampQ31(double v) {
  return static_cast<int64_t>(std::fmax(std::fmin(std::round(v), 2147483647.0), -2147483648.0));
}

TEST(Clark, KnownValues) {
  struct Case {
    MCLIB_3_COOR_SYST_T in;
    MCLIB_2_COOR_SYST_ALPHA_BETA_T out;
  } cases[] = {
      {{1 << 30, -(1 << 29), -(1 << 29)}, {1 << 30, 0}},
      {{0, 1 << 30, -(1 << 30)}, {0, 1239850262}},
      {{kMin, kMax, kMin}, {kMin, kMax}},  // (b - c) / sqrt(3) > 1 saturates
      {{kMax, kMin, kMax}, {kMax, kMin}},
  };
  for (const Case& c : cases) {
    MCLIB_2_COOR_SYST_ALPHA_BETA_T out{};
    GMCLIB_ClarkANSIC(&out, &c.in);
    EXPECT_EQ(out.f32Alpha, c.out.f32Alpha);
    EXPECT_EQ(out.f32Beta, c.out.f32Beta);
  }
}

TEST(Clark, MatchesRealTransform) {
  std::mt19937 rng(4);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  for (int i = 0; i < 100000; ++i) {
    const MCLIB_3_COOR_SYST_T in{any(rng), any(rng), any(rng)};
    MCLIB_2_COOR_SYST_ALPHA_BETA_T out{};
    GMCLIB_ClarkANSIC(&out, &in);
    ASSERT_EQ(out.f32Alpha, in.f32A);
    const double beta = (static_cast<double>(in.f32B) - in.f32C) / std::numbers::sqrt3;
    ASSERT_NEAR(out.f32Beta, clampQ31(beta), 2.0) << in.f32B << " " << in.f32C;
  }
}

TEST(Park, KnownValues) {
  const MCLIB_2_COOR_SYST_ALPHA_BETA_T in{1 << 30, 0};
  MCLIB_2_COOR_SYST_D_Q_T out{};
  const MCLIB_ANGLE_T zero{0, kMax};
  GMCLIB_ParkANSIC(&out, &zero, &in);
  EXPECT_EQ(out.f32D, 1073741820);
  EXPECT_EQ(out.f32Q, 0);
  const MCLIB_ANGLE_T quarter{kMax, 0};
  GMCLIB_ParkANSIC(&out, &quarter, &in);
  EXPECT_EQ(out.f32D, 0);
  EXPECT_EQ(out.f32Q, -1073741820);
}

// The one input that reaches twice the full scale before the final doubling saturates instead
// of wrapping to 0.
TEST(Park, FullScaleCornerSaturates) {
  const MCLIB_ANGLE_T angle{kMin, kMin};
  const MCLIB_2_COOR_SYST_ALPHA_BETA_T ab{kMin, kMin};
  MCLIB_2_COOR_SYST_D_Q_T dq{};
  GMCLIB_ParkANSIC(&dq, &angle, &ab);
  EXPECT_EQ(dq.f32D, kMax);
  EXPECT_EQ(dq.f32Q, 0);
  const MCLIB_2_COOR_SYST_D_Q_T dqIn{kMin, kMax};
  MCLIB_2_COOR_SYST_ALPHA_BETA_T out{};
  GMCLIB_ParkInvANSIC(&out, &angle, &dqIn);
  EXPECT_EQ(out.f32Alpha, kMax);  // cos d - sin q = 2 - 2^-31
  EXPECT_EQ(out.f32Beta, 0);
}

// Random angles and vectors against the real rotations; each result carries at most a few
// LSBs of halving and truncation, times four.
TEST(Park, BothDirectionsMatchRealRotation) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  std::uniform_real_distribution<double> turn(-std::numbers::pi, std::numbers::pi);
  for (int i = 0; i < 100000; ++i) {
    const double th = turn(rng);
    const double s = static_cast<double>(clampQ31(std::sin(th) * 2147483648.0));
    const double c = static_cast<double>(clampQ31(std::cos(th) * 2147483648.0));
    const MCLIB_ANGLE_T angle{static_cast<int32_t>(s), static_cast<int32_t>(c)};
    const int32_t x = any(rng), y = any(rng);
    const double k = 1.0 / 2147483648.0;

    const MCLIB_2_COOR_SYST_ALPHA_BETA_T ab{x, y};
    MCLIB_2_COOR_SYST_D_Q_T dq{};
    GMCLIB_ParkANSIC(&dq, &angle, &ab);
    ASSERT_NEAR(dq.f32D, clampQ31((c * x + s * y) * k), 16.0) << i;
    ASSERT_NEAR(dq.f32Q, clampQ31((c * y - s * x) * k), 16.0) << i;

    const MCLIB_2_COOR_SYST_D_Q_T dqIn{x, y};
    MCLIB_2_COOR_SYST_ALPHA_BETA_T out{};
    GMCLIB_ParkInvANSIC(&out, &angle, &dqIn);
    ASSERT_NEAR(out.f32Alpha, clampQ31((c * x - s * y) * k), 16.0) << i;
    ASSERT_NEAR(out.f32Beta, clampQ31((c * y + s * x) * k), 16.0) << i;
  }
}

}  // namespace
