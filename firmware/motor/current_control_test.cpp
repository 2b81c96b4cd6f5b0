#include "firmware/motor/current_control.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "firmware/math/fixed_math.hpp"

namespace tavrix {
namespace {

constexpr int32_t kMax = 2147483647;
constexpr int32_t kMin = -2147483647 - 1;

// ---- Observer ------------------------------------------------------------------------------

struct CoefficientRow {
  int16_t property83;
  int32_t a11, a12, a21, a22, b11, b21, k11, k12, k21, k22, a_d, b_d, k_d;
};

void expectCoefficients(const Observer& o, const CoefficientRow& r) {
  EXPECT_EQ(o.a11, r.a11);
  EXPECT_EQ(o.a12, r.a12);
  EXPECT_EQ(o.a21, r.a21);
  EXPECT_EQ(o.a22, r.a22);
  EXPECT_EQ(o.b11, r.b11);
  EXPECT_EQ(o.b21, r.b21);
  EXPECT_EQ(o.k11, r.k11);
  EXPECT_EQ(o.k12, r.k12);
  EXPECT_EQ(o.k21, r.k21);
  EXPECT_EQ(o.k22, r.k22);
  EXPECT_EQ(o.a_d, r.a_d);
  EXPECT_EQ(o.b_d, r.b_d);
  EXPECT_EQ(o.k_d, r.k_d);
}

constexpr CoefficientRow kSet12800 = {12800, 63569, 9655, -8112, 35680, 0,     36408,
                                      9175,  1048,  1966, 40370, 35680, 36408, 36700};
constexpr CoefficientRow kSet25600 = {25600, 64880, 4936, -15066, 35680, 0,     36408,
                                      12598, 524,   6087, 38907,  35680, 36408, 39321};
constexpr CoefficientRow kZeroSet = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

TEST(Observer, ResetPicksTheSetAndZeroesOnlyTheCorrectedStates) {
  for (const CoefficientRow& row : {kSet12800, kSet25600}) {
    Observer o;
    o.x_d = o.x11 = o.x21 = 5;
    o.xbar_d = 6;
    o.xbar_11 = 7;
    o.xbar_21 = 8;
    o.reset(row.property83);
    SCOPED_TRACE(row.property83);
    expectCoefficients(o, row);
    EXPECT_EQ(o.x_d, 0);
    EXPECT_EQ(o.x11, 0);
    EXPECT_EQ(o.x21, 0);
    EXPECT_EQ(o.xbar_d, 6);
    EXPECT_EQ(o.xbar_11, 7);
    EXPECT_EQ(o.xbar_21, 8);
  }
}

TEST(Observer, OtherSettingsLeaveTheCoefficientsAsTheyAre) {
  Observer fresh;
  fresh.reset(7680);
  expectCoefficients(fresh, kZeroSet);

  Observer chosen;
  chosen.reset(25600);
  for (int16_t other : {int16_t{7680}, int16_t{0}, int16_t{12801}, int16_t{-12800}}) {
    chosen.x21 = 99;
    chosen.reset(other);
    expectCoefficients(chosen, kSet25600);
    EXPECT_EQ(chosen.x21, 0);
  }
}

TEST(Observer, FirstPredictionOfAFullScaleQVoltage) {
  Observer o;
  o.reset(12800);
  o.predict({0, kMax});  // uq = 65535
  EXPECT_EQ(o.xbar_21, 36407);
  EXPECT_EQ(o.xbar_11, 0);
  EXPECT_EQ(o.xbar_d, 0);
}

TEST(Observer, PredictionRoundsProductsTowardMinusInfinity) {
  Observer o;
  o.a_d = 1;
  o.x_d = -1;
  o.a22 = 1;
  o.x21 = -1;
  o.predict({-65536, 0});   // ud = -2, b_d = 0
  EXPECT_EQ(o.xbar_d, -1);  // mul16(1, -1)
  EXPECT_EQ(o.xbar_21, -1);
  o.b_d = 65536;
  o.predict({-65536, 0});
  EXPECT_EQ(o.xbar_d, -3);  // -1 + 1.0 * -2
}

TEST(Observer, PredictionFromStatesAndVoltages) {
  Observer o;
  o.reset(12800);
  o.x_d = 1000;
  o.x11 = 2000;
  o.x21 = -3000;
  o.predict({100 << 15, -200 << 15});
  // 35680*1000/65536 = 544.4; 36408*100/65536 = 55.6
  EXPECT_EQ(o.xbar_d, 544 + 55);
  // 0 + 63569*2000/65536 (1939.9) + 9655*-3000/65536 (-441.9)
  EXPECT_EQ(o.xbar_11, 1939 - 442);
  // 36408*-200/65536 (-111.1) + (-8112*2000/65536 (-247.6) + 35680*-3000/65536 (-1633.3))
  EXPECT_EQ(o.xbar_21, -112 + (-248 - 1634));
}

TEST(Observer, CorrectionWithMeasurements) {
  Observer o;
  o.reset(12800);
  o.xbar_d = 1000;
  o.xbar_11 = 100;
  o.xbar_21 = 2000;
  MCLIB_2_COOR_SYST_D_Q_T fb{2000 << 15, 1000 << 15};
  const MCLIB_2_COOR_SYST_D_Q_T measured = fb;
  o.correct(fb, 300, 0, 1);
  EXPECT_EQ(o.x_d, 1000 + 559);       // 36700*1000/65536 = 559.99
  EXPECT_EQ(o.x11, 100 + 27 - 16);    // 9175*200/65536, 1048*-1000/65536
  EXPECT_EQ(o.x21, 2000 + 5 - 616);   // 1966*200/65536, 40370*-1000/65536
  EXPECT_EQ(fb.f32D, measured.f32D);  // bypass: measurements stay the feedback
  EXPECT_EQ(fb.f32Q, measured.f32Q);

  Observer est = o;
  est.xbar_d = 1000;
  est.xbar_11 = 100;
  est.xbar_21 = 2000;
  MCLIB_2_COOR_SYST_D_Q_T fb2 = measured;
  est.correct(fb2, 300, 0, 0);
  EXPECT_EQ(fb2.f32D, 1559 << 15);  // the estimates become the feedback
  EXPECT_EQ(fb2.f32Q, 1389 << 15);
}

TEST(Observer, MeasurementsEqualToThePredictionChangeNothing) {
  Observer o;
  o.reset(25600);
  o.xbar_d = -1234;
  o.xbar_11 = 4321;
  o.xbar_21 = 777;
  MCLIB_2_COOR_SYST_D_Q_T fb{-1234 * 32768, 777 * 32768};
  o.correct(fb, 4321, 0, 0);
  EXPECT_EQ(o.x_d, -1234);
  EXPECT_EQ(o.x11, 4321);
  EXPECT_EQ(o.x21, 777);
  EXPECT_EQ(fb.f32D, -1234 * 32768);
  EXPECT_EQ(fb.f32Q, 777 * 32768);
}

TEST(Observer, UntrustedSamplesCorrectWithTheEstimatesInSequence) {
  Observer o;
  o.reset(12800);
  o.x_d = 500;
  o.xbar_d = 100;
  o.x11 = 50;
  o.xbar_11 = 0;
  o.x21 = 1000;
  o.xbar_21 = 0;
  MCLIB_2_COOR_SYST_D_Q_T fb{kMax, kMin};  // ignored
  o.correct(fb, -999999, 1, 0);
  EXPECT_EQ(o.x_d, 100 + 223);  // 36700*400/65536 = 223.99
  EXPECT_EQ(o.x11, 6 + 15);     // 9175*50/65536, 1048*1000/65536
  // Uses the new x11 (21): 1966*21/65536 = 0.6; the old one (50) would give 1.
  EXPECT_EQ(o.x21, 0 + 615);  // 40370*1000/65536 = 615.99
  EXPECT_EQ(fb.f32D, 323 << 15);
  EXPECT_EQ(fb.f32Q, 615 << 15);
}

TEST(Observer, ZeroCoefficientsKeepTheEstimatesAtZero) {
  Observer o;
  o.reset(7680);
  for (int k = 0; k < 3; ++k) {
    o.predict({kMax, kMin});
    MCLIB_2_COOR_SYST_D_Q_T fb{1 << 30, -(1 << 30)};
    o.correct(fb, 12345, static_cast<int16_t>(k & 1), 0);
    EXPECT_EQ(fb.f32D, 0);
    EXPECT_EQ(fb.f32Q, 0);
  }
  EXPECT_EQ(o.x_d, 0);
  EXPECT_EQ(o.x11, 0);
  EXPECT_EQ(o.x21, 0);
}

TEST(Observer, SumsAndFeedbackShiftWrapAround) {
  Observer o;
  o.k_d = 65536;  // 1.0
  o.xbar_d = kMax;
  MCLIB_2_COOR_SYST_D_Q_T fb{kMin, 0};  // yd = -65536; yd - xbar_d wraps
  o.correct(fb, 0, 0, 0);
  // xbar_d + (yd - xbar_d) = yd, through two wrapping operations.
  EXPECT_EQ(o.x_d, -65536);
  EXPECT_EQ(fb.f32D, kMin);  // -65536 << 15
  o.x_d = 65536;             // << 15 drops the top bit
  o.xbar_d = 65536;
  o.correct(fb, 0, 1, 0);
  EXPECT_EQ(fb.f32D, kMin);
}

// ---- Current control -----------------------------------------------------------------------

CurrentControl started() {
  CurrentControl cc;
  cc.InitSV();
  cc.resetControllers();
  return cc;
}

TEST(CurrentControl, InitSvStartValuesLeaveTheLimits) {
  CurrentControl cc;
  cc.dAxisPI.f32UpperLimit = 11;
  cc.qAxisPI.f32LowerLimit = -22;
  cc.dAxisPI.f32IntegPartK_1 = 5;
  cc.qAxisPI.u16LimitFlag = 1;
  cc.iDQReq = {3, 4};
  cc.pwm32 = {1, 2, 3};
  cc.InitSV();
  for (const GFLIB_CONTROLLER_PIAW_P_T* pi : {&cc.dAxisPI, &cc.qAxisPI}) {
    EXPECT_EQ(pi->f32PropGain, 810052306);
    EXPECT_EQ(pi->f32IntegGain, 766651662);
    EXPECT_EQ(pi->w16PropGainShift, 0);
    EXPECT_EQ(pi->w16IntegGainShift, 0);
    EXPECT_EQ(pi->f32IntegPartK_1, 0);
    EXPECT_EQ(pi->f32InK_1, 0);
    EXPECT_EQ(pi->u16LimitFlag, 0);
  }
  EXPECT_EQ(cc.dAxisPI.f32UpperLimit, 11);
  EXPECT_EQ(cc.qAxisPI.f32LowerLimit, -22);
  EXPECT_EQ(cc.iDQReq.f32D, 0);
  EXPECT_EQ(cc.iDQReq.f32Q, 0);
  EXPECT_EQ(cc.pwm32.f32C, 0);
  EXPECT_EQ(cc.elimDcbRip.f32ModIndex, 1859720839);
}

TEST(CurrentControl, ResetControllersOpensTheLimitsAndClearsTheStates) {
  CurrentControl cc;
  cc.InitSV();
  cc.dAxisPI = {1, 2, 3, 4, 5, 6, 7, 8, 1};
  cc.qAxisPI = {1, 2, 3, 4, 5, 6, 7, 8, 1};
  cc.resetControllers();
  EXPECT_EQ(cc.uDCBus, 2146959360);
  for (const GFLIB_CONTROLLER_PIAW_P_T* pi : {&cc.dAxisPI, &cc.qAxisPI}) {
    EXPECT_EQ(pi->f32UpperLimit, kMax);
    EXPECT_EQ(pi->f32LowerLimit, kMin);
    EXPECT_EQ(pi->f32IntegPartK_1, 0);
    EXPECT_EQ(pi->f32InK_1, 0);
    EXPECT_EQ(pi->u16LimitFlag, 0);
    EXPECT_EQ(pi->f32PropGain, 1);  // gains are the main loop's
  }
}

TEST(CurrentControl, ZeroCurrentsAndRequestsGiveHalfDutiesAndTheFullQLimit) {
  CurrentControl cc = started();
  cc.SV_Control_A({false, 0, 1, 0, 0});
  EXPECT_EQ(cc.iDQErr.f32D, 0);
  EXPECT_EQ(cc.iDQErr.f32Q, 0);
  EXPECT_EQ(cc.uAmplitudeMax, 1239547564);
  EXPECT_EQ(cc.dAxisPI.f32UpperLimit, 1239547564);
  EXPECT_EQ(cc.dAxisPI.f32LowerLimit, -1239547564);
  EXPECT_EQ(cc.uDQReq.f32D, 0);
  EXPECT_EQ(cc.qAxisPI.f32UpperLimit, 1239482368);  // the square root keeps 15 bits
  EXPECT_EQ(cc.qAxisPI.f32LowerLimit, -1239482368);
  EXPECT_EQ(cc.SV_Control_B(0, 0), 2);
  EXPECT_EQ(cc.uDQReq.f32Q, 0);
  EXPECT_EQ(cc.pwm32.f32A, cc.pwm32.f32B);
  EXPECT_EQ(cc.pwm32.f32B, cc.pwm32.f32C);
  EXPECT_NEAR(cc.pwm32.f32A, 1 << 30, 1);
}

TEST(CurrentControl, OffsetSearchAlignsAtAngleZero) {
  CurrentControl cc = started();
  cc.thRotEl = 0x30000000;  // whatever the encoder says
  cc.iDQReq.f32Q = 555;
  // Phase currents of a vector along alpha: A = 2x, B = C = -x.
  cc.iAbcFbck = {200 << 20, -(100 << 20), -(100 << 20)};
  cc.SV_Control_A({true, 100, 1, 1, 0});
  EXPECT_EQ(cc.iDQReq.f32D, 100 << 18);
  EXPECT_EQ(cc.iDQReq.f32Q, 0);
  EXPECT_EQ(cc.thRotEl, 0);
  EXPECT_EQ(cc.thRotElSyst.f32Sin, 0);
  // At angle 0 the d axis is alpha (cos(0) is one LSB of Q15 short of 1.0).
  EXPECT_NEAR(cc.iDQFbck.f32D, 200 << 20, 200 << 5);
  EXPECT_NEAR(cc.iDQFbck.f32Q, 0, 1);
  EXPECT_EQ(cc.iDQErr.f32D, math::satSub32(100 << 18, cc.iDQFbck.f32D));

  // Leaving the search: no d request, the q request is kept.
  cc.iDQReq.f32Q = 777;
  cc.SV_Control_A({false, 100, 1, 1, 0});
  EXPECT_EQ(cc.iDQReq.f32D, 0);
  EXPECT_EQ(cc.iDQReq.f32Q, 777);
}

TEST(CurrentControl, DAxisAtItsLimitLeavesTheQAxisNoRoom) {
  CurrentControl cc = started();
  cc.dAxisPI.f32IntegPartK_1 = kMax;  // clamped to the limit inside the controller
  cc.SV_Control_A({true, 8000, 1, 1, 0});
  ASSERT_EQ(cc.uDQReq.f32D, cc.uAmplitudeMax);
  EXPECT_EQ(cc.qAxisPI.f32UpperLimit, 0);
  EXPECT_EQ(cc.qAxisPI.f32LowerLimit, 0);
  cc.iDQReq.f32Q = 1 << 28;
  cc.iDQErr.f32Q = 1 << 28;
  cc.SV_Control_B(0, 0);
  EXPECT_EQ(cc.uDQReq.f32Q, 0);
}

TEST(CurrentControl, OpenLoopVoltageReplacesTheControllerOutputs) {
  CurrentControl cc = started();
  cc.iAbcFbck = {300 << 20, -(100 << 20), -(200 << 20)};
  cc.iDQReq.f32Q = 1 << 27;
  cc.SV_Control_A({false, 0, 1, 1, 0});
  EXPECT_NE(cc.uDQReq.f32D, 0);
  cc.SV_Control_B(1, 1000);
  EXPECT_EQ(cc.uDQReq.f32D, 0);
  EXPECT_EQ(cc.uDQReq.f32Q, 262144000);
  EXPECT_NE(cc.qAxisPI.f32IntegPartK_1, 0);  // the controller still ran
}

TEST(CurrentControl, VoltageAtTheLimitScalesToFullModulation) {
  CurrentControl cc = started();
  cc.SV_Control_A({false, 0, 1, 1, 0});
  // q integral at the limit with zero error: the q output sits on uAmplitudeMax.
  cc.qAxisPI.f32IntegPartK_1 = cc.qAxisPI.f32UpperLimit;
  cc.SV_Control_B(0, 0);
  ASSERT_EQ(cc.uDQReq.f32Q, cc.qAxisPI.f32UpperLimit);
  // Angle 0: the whole vector is on beta, and bus scaling brings it to about 1.0.
  EXPECT_EQ(cc.elimDcbRip.f32ArgDcBusMsr, 2146959360);
  EXPECT_NEAR(cc.uAlBeReqDCB.f32Beta, 2147418112, 2147418112 / 10000);
  EXPECT_NEAR(cc.uAlBeReqDCB.f32Alpha, 0, 2);
}

TEST(CurrentControl, EstimatesAreTheFeedbackUnlessBypassed) {
  for (int16_t bypass : {int16_t{0}, int16_t{1}}) {
    CurrentControl cc = started();
    cc.observer.reset(7680);  // no coefficients: the estimates stay 0
    cc.iAbcFbck = {200 << 20, -(100 << 20), -(100 << 20)};
    cc.iDQReq.f32Q = 1 << 26;
    cc.SV_Control_A({false, 0, bypass, 0, 0});
    if (bypass == 0) {
      EXPECT_EQ(cc.iDQFbck.f32D, 0);
      EXPECT_EQ(cc.iDQErr.f32Q, 1 << 26);
    } else {
      EXPECT_GT(cc.iDQFbck.f32D, 200 << 19);
      EXPECT_EQ(cc.iDQErr.f32Q, math::satSub32(1 << 26, cc.iDQFbck.f32Q));
    }
  }
}

}  // namespace
}  // namespace tavrix
