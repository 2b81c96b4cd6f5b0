#include "firmware/math/sin_cos.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>

namespace {
constexpr int32_t kMin = -2147483647 - 1;
constexpr double kPi = std::numbers::pi;

double q31(int32_t v) {
  return std::ldexp(static_cast<double>(v), -31);
}

TEST(SinCos, CoefficientTable) {
  const int32_t want[5] = {188656, -5026995, 85569306, -693598668, 1686629713};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(gflibSinCoef.f32A[i], want[i]) << i;
    EXPECT_EQ(gflibCosCoef.f32A[i], want[i]) << i;
  }
  // Indices 4..1: half the Taylor coefficients of sin(pi y / 2) for y, y^3, y^5, y^7.
  double c = kPi / 2.0;  // (pi/2)^k / k! with alternating sign
  for (int i = 4, k = 1; i >= 1; --i, k += 2) {
    EXPECT_NEAR(q31(gflibSinCoef.f32A[i]), c / 2.0, 1e-9) << i;
    c *= -(kPi / 2.0) * (kPi / 2.0) / ((k + 1) * (k + 2));
  }
}

TEST(SinCos, KnownValues) {
  struct Case {
    int32_t in, sin, cos;
  } cases[] = {
      {0, 0, 2147450880},
      {1 << 29, 1518485504, 1518485504},  // pi/4
      {1 << 30, 2147450880, 0},           // pi/2
      {-(1 << 30), -2147450880, 0},
      {kMin, 0, -2147450880},  // -pi
      // The fold floors the angle: the smallest angles land on the first step.
      {1, 102943, 2147450880},
      {-1, -102943, 2147450880},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GFLIB_SinANSIC(c.in, &gflibSinCoef), c.sin) << c.in;
    EXPECT_EQ(GFLIB_CosANSIC(c.in, &gflibCosCoef), c.cos) << c.in;
  }
  EXPECT_EQ(GFLIB_SinANSIC(32768, &gflibSinCoef), 102943);
  EXPECT_EQ(GFLIB_SinANSIC(-32768, &gflibSinCoef), -102943);
  // Near zero x^2 vanishes and the result steps by sin(pi/2 * 2^-15) = 102943 per 2^15 of input.
  EXPECT_EQ(GFLIB_SinANSIC(32769, &gflibSinCoef), 2 * 102943);
  EXPECT_EQ(GFLIB_SinANSIC(-65536, &gflibSinCoef), -2 * 102943);
}

// Sweep the whole circle against the true functions. The largest errors of the algorithm are
// about 5.4e-5 (cosine near input -1370882049) and 4.8e-5 (the floored smallest angles).
TEST(SinCos, CloseToTrueValuesOverTheCircle) {
  constexpr double kTol = 6e-5;
  double worstSin = 0.0, worstCos = 0.0;
  auto check = [&](int32_t in) {
    const double angle = kPi * q31(in);
    const double eSin = std::fabs(q31(GFLIB_SinANSIC(in, &gflibSinCoef)) - std::sin(angle));
    const double eCos = std::fabs(q31(GFLIB_CosANSIC(in, &gflibCosCoef)) - std::cos(angle));
    worstSin = std::fmax(worstSin, eSin);
    worstCos = std::fmax(worstCos, eCos);
    return eSin <= kTol && eCos <= kTol;
  };
  for (int64_t in = kMin; in <= 2147483647; in += 4093) {
    ASSERT_TRUE(check(static_cast<int32_t>(in))) << in;
  }
  for (int32_t in : {-1370882049, 1370882049, 1, -1, 32768, 2147483647, (1 << 30) - 1}) {
    ASSERT_TRUE(check(in)) << in;
  }
  EXPECT_GT(worstSin, 1e-6);  // the sweep really compared something
  EXPECT_GT(worstCos, 1e-6);
}

// The coefficients come from the caller: a table with only the linear term gives the folded
// angle itself, a triangle wave.
TEST(SinCos, UsesTheGivenTable) {
  const GFLIB_SINTLR_T linear = {{0, 0, 0, 0, 1 << 29}};
  const GFLIB_COSTLR_T linearCos = {{0, 0, 0, 0, 1 << 29}};
  EXPECT_EQ(GFLIB_SinANSIC(1 << 29, &linear), 1 << 29);
  EXPECT_EQ(GFLIB_SinANSIC(1 << 30, &linear), 1 << 30);
  EXPECT_EQ(GFLIB_SinANSIC(3 << 29, &linear), 1 << 29);
  EXPECT_EQ(GFLIB_SinANSIC(-(1 << 28), &linear), -(1 << 28));
  EXPECT_EQ(GFLIB_CosANSIC(0, &linearCos), 1 << 30);
}

}  // namespace
