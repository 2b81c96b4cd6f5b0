#include "firmware/control/biquad.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>

#include "firmware/math/arith.hpp"

namespace tavrix {
namespace {

struct Design {
  int32_t type;
  float Fc, Q, peakGain;
};

struct Coefficients {
  double a0, a1, a2, b1, b2;
};

Coefficients of(const biquadStruct& bq) {
  return {static_cast<double>(bq.a0), static_cast<double>(bq.a1), static_cast<double>(bq.a2),
          static_cast<double>(bq.b1), static_cast<double>(bq.b2)};
}

// The design formulas evaluated entirely in double, as the reference for the float design.
Coefficients reference(const Design& d) {
  const double V = std::pow(10.0, std::fabs(static_cast<double>(d.peakGain)) / 20.0);
  const double K = std::tan(3.14159 * static_cast<double>(d.Fc));
  const double Q = static_cast<double>(d.Q);
  const double K2 = K * K, s2 = std::sqrt(2.0), s2V = std::sqrt(2.0 * V);
  const bool boost = d.peakGain >= 0.0f;
  double n = 1.0 / (1.0 + K / Q + K2);
  const double b1 = 2.0 * (K2 - 1.0) * n, b2 = (1.0 - K / Q + K2) * n;
  switch (d.type) {
    case BIQUAD_LOWPASS:
      return {K2 * n, 2.0 * K2 * n, K2 * n, b1, b2};
    case BIQUAD_HIGHPASS:
      return {n, -2.0 * n, n, b1, b2};
    case BIQUAD_BANDPASS:
      return {K / Q * n, 0.0, -K / Q * n, b1, b2};
    case BIQUAD_NOTCH:
      return {(1.0 + K2) * n, b1, (1.0 + K2) * n, b1, b2};
    case BIQUAD_PEAK:
      if (boost) return {(1.0 + V / Q * K + K2) * n, b1, (1.0 - V / Q * K + K2) * n, b1, b2};
      n = 1.0 / (1.0 + V / Q * K + K2);
      return {(1.0 + K / Q + K2) * n, 2.0 * (K2 - 1.0) * n, (1.0 - K / Q + K2) * n,
              2.0 * (K2 - 1.0) * n, (1.0 - V / Q * K + K2) * n};
    case BIQUAD_LOWSHELF:
      if (boost) {
        n = 1.0 / (1.0 + s2 * K + K2);
        return {(1.0 + s2V * K + V * K2) * n, 2.0 * (V * K2 - 1.0) * n,
                (1.0 - s2V * K + V * K2) * n, 2.0 * (K2 - 1.0) * n, (1.0 - s2 * K + K2) * n};
      }
      n = 1.0 / (1.0 + s2V * K + V * K2);
      return {(1.0 + s2 * K + K2) * n, 2.0 * (K2 - 1.0) * n, (1.0 - s2 * K + K2) * n,
              2.0 * (V * K2 - 1.0) * n, (1.0 - s2V * K + V * K2) * n};
    default:  // BIQUAD_HIGHSHELF
      if (boost) {
        n = 1.0 / (1.0 + s2 * K + K2);
        return {(V + s2V * K + K2) * n, 2.0 * (K2 - V) * n, (V - s2V * K + K2) * n,
                2.0 * (K2 - 1.0) * n, (1.0 - s2 * K + K2) * n};
      }
      n = 1.0 / (V + s2V * K + K2);
      return {(1.0 + s2 * K + K2) * n, 2.0 * (K2 - 1.0) * n, (1.0 - s2 * K + K2) * n,
              2.0 * (K2 - V) * n, (V - s2V * K + K2) * n};
  }
}

// |H| at w rad/sample, from the coefficients in double.
double gainAt(const Coefficients& c, double w) {
  const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
  return std::abs((c.a0 + c.a1 * z1 + c.a2 * z2) / (1.0 + c.b1 * z1 + c.b2 * z2));
}

constexpr double kPi = 3.14159265358979323846;

// Every type, both gain signs, corners from near DC to near Nyquist, damped to resonant.
std::array<Design, 7 * 3 * 4> allDesigns() {
  std::array<Design, 7 * 3 * 4> out{};
  const float fcs[] = {0.0149993f, 0.1f, 0.35f};
  const struct {
    float Q, gain;
  } qg[] = {{0.707f, 0.0f}, {0.5f, 6.0f}, {2.0f, -12.0f}, {10.0f, 20.0f}};
  size_t i = 0;
  for (int32_t type = 0; type <= 6; ++type)
    for (float fc : fcs)
      for (const auto& p : qg) out[i++] = {type, fc, p.Q, p.gain};
  return out;
}

TEST(Biquad, CoefficientsMatchTheDesignInDouble) {
  for (const Design& d : allDesigns()) {
    biquadStruct bq;
    biquadInit(&bq, d.type, d.Fc, d.Q, d.peakGain);
    const Coefficients got = of(bq), want = reference(d);
    const double pairs[5][2] = {{got.a0, want.a0},
                                {got.a1, want.a1},
                                {got.a2, want.a2},
                                {got.b1, want.b1},
                                {got.b2, want.b2}};
    for (const auto& p : pairs) {
      EXPECT_NEAR(p[0], p[1], 2e-6 * std::max(1.0, std::fabs(p[1])))
          << "type " << d.type << " Fc " << d.Fc << " Q " << d.Q << " gain " << d.peakGain;
    }
  }
}

// Gains at DC, at the corner and at Nyquist, as each type is meant to have them.
TEST(Biquad, FrequencyResponseMeetsTheDesignIntent) {
  for (const Design& d : allDesigns()) {
    biquadStruct bq;
    biquadInit(&bq, d.type, d.Fc, d.Q, d.peakGain);
    const Coefficients c = of(bq);
    const double Q = static_cast<double>(d.Q);
    const double G = std::pow(10.0, static_cast<double>(d.peakGain) / 20.0);
    // Shelves: the corner's power gain is the mean of the plateaus' for a boost, its inverse
    // for a cut.
    const double Gb = std::max(G, 1.0 / G);
    const double shelfCorner =
        G >= 1.0 ? std::sqrt((1.0 + Gb * Gb) / 2.0) : 1.0 / std::sqrt((1.0 + Gb * Gb) / 2.0);
    // {DC, corner, Nyquist} by type.
    const double intent[7][3] = {{1, Q, 0}, {0, Q, 1},           {0, 1, 0},          {1, 0, 1},
                                 {1, G, 1}, {G, shelfCorner, 1}, {1, shelfCorner, G}};
    const double dc = intent[d.type][0], corner = intent[d.type][1], nyquist = intent[d.type][2];
    const double w0 = 2.0 * kPi * static_cast<double>(d.Fc);
    const double tol = 2e-4;
    SCOPED_TRACE(testing::Message()
                 << "type " << d.type << " Fc " << d.Fc << " Q " << d.Q << " gain " << d.peakGain);
    EXPECT_NEAR(gainAt(c, 0.0), dc, tol * std::max(1.0, dc));
    EXPECT_NEAR(gainAt(c, w0), corner, tol * std::max(1.0, corner));
    EXPECT_NEAR(gainAt(c, kPi), nyquist, tol * std::max(1.0, nyquist));
  }
}

TEST(Biquad, MeasuredVelocityFilterHasUnityGainAtDc) {
  biquadStruct bq;
  biquadInit(&bq, BIQUAD_LOWPASS, 0.0149993f, 0.707f, 0.0f);
  const double num = static_cast<double>(bq.a0) + bq.a1 + bq.a2;
  const double den = 1.0 + static_cast<double>(bq.b1) + bq.b2;
  EXPECT_NEAR(num, den, 1e-6);
  for (float level : {1000.0f, -523.0f, 30000.0f}) {
    biquadInit(&bq, BIQUAD_LOWPASS, 0.0149993f, 0.707f, 0.0f);
    float out = 0.0f;
    for (int i = 0; i < 2000; ++i) out = biquadProcess(&bq, level);
    EXPECT_NEAR(out, level, 1e-4f * std::fabs(level));
  }
}

// Transposed direct form II must give the difference equation
// y[n] = a0 x[n] + a1 x[n-1] + a2 x[n-2] - b1 y[n-1] - b2 y[n-2].
TEST(Biquad, ProcessFollowsTheDifferenceEquation) {
  for (const Design& d :
       {Design{BIQUAD_PEAK, 0.1f, 2.0f, 6.0f}, Design{BIQUAD_LOWPASS, 0.0149993f, 0.707f, 0.0f},
        Design{BIQUAD_HIGHSHELF, 0.2f, 0.707f, -9.0f}}) {
    biquadStruct bq;
    biquadInit(&bq, d.type, d.Fc, d.Q, d.peakGain);
    const Coefficients c = of(bq);
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (int n = 0; n < 300; ++n) {
      const float x = static_cast<float>((n * 37) % 101 - 50) + (n < 150 ? 400.0f : -250.0f);
      const double xd = static_cast<double>(x);
      const double y = c.a0 * xd + c.a1 * x1 + c.a2 * x2 - c.b1 * y1 - c.b2 * y2;
      ASSERT_NEAR(static_cast<double>(biquadProcess(&bq, x)), y, 1e-3)
          << "type " << d.type << " sample " << n;
      x2 = x1, x1 = xd, y2 = y1, y1 = y;
    }
  }
}

TEST(Biquad, RedesignClearsTheStateAndRestartsFromZero) {
  biquadStruct used, fresh;
  biquadInit(&used, BIQUAD_LOWPASS, 0.0000305f * 500.0f, 180.0f * 0.00390625f, 0.0f);
  for (int i = 0; i < 50; ++i) biquadProcess(&used, 2000.0f);
  ASSERT_NE(used.z1, 0.0f);
  // Re-designs pass a peak gain of 20 dB, which a low-pass ignores.
  biquadInit(&used, BIQUAD_LOWPASS, 0.0000305f * 300.0f, 256.0f * 0.00390625f, 20.0f);
  biquadInit(&fresh, BIQUAD_LOWPASS, 0.0000305f * 300.0f, 256.0f * 0.00390625f, 0.0f);
  EXPECT_EQ(used.z1, 0.0f);
  EXPECT_EQ(used.z2, 0.0f);
  EXPECT_EQ(used.peakGain, 20.0f);
  for (int i = 0; i < 20; ++i) {
    const float x = static_cast<float>(100 * i);
    ASSERT_EQ(biquadProcess(&used, x), biquadProcess(&fresh, x)) << "sample " << i;
  }
}

TEST(Biquad, UnknownTypeKeepsCoefficientsButStoresParametersAndClearsState) {
  for (int32_t type : {7, 100, -1}) {
    biquadStruct bq;
    biquadInit(&bq, BIQUAD_NOTCH, 0.1f, 2.0f, 0.0f);
    const biquadStruct before = bq;
    for (int i = 0; i < 10; ++i) biquadProcess(&bq, 500.0f);
    biquadInit(&bq, type, 0.3f, 4.0f, -3.0f);
    EXPECT_EQ(bq.type, type);
    EXPECT_EQ(bq.Fc, 0.3f);
    EXPECT_EQ(bq.Q, 4.0f);
    EXPECT_EQ(bq.peakGain, -3.0f);
    EXPECT_EQ(bq.z1, 0.0f);
    EXPECT_EQ(bq.z2, 0.0f);
    const Coefficients got = of(bq), kept = of(before);
    EXPECT_EQ(std::memcmp(&got, &kept, sizeof got), 0) << "type " << type;
  }
}

// A zero quality factor (CMD_FILTER_Q = 0) gives NaN coefficients; the output turns NaN and the
// chip's conversion makes it 0. A later valid design recovers.
TEST(Biquad, DegenerateDesignsStaySafeToConvert) {
  for (int32_t type = 0; type <= 6; ++type) {
    biquadStruct bq;
    biquadInit(&bq, type, 0.0000305f * 1000.0f, 0.0f * 0.00390625f, 6.0f);
    bool sawNonFinite = false;
    for (int i = 0; i < 10; ++i) {
      const float out = biquadProcess(&bq, 1000.0f);
      if (!std::isfinite(out)) {
        sawNonFinite = true;
        EXPECT_EQ(math::f2i32(out), std::isnan(out) ? 0 : (out > 0.0f ? INT32_MAX : INT32_MIN));
      }
    }
    // Types whose formulas contain K/Q all go non-finite; the shelves do not use Q.
    EXPECT_EQ(sawNonFinite, type <= BIQUAD_PEAK) << "type " << type;
  }
  biquadStruct bq;
  biquadInit(&bq, BIQUAD_LOWPASS, 0.0305f, 0.0f, 0.0f);
  EXPECT_EQ(bq.a0, 0.0f);  // norm = 1 / inf = 0
  EXPECT_TRUE(std::isnan(bq.b2));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(math::f2i32(biquadProcess(&bq, 1000.0f)), 0);
  EXPECT_TRUE(std::isnan(bq.z2));
  biquadInit(&bq, BIQUAD_LOWPASS, 0.0305f, 0.707f, 0.0f);
  float out = 0.0f;
  for (int i = 0; i < 500; ++i) out = biquadProcess(&bq, 1000.0f);
  EXPECT_NEAR(out, 1000.0f, 0.1f);
  // A zero corner gives K = 0: a low-pass with zero gain, finite and silent.
  biquadInit(&bq, BIQUAD_LOWPASS, 0.0f, 0.707f, 0.0f);
  for (float x : {1000.0f, -32768.0f, 5.0f}) EXPECT_EQ(biquadProcess(&bq, x), 0.0f);
}

}  // namespace
}  // namespace tavrix
