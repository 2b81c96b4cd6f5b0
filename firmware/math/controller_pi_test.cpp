#include "firmware/math/controller_pi.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace {
constexpr int32_t kMax = 2147483647;
constexpr int32_t kMin = -2147483647 - 1;

GFLIB_CONTROLLER_PIAW_P_T makePi(Frac32 kp, Word16 kpShift, Frac32 ki, Word16 kiShift, Frac32 lo,
                                 Frac32 hi) {
  GFLIB_CONTROLLER_PIAW_P_T pi{};
  pi.f32PropGain = kp;
  pi.f32IntegGain = ki;
  pi.w16PropGainShift = kpShift;
  pi.w16IntegGainShift = kiShift;
  pi.f32LowerLimit = lo;
  pi.f32UpperLimit = hi;
  return pi;
}

// The controller as it was first written, with branches on the shift counts: the reference the
// branch-free form must match bit for bit.
struct BranchyPi {
  static int32_t shr(int32_t a, uint32_t n) { return n >= 32u ? (a < 0 ? -1 : 0) : a >> n; }
  static int32_t shl(int32_t a, uint32_t n) {
    return n >= 32u ? 0 : static_cast<int32_t>(static_cast<uint32_t>(a) << n);
  }
  static int32_t scale(int32_t v, Word16 s) {
    if (s > 0) {
      const auto n = static_cast<uint32_t>(s);
      if (v > shr(kMax, n)) return kMax;
      if (v <= shr(kMin, n)) return kMin;
      return shl(v, n);
    }
    return shr(v, static_cast<uint32_t>(-static_cast<int32_t>(s)));
  }
  static int32_t limit(int32_t v, int32_t lo, int32_t hi) {
    if (v >= hi) return hi;
    if (v <= lo) return lo;
    return v;
  }
  static int32_t mulSat(int32_t a, int32_t b) {
    const auto r = static_cast<int32_t>((static_cast<int64_t>(a) * b) >> 31);
    return r == kMin ? kMax : r;
  }
  static int32_t satAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(std::clamp<int64_t>(int64_t{a} + b, kMin, kMax));
  }
  static int32_t step(int32_t err, GFLIB_CONTROLLER_PIAW_P_T& p) {
    const int32_t prop = scale(mulSat(p.f32PropGain, err), p.w16PropGainShift);
    const int32_t in =
        scale(satAdd(mulSat(p.f32IntegGain, err), mulSat(p.f32IntegGain, p.f32InK_1)),
              p.w16IntegGainShift);
    p.f32IntegPartK_1 = limit(satAdd(in, p.f32IntegPartK_1), p.f32LowerLimit, p.f32UpperLimit);
    const int32_t out = limit(satAdd(prop, p.f32IntegPartK_1), p.f32LowerLimit, p.f32UpperLimit);
    p.u16LimitFlag = (out == p.f32UpperLimit || out == p.f32LowerLimit) ? 1 : 0;
    p.f32InK_1 = err;
    return out;
  }
};

// Reference controller: exact 64-bit arithmetic, every saturation an explicit clamp, gains as
// mantissa * 2^shift evaluated with floor.
struct RefPi {
  int64_t kp, ki;
  int ksp, ksi;
  int64_t lo, hi;
  int64_t integ = 0, errPrev = 0;
  bool flag = false;

  static int64_t sat(int64_t v) { return std::clamp<int64_t>(v, kMin, kMax); }
  static int64_t floorDiv31(int64_t p) {
    return static_cast<int64_t>(std::floor(static_cast<long double>(p) / 2147483648.0L));
  }
  static int64_t scaled(int64_t v, int shift) {
    return sat(static_cast<int64_t>(std::fmax(
        std::fmin(std::floor(std::ldexp(static_cast<long double>(v), shift)), 4e18L), -4e18L)));
  }
  int64_t limited(int64_t v) const { return v >= hi ? hi : (v <= lo ? lo : v); }
  int64_t step(int64_t err) {
    const int64_t p = scaled(sat(floorDiv31(kp * err)), ksp);
    const int64_t in = scaled(sat(sat(floorDiv31(ki * err)) + sat(floorDiv31(ki * errPrev))), ksi);
    integ = limited(sat(in + integ));
    const int64_t out = limited(sat(p + integ));
    flag = out == hi || out == lo;
    errPrev = err;
    return out;
  }
};

