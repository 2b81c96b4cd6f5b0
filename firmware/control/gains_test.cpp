#include "firmware/control/gains.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <tuple>
#include <utility>

namespace {

namespace prop = tavrix::prop;

// ---- an independent plain formulation: 64-bit values, floor divisions instead of shifts ---------

int64_t fdiv(int64_t v, int n) {  // floor(v / 2^n)
  const int64_t d = int64_t{1} << n;
  return v / d - ((v % d != 0 && v < 0) ? 1 : 0);
}
int64_t lo(int64_t v) {  // v modulo 2^32, read as signed
  const int64_t m = v & 0xFFFFFFFF;
  return m >= 0x80000000 ? m - 0x100000000 : m;
}
int64_t div0(int64_t n, int64_t d) {
  return d == 0 ? 0 : lo(n / d);
}

struct Split {
  int64_t mantissa, shift;
};
// Positive gains keep their top 16 significant bits; the shift is how far those moved.
Split rescale(int64_t g) {
  if (g <= 0) return {lo(g * 32768), 0};
  const int shift = std::bit_width(static_cast<uint64_t>(g)) - 16;
  return {lo((shift >= 0 ? fdiv(g, shift) : g << -shift) * 32768), shift};
}
struct Gains {
  Split ki, kp;
};

Gains current(int64_t scale, int64_t r, int64_t l, int64_t bw) {
  const int64_t frac = fdiv(div0(6356654, scale), 4);
  const int64_t ki = lo(fdiv(lo(fdiv(lo(fdiv(bw * bw * l * 2587, 12)) * frac, 16)) * 161061, 31));
  const int64_t kp = lo(fdiv(lo(-16 * r + fdiv(lo(412 * l * bw), 12)) * frac, 16));
  return {rescale(ki), rescale(kp)};
}
Gains velocity(int64_t j, int64_t kt, int64_t bw) {
  const int64_t frac = fdiv(div0(2147483647, fdiv(896 * kt, 12)), 8);
  const int64_t ki = lo(fdiv(lo(fdiv(lo(fdiv(j * bw * bw * 2587, 15)) * frac, 16)) * 161061, 23));
  const int64_t kp = lo(fdiv(lo(bw * fdiv(412 * j, 15)) * frac, 8));
  return {rescale(ki), rescale(kp)};
}
Gains position(int64_t bw, int64_t noIntegral) {
  const int64_t sq = noIntegral > 0 ? 0 : lo(bw * fdiv(bw * 10106, 8));
  const int64_t ki = lo(fdiv(lo(fdiv(sq * 4096, 16)) * 161061, 31));
  return {rescale(ki), rescale(lo(fdiv(lo(bw * 3217) * 4096, 16)))};
}

// ---- the records and table, every field the gains must not touch marked ------------------------

GFLIB_CONTROLLER_PIAW_P_T marked(int32_t tag) {
  return {tag, tag, 7, 8, -tag, tag, tag, tag, 1};
}
auto fields(const GFLIB_CONTROLLER_PIAW_P_T& p) {
  return std::tuple(p.f32PropGain, p.f32IntegGain, p.w16PropGainShift, p.w16IntegGainShift,
                    p.f32LowerLimit, p.f32UpperLimit, p.f32IntegPartK_1, p.f32InK_1,
                    p.u16LimitFlag);
}

struct Rig {
  tavrix::PropertyTable table;
  GFLIB_CONTROLLER_PIAW_P_T pi[4] = {marked(1), marked(2), marked(3), marked(4)};  // d q vel pos
  tavrix::GainTargets targets() { return {table, pi[0], pi[1], pi[2], pi[3]}; }
};

// Runs one computation on inputs and checks the records listed in `written` (others untouched)
// and the four read-back properties (others untouched) against the reference.
void check(void (*compute)(const tavrix::GainTargets&),
           std::initializer_list<std::pair<int16_t, int16_t>> inputs, const Gains& want,
           std::initializer_list<int> written, const int16_t (&out)[4]) {
  Rig rig;
  for (auto [k, v] : inputs) rig.table.set16(k, v);
  const Rig before = rig;
  compute(rig.targets());
  for (int i = 0; i < 4; ++i) {
    GFLIB_CONTROLLER_PIAW_P_T expected = before.pi[i];
    if (std::find(written.begin(), written.end(), i) != written.end()) {
      expected.f32IntegGain = static_cast<int32_t>(want.ki.mantissa);
      expected.w16IntegGainShift = static_cast<int16_t>(want.ki.shift);
      expected.f32PropGain = static_cast<int32_t>(want.kp.mantissa);
      expected.w16PropGainShift = static_cast<int16_t>(want.kp.shift);
    }
    EXPECT_TRUE(fields(rig.pi[i]) == fields(expected)) << "record " << i;
  }
  tavrix::PropertyTable expected = before.table;
  const int64_t values[4] = {fdiv(want.kp.mantissa, 16), want.kp.shift, fdiv(want.ki.mantissa, 16),
                             want.ki.shift};
  for (int i = 0; i < 4; ++i) expected.set16(out[i], static_cast<int16_t>(values[i]));
  for (int k = 0; k < tavrix::kPropertyCount; ++k) {
    EXPECT_EQ(rig.table.get16(k), expected.get16(k)) << "property " << k;
  }
}

// Edges, plus ordinary values (200, 300, 2000) whose gains 32-bit inner products would turn
// negative.
constexpr int16_t kSpread[] = {-32768, -1000, -1, 0, 1, 4, 5, 9, 37, 200, 300, 2000, 12345, 32767};

TEST(Gains, Rescale) {
  struct Case {
    int32_t in, mantissa;
    int16_t shift;
  } cases[] = {{0, 0, 0},
               {1, 1 << 30, -15},
               {65536, 1 << 30, 1},
               {65535, 2147450880, 0},
               {-1, -32768, 0},
               {-65537, 2147450880, 0},  // wraps
               {INT32_MAX, 2147450880, 15}};
  for (const Case& c : cases) {
    int32_t m = 5;
    int16_t s = 5;
    gainsRescale(c.in, &m, &s);
    EXPECT_EQ(m, c.mantissa) << c.in;
    EXPECT_EQ(s, c.shift) << c.in;
  }
  // in / 65536 = m / 2^31 x 2^s with m in [2^30, 2^31 - 2^15], low bits dropped (error < 2^-15).
  for (int64_t g = 1; g <= INT32_MAX; g = g * 5 / 4 + 1) {
    int32_t m = 0;
    int16_t s = 0;
    gainsRescale(static_cast<int32_t>(g), &m, &s);
    const double value = std::ldexp(m, s - 31), want = double(g) / 65536;
    EXPECT_TRUE(m >= (1 << 30) && m <= INT32_MAX - 32767 && m % 32768 == 0) << g;
    EXPECT_TRUE(value <= want && value > want * (1 - std::ldexp(1, -15))) << g;
  }
}

TEST(Gains, CurrentLoop) {
  for (int16_t scale : {0, 1, -1, 7, 100, 1000, 32767, -32768}) {
    for (int16_t r : {0, 50, 32767, -32768}) {
      for (int16_t l : {0, 10, 300, 5000, 32767, -32768}) {
        for (int16_t bw : kSpread) {
          SCOPED_TRACE(testing::Message() << scale << " " << r << " " << l << " " << bw);
          const Gains want = current(scale, r, l, bw);
          EXPECT_TRUE(scale != 0 || (want.ki.mantissa == 0 && want.kp.mantissa == 0));
          check(gainsMotorParamsToCurrentGains,
                {{prop::CURRENT_GAIN_SCALE, scale},
                 {prop::WINDING_R, r},
                 {prop::WINDING_L, l},
                 {prop::CURRENT_BW, bw}},
                want, {0, 1}, {prop::CUR_KP, prop::CUR_KP_SHIFT, prop::CUR_KI, prop::CUR_KI_SHIFT});
        }
      }
    }
  }
}

TEST(Gains, VelocityLoop) {
  for (int16_t j : kSpread) {
    for (int16_t kt : kSpread) {
      for (int16_t bw : kSpread) {
        SCOPED_TRACE(testing::Message() << j << " " << kt << " " << bw);
        const Gains want = velocity(j, kt, bw);
        EXPECT_TRUE(kt < 0 || kt > 4 || (want.ki.mantissa == 0 && want.kp.mantissa == 0));
        check(gainsMotorParamsToVelocityGains,
              {{prop::INERTIA, j}, {prop::TORQUE_CONSTANT, kt}, {prop::VELOCITY_BW, bw}}, want, {2},
              {prop::VEL_KP, prop::VEL_KP_SHIFT, prop::VEL_KI, prop::VEL_KI_SHIFT});
      }
    }
  }
  EXPECT_GE(velocity(2000, 300, 200).ki.mantissa, 1 << 30);  // an ordinary drive: positive
}

TEST(Gains, PositionLoop) {
  for (int32_t bw = -32768; bw <= 32767; bw += 7) {
    for (int16_t noIntegral : {0, 1, -5}) {
      SCOPED_TRACE(testing::Message() << bw << " " << noIntegral);
      const Gains want = position(bw, noIntegral);
      EXPECT_TRUE(noIntegral <= 0 || (want.ki.mantissa == 0 && want.ki.shift == 0));
      check(gainsMotorParamsToPositionGains,
            {{prop::POSITION_BW, int16_t(bw)}, {prop::POS_NO_INTEGRAL, noIntegral}}, want, {3},
            {prop::POS_KP, prop::POS_KP_SHIFT, prop::POS_KI, prop::POS_KI_SHIFT});
      if (HasFailure()) return;  // one report, not thousands
    }
  }
}

}  // namespace
