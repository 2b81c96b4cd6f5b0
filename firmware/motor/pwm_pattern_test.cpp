#include "firmware/motor/pwm_pattern.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>

namespace tavrix {
namespace {

struct Edges {
  int16_t m_on, m_off, t_on, t_off;
};
bool operator==(const Edges& a, const Edges& b) {
  return a.m_on == b.m_on && a.m_off == b.m_off && a.t_on == b.t_on && a.t_off == b.t_off;
}
void PrintTo(const Edges& e, std::ostream* os) {
  *os << "m " << e.m_on << "/" << e.m_off << " t " << e.t_on << "/" << e.t_off;
}
Edges edges(const phaseStruct& ph) {
  return {ph.m_on, ph.m_off, ph.t_on, ph.t_off};
}

patternStruct makePattern(int16_t da, int16_t db, int16_t dc) {
  patternStruct p{};
  p.A.duty = da;
  p.B.duty = db;
  p.C.duty = dc;
  return p;
}

// Which of A/B/C a pointer of the pattern designates: 'A', 'B', 'C' or '?'.
char which(const patternStruct& p, const phaseStruct* ph) {
  if (ph == &p.A) return 'A';
  if (ph == &p.B) return 'B';
  if (ph == &p.C) return 'C';
  return '?';
}

struct OrderCase {
  int16_t da, db, dc;
  int16_t sector;
  const char* minMidMax;
};

TEST(PwmPattern, SectorTableWithTies) {
  const OrderCase cases[] = {
      {100, 200, 300, 1, "ABC"},
      {100, 300, 200, 2, "ACB"},
      {200, 300, 100, 3, "CAB"},
      {200, 100, 300, 4, "BAC"},
      {300, 200, 100, 5, "CBA"},
      {300, 100, 200, 6, "BCA"},
      // ties fall to the later rows
      {250, 250, 250, 6, "BCA"},
      {200, 200, 300, 4, "BAC"},
      {100, 300, 300, 2, "ACB"},
      {100, 300, 100, 3, "CAB"},
      {300, 100, 100, 6, "BCA"},
      {300, 100, 300, 6, "BCA"},
      {300, 300, 100, 5, "CBA"},
  };
  for (const auto& c : cases) {
    PwmPatterns pp;
    patternStruct p = makePattern(c.da, c.db, c.dc);
    pp.calculateCompareValues(&p, 1);
    const char got[4] = {which(p, p.Min), which(p, p.Mid), which(p, p.Max), 0};
    EXPECT_EQ(p.sector, c.sector) << c.da << " " << c.db << " " << c.dc;
    EXPECT_STREQ(got, c.minMidMax) << c.da << " " << c.db << " " << c.dc;
  }
}

TEST(PwmPattern, EqualDutiesWithheldGiveCentredPulsesAndAnEstimate) {
  PwmPatterns pp;
  patternStruct p = makePattern(250, 250, 250);
  pp.calculateCompareValues(&p, 0);
  EXPECT_EQ(pp.useEstimate, 1);
  EXPECT_EQ(pp.sampleMod, 1);
  for (const phaseStruct* ph : {&p.A, &p.B, &p.C}) {
    EXPECT_EQ(edges(*ph), (Edges{-250, 250, -250, 250}));
  }
  EXPECT_EQ(p.Min->resize, 0);
  EXPECT_EQ(p.Max->resize, 0);
}

TEST(PwmPattern, EqualDutiesWithWindowsAppliedResizeBoth) {
  PwmPatterns pp;
  patternStruct p = makePattern(250, 250, 250);
  pp.calculateCompareValues(&p, 1);
  EXPECT_EQ(pp.useEstimate, 1);
  EXPECT_EQ(pp.sampleMod, 0);  // untouched when the windows are always applied
  EXPECT_EQ(p.B.resize, 84);   // Min
  EXPECT_EQ(p.A.resize, 84);   // Max
  EXPECT_EQ(edges(p.B), (Edges{-250, 166, -292, 292}));
  EXPECT_EQ(edges(p.C), (Edges{-250, 250, -250, 250}));
  EXPECT_EQ(edges(p.A), (Edges{-334, 250, -208, 208}));
}

struct CompareCase {
  int16_t da, db, dc;
  int16_t property41;
  int16_t duties[3];
  Edges a, b, c;
  int16_t useEstimate;
};

TEST(PwmPattern, CompareValues) {
  const CompareCase cases[] = {
      // Max close above Mid: shifted by D and lengthened.
      {100,
       200,
       210,
       1,
       {100, 200, 210},
       {-100, 100, -100, 100},
       {-200, 200, -200, 200},
       {-284, 200, -178, 178},
       1},
      // Middle duty raised to 42; Min closes its pulse in the measurement set.
      {10,
       20,
       300,
       1,
       {32, 42, 322},
       {-42, -42, -64, 64},
       {-42, 42, -42, 42},
       {-322, 322, -322, 322},
       1},
      // Differences between 42 and 83 only shift, so nothing is withheld.
      {100,
       150,
       220,
       0,
       {100, 150, 220},
       {-134, 66, -100, 100},
       {-150, 150, -150, 150},
       {-234, 206, -220, 220},
       0},
      // Zero duties: all raised to 42, windows on both sides resized.
      {0, 0, 0, 1, {42, 42, 42}, {-126, 42, 0, 0}, {-42, -42, -84, 84}, {-42, 42, -42, 42}, 1},
  };
  for (const auto& c : cases) {
    PwmPatterns pp;
    patternStruct p = makePattern(c.da, c.db, c.dc);
    pp.calculateCompareValues(&p, c.property41);
    SCOPED_TRACE(testing::Message() << c.da << " " << c.db << " " << c.dc);
    EXPECT_EQ(p.A.duty, c.duties[0]);
    EXPECT_EQ(p.B.duty, c.duties[1]);
    EXPECT_EQ(p.C.duty, c.duties[2]);
    EXPECT_EQ(edges(p.A), c.a);
    EXPECT_EQ(edges(p.B), c.b);
    EXPECT_EQ(edges(p.C), c.c);
    EXPECT_EQ(pp.useEstimate, c.useEstimate);
  }
}

struct WindowCase {
  int16_t dist;
  int16_t shift, resize;
};

TEST(PwmPattern, WindowBoundaries) {
  const WindowCase cases[] = {{0, 0, 84},  {1, 1, 82}, {41, 41, 2}, {42, 42, 0},
                              {43, 41, 0}, {83, 1, 0}, {84, 0, 0},  {300, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dist);
    PwmPatterns pp;
    // Window below Mid: Min and Mid `dist` apart, Max far above.
    patternStruct lo = makePattern(200, static_cast<int16_t>(200 + c.dist), 400);
    pp.calculateCompareValues(&lo, 1);
    EXPECT_EQ(lo.Min->shift, c.shift);
    EXPECT_EQ(lo.Min->resize, c.resize);
    // Window above Mid: Mid and Max `dist` apart, Min far below.
    patternStruct hi = makePattern(50, 200, static_cast<int16_t>(200 + c.dist));
    pp.calculateCompareValues(&hi, 1);
    EXPECT_EQ(hi.Max->shift, c.shift);
    EXPECT_EQ(hi.Max->resize, c.resize);
  }
}

TEST(PwmPattern, DifferencesAreFormedInThirtyTwoBits) {
  // Mid - Min = 65535 does not fit 16 bits; as a 16-bit value it would read -1 and open a window.
  PwmPatterns pp;
  patternStruct p = makePattern(-32768, 32767, 32767);
  pp.calculateCompareValues(&p, 1);
  ASSERT_EQ(p.Min, &p.A);
  EXPECT_EQ(p.A.shift, 0);
  EXPECT_EQ(p.A.resize, 0);
  EXPECT_EQ(edges(p.A), (Edges{-32768, -32768, -32768, -32768}));  // -(-32768) kept in 16 bits
}

TEST(PwmPattern, EveryFiftyFirstResizingComputationKeepsItsWindows) {
  PwmPatterns pp;
  for (int round = 0; round < 2; ++round) {
    for (int k = 1; k <= 50; ++k) {
      patternStruct p = makePattern(250, 250, 250);
      pp.calculateCompareValues(&p, 0);
      ASSERT_EQ(pp.useEstimate, 1) << k;
      ASSERT_EQ(pp.sampleMod, k);
      ASSERT_EQ(p.Max->resize, 0);
    }
    patternStruct p = makePattern(250, 250, 250);
    pp.calculateCompareValues(&p, 0);
    EXPECT_EQ(pp.useEstimate, 0);
    EXPECT_EQ(pp.sampleMod, 0);
    EXPECT_EQ(p.Min->resize, 84);
    EXPECT_EQ(p.Max->resize, 84);
    EXPECT_EQ(edges(p.A), (Edges{-334, 250, -208, 208}));
  }
}

TEST(PwmPattern, ComputationsWithoutResizingNeitherCountNorReset) {
  PwmPatterns pp;
  pp.sampleMod = 7;
  pp.useEstimate = 1;
  patternStruct p = makePattern(50, 200, 350);
  pp.calculateCompareValues(&p, 0);
  EXPECT_EQ(pp.useEstimate, 0);
  EXPECT_EQ(pp.sampleMod, 7);
}

// Over the whole duty range the modulation produces (0..MODULO/2 - 85 at MODULO 1000), with the
// windows always applied: every compare value inside the timer range, both sampling windows at
// least 84 ticks long, and one measurement plus one regular period giving each phase its duty.
TEST(PwmPattern, WindowsAndVoltSecondsOverTheDutyRange) {
  constexpr int kHalf = 500;
  int worstEarliest = 0;
  for (int da = 0; da <= 415; da += 5) {
    for (int db = 0; db <= 415; db += 5) {
      for (int dc = 0; dc <= 415; dc += 5) {
        PwmPatterns pp;
        patternStruct p = makePattern(static_cast<int16_t>(da), static_cast<int16_t>(db),
                                      static_cast<int16_t>(dc));
        pp.calculateCompareValues(&p, 1);
        const phaseStruct& mn = *p.Min;
        const phaseStruct& md = *p.Mid;
        const phaseStruct& mx = *p.Max;
        bool ok = mn.duty <= md.duty && md.duty <= mx.duty;
        for (const phaseStruct* ph : {&p.A, &p.B, &p.C}) {
          for (int v : {ph->m_on, ph->m_off, ph->t_on, ph->t_off}) {
            ok = ok && v >= -kHalf && v < kHalf;
            worstEarliest = std::min(worstEarliest, v);
          }
          ok = ok && (ph->m_off - ph->m_on) + (ph->t_off - ph->t_on) == 4 * ph->duty;
          ok = ok && ph->m_on <= ph->m_off && ph->t_on <= ph->t_off;
        }
        // Before Mid's on edge: Max on for >= 84 ticks, Min still off.
        ok = ok && mx.m_on + 84 <= md.m_on && mn.m_on >= md.m_on;
        // Before Mid's off edge: Min off for >= 84 ticks, Max still on.
        ok = ok && mn.m_off + 84 <= md.m_off && mx.m_off >= md.m_off;
        ASSERT_TRUE(ok) << da << " " << db << " " << dc;
      }
    }
  }
  EXPECT_GE(worstEarliest, -499);
}

}  // namespace
}  // namespace tavrix