TEST(ControllerPi, TrapezoidalIntegrationSequence) {
  // Gains 1.0 (0.5 * 2^1) and 0.25, limits +-0.5, constant error 0.125.
  GFLIB_CONTROLLER_PIAW_P_T pi = makePi(1 << 30, 1, 1 << 29, 0, -(1 << 30), 1 << 30);
  const int32_t want[] = {335544320, 469762048, 603979776, 738197504};
  for (int32_t w : want) EXPECT_EQ(GFLIB_ControllerPIpAWANSIC(1 << 28, &pi), w);
  EXPECT_EQ(pi.f32IntegPartK_1, 469762048);
  EXPECT_EQ(pi.f32InK_1, 1 << 28);
  EXPECT_EQ(pi.u16LimitFlag, 0);
}

// The integral stops at the limit, so the output leaves it at the first reversed error.
TEST(ControllerPi, AntiWindupHoldsTheIntegralAtTheLimits) {
  const int32_t hi = 1 << 28, lo = -(1 << 27);
  GFLIB_CONTROLLER_PIAW_P_T pi = makePi(1 << 29, 0, 1 << 29, 0, lo, hi);
  for (int i = 0; i < 50; ++i) GFLIB_ControllerPIpAWANSIC(1 << 30, &pi);
  EXPECT_EQ(pi.f32IntegPartK_1, hi);
  EXPECT_EQ(pi.u16LimitFlag, 1);
  const int32_t out = GFLIB_ControllerPIpAWANSIC(-(1 << 26), &pi);
  EXPECT_LT(out, hi);
  EXPECT_EQ(pi.u16LimitFlag, 0);
  for (int i = 0; i < 50; ++i) GFLIB_ControllerPIpAWANSIC(kMin, &pi);
  EXPECT_EQ(pi.f32IntegPartK_1, lo);
  EXPECT_EQ(GFLIB_ControllerPIpAWANSIC(kMin, &pi), lo);
  EXPECT_EQ(pi.u16LimitFlag, 1);
}

// Shift counts beyond the word width: positive ones saturate by sign, negative ones leave the
// sign (0 or -1). Proportional part only, limits wide open.
TEST(ControllerPi, ShiftCountsBeyondTheWordWidth) {
  struct Case {
    Word16 shift;
    int32_t err, out;  // with gain MAX the product is err - 1 for err > 0, err for err <= 0
  } cases[] = {
      {31, 1 << 20, kMax},   {32, 1 << 20, kMax}, {40, -(1 << 20), kMin}, {32767, 2, kMax},
      {32767, -1, kMin},     {32767, 1, 0},       {-31, 1 << 30, 0},      {-32, kMax, 0},
      {-32, -(1 << 20), -1}, {-32768, kMin, -1},  {-32768, kMax, 0},      {-40, -1, -1},
  };
  for (const Case& c : cases) {
    GFLIB_CONTROLLER_PIAW_P_T prop = makePi(kMax, c.shift, 0, 0, kMin, kMax);
    EXPECT_EQ(GFLIB_ControllerPIpAWANSIC(c.err, &prop), c.out) << c.shift << " " << c.err;
    GFLIB_CONTROLLER_PIAW_P_T integ = makePi(0, 0, kMax, c.shift, kMin, kMax);
    GFLIB_ControllerPIpAWANSIC(c.err, &integ);
    EXPECT_EQ(integ.f32IntegPartK_1, c.out) << c.shift << " " << c.err;
  }
}

