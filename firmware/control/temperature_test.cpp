#include "firmware/control/temperature.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace tavrix {
namespace {

TEST(Temperature, ConvertsAtRegionBoundsAndRejectsReadingsOutside) {
  struct Case {
    int16_t therm;
    int16_t want;
  } cases[] = {
      {999, -32768},  {1000, 25781}, {1499, 20791}, {1500, 21671},    {2000, 18171},
      {3499, 7678},   {3500, 6261},  {3899, 276},   {3900, 772},      {4029, -3872},
      {4030, -32768}, {0, -32768},   {-1, -32768},  {-32768, -32768}, {32767, -32768},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(temperature_ConvertToDegC(c.therm), c.want) << "therm " << c.therm;
  }
}

// Every convertible reading equals offset + slope * therm of the region whose bounds hold it.
TEST(Temperature, MatchesTheLinearFitOverTheWholeRange) {
  struct Segment {
    int32_t lower, upper, slope, offset;
  } segments[] = {
      {1000, 1500, -10, 35781},
      {1500, 3500, -7, 32171},
      {3500, 3900, -15, 58761},
      {3900, 4030, -36, 141172},
  };
  for (const Segment& s : segments) {
    for (int32_t therm = s.lower; therm < s.upper; ++therm) {
      ASSERT_EQ(temperature_ConvertToDegC(static_cast<int16_t>(therm)), s.offset + s.slope * therm)
          << "therm " << therm;
    }
  }
}

// The region search as first written (a table walk in the order 1, 2, 0, 3) against the
// straight-line form, for every 16-bit reading.
TEST(Temperature, MatchesTheRegionTableWalkForEveryReading) {
  static constexpr int32_t regions[4][2] = {{1000, 1500}, {1500, 3500}, {3500, 3900}, {3900, 4030}};
  static constexpr int32_t parameters[4][2] = {
      {-10, 35781}, {-7, 32171}, {-15, 58761}, {-36, 141172}};
  static constexpr int32_t order[4] = {1, 2, 0, 3};
  auto tableWalk = [](int32_t reading) -> int16_t {
    for (const int32_t r : order) {
      if (regions[r][0] <= reading && reading < regions[r][1]) {
        return static_cast<int16_t>(parameters[r][1] + parameters[r][0] * (reading * 256) / 256);
      }
    }
    return TEMPERATURE_INVALID;
  };
  for (int32_t therm = -32768; therm <= 32767; ++therm) {
    ASSERT_EQ(temperature_ConvertToDegC(static_cast<int16_t>(therm)), tableWalk(therm)) << therm;
  }
}

TEST(Temperature, StartsAtFiftyDegreesWithThirtyThousandTicks) {
  const TemperatureThreshold_t t;
  EXPECT_EQ(t.threshold_degC, 50 * 256);
  EXPECT_EQ(t.timeout_ticks, 30000u);
  EXPECT_EQ(t.ticks, 0u);
  EXPECT_FALSE(t.is_overtemp);
}

// Calls at or above the threshold; returns how many returned false before the first true
// (capped at `limit`).
uint32_t callsUntilOvertemp(TemperatureThreshold_t* t, int16_t temp, uint32_t limit) {
  for (uint32_t n = 0; n < limit; ++n) {
    if (temperature_CheckOvertemp(t, temp)) return n;
  }
  return limit;
}

TEST(Temperature, TripsOnTheCallAfterTheTimeoutAndStaysTripped) {
  TemperatureThreshold_t t;
  // Equal to the threshold counts as over: 30000 tolerated calls, the 30001st trips.
  EXPECT_EQ(callsUntilOvertemp(&t, t.threshold_degC, 40000), 30000u);
  EXPECT_TRUE(temperature_CheckOvertemp(&t, 32767));
  EXPECT_TRUE(t.is_overtemp);
  // One reading below the threshold releases it and restarts the count.
  EXPECT_FALSE(temperature_CheckOvertemp(&t, static_cast<int16_t>(t.threshold_degC - 1)));
  EXPECT_EQ(t.ticks, 0u);
  EXPECT_EQ(callsUntilOvertemp(&t, 20000, 40000), 30000u);
}

TEST(Temperature, ReadingBelowThresholdRestartsTheCount) {
  TemperatureThreshold_t t;
  t.threshold_degC = 19456;
  t.timeout_ticks = 5;
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(temperature_CheckOvertemp(&t, 19456));
  EXPECT_FALSE(temperature_CheckOvertemp(&t, 19455));
  EXPECT_EQ(callsUntilOvertemp(&t, 19456, 10), 5u);
  // A failed sensor converts far below any threshold and never trips.
  TemperatureThreshold_t lowest;
  lowest.threshold_degC = -32767;
  EXPECT_EQ(callsUntilOvertemp(&lowest, TEMPERATURE_INVALID, 100), 100u);
  // No tolerance: the first call at the threshold trips.
  t.timeout_ticks = 0;
  EXPECT_FALSE(temperature_CheckOvertemp(&t, 19455));
  EXPECT_TRUE(temperature_CheckOvertemp(&t, 19456));
}

TEST(Temperature, ClearRequiresTheFullCountAgain) {
  TemperatureThreshold_t t;
  ASSERT_EQ(callsUntilOvertemp(&t, 25000, 40000), 30000u);
  temperature_ClearOvertemp(&t);
  EXPECT_FALSE(t.is_overtemp);
  EXPECT_EQ(t.ticks, 0u);
  EXPECT_EQ(callsUntilOvertemp(&t, 25000, 40000), 30000u);
  // Cleared in the middle of a run: the count starts from zero.
  temperature_ClearOvertemp(&t);
  EXPECT_EQ(callsUntilOvertemp(&t, 25000, 1000), 1000u);
  temperature_ClearOvertemp(&t);
  EXPECT_EQ(callsUntilOvertemp(&t, 25000, 40000), 30000u);
}

}  // namespace
}  // namespace tavrix