// Random gains, shifts, limits (sometimes inverted) and error sequences against the reference.
TEST(ControllerPi, MatchesExactReference) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  std::uniform_int_distribution<int> shift(-40, 40), small(-3, 3), pick(0, 7);
  auto value = [&]() -> int32_t {
    switch (pick(rng)) {
      case 0:
        return kMin;
      case 1:
        return kMax;
      case 2:
        return 0;
      case 3:
        return any(rng) >> 12;
      default:
        return any(rng);
    }
  };
  for (int trial = 0; trial < 4000; ++trial) {
    int32_t lo = value(), hi = value();
    if (pick(rng) != 0 && lo > hi) std::swap(lo, hi);
    const int ksp = pick(rng) < 2 ? shift(rng) : small(rng);
    const int ksi = pick(rng) < 2 ? shift(rng) : small(rng);
    GFLIB_CONTROLLER_PIAW_P_T pi =
        makePi(value(), static_cast<Word16>(ksp), value(), static_cast<Word16>(ksi), lo, hi);
    RefPi ref{pi.f32PropGain, pi.f32IntegGain, ksp, ksi, lo, hi};
    for (int k = 0; k < 40; ++k) {
      const int32_t err = value();
      const int32_t got = GFLIB_ControllerPIpAWANSIC(err, &pi);
      ASSERT_EQ(got, ref.step(err)) << "trial " << trial << " step " << k;
      ASSERT_EQ(pi.f32IntegPartK_1, ref.integ);
      ASSERT_EQ(pi.f32InK_1, err);
      ASSERT_EQ(pi.u16LimitFlag, ref.flag ? 1 : 0);
    }
  }
}

// Every shift count a Word16 can hold against the branchy form, on values at and around the
// saturation thresholds of each count.
TEST(ControllerPi, BranchFreeShiftsMatchTheBranchyForm) {
  const int32_t values[] = {0,
                            1,
                            -1,
                            2,
                            -2,
                            kMax,
                            kMin,
                            kMax - 1,
                            kMin + 1,
                            1 << 30,
                            -(1 << 30),
                            (1 << 30) - 1,
                            -(1 << 30) - 1,
                            12345,
                            -12345,
                            0x00FFFFFF,
                            -0x01000000};
  for (int32_t s = -32768; s <= 32767; ++s) {
    const auto shift = static_cast<Word16>(s);
    for (int32_t v : values) {
      ASSERT_EQ(tavrix::math::scaleByShift(v, shift), BranchyPi::scale(v, shift)) << s << " " << v;
    }
    if (s >= 0 && s <= 31) {
      for (int32_t d = -2; d <= 2; ++d) {
        for (int32_t edge : {kMax >> s, kMin >> s}) {
          const int32_t v = static_cast<int32_t>(static_cast<int64_t>(edge) + d);
          ASSERT_EQ(tavrix::math::scaleByShift(v, shift), BranchyPi::scale(v, shift))
              << s << " " << v;
        }
      }
    }
  }
}

// Whole controller sequences, random gains, shifts over the full Word16 range and limits
// (sometimes inverted), against the branchy form.
TEST(ControllerPi, MatchesTheBranchyForm) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  std::uniform_int_distribution<int> shift(-32768, 32767), small(-33, 33), pick(0, 7);
  auto value = [&]() -> int32_t {
    switch (pick(rng)) {
      case 0:
        return kMin;
      case 1:
        return kMax;
      case 2:
        return 0;
      case 3:
        return any(rng) >> 16;
      default:
        return any(rng);
    }
  };
  for (int trial = 0; trial < 3000; ++trial) {
    int32_t lo = value(), hi = value();
    if (pick(rng) != 0 && lo > hi) std::swap(lo, hi);
    const auto ksp = static_cast<Word16>(pick(rng) == 0 ? shift(rng) : small(rng));
    const auto ksi = static_cast<Word16>(pick(rng) == 0 ? shift(rng) : small(rng));
    GFLIB_CONTROLLER_PIAW_P_T pi = makePi(value(), ksp, value(), ksi, lo, hi);
    pi.f32IntegPartK_1 = value();
    pi.f32InK_1 = value();
    GFLIB_CONTROLLER_PIAW_P_T ref = pi;
    for (int k = 0; k < 30; ++k) {
      const int32_t err = value();
      ASSERT_EQ(GFLIB_ControllerPIpAWANSIC(err, &pi), BranchyPi::step(err, ref))
          << "trial " << trial << " step " << k;
      ASSERT_EQ(pi.f32IntegPartK_1, ref.f32IntegPartK_1);
      ASSERT_EQ(pi.u16LimitFlag, ref.u16LimitFlag);
      ASSERT_EQ(pi.f32InK_1, ref.f32InK_1);
    }
  }
}

}  // namespace
