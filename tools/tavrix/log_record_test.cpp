#include "tools/tavrix/log_record.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {
namespace {

std::vector<LogWord> stream(int records, int first_value = 0) {
  std::vector<LogWord> w;
  for (int i = 0; i < records * kWordsPerRecord; ++i) {
    w.push_back({i % kWordsPerRecord, first_value + i});
  }
  return w;
}

TEST(LogWords, PositionComesFromTheGroupField) {
  sim::CanMessage m;
  m.length = 4;
  m.id = 0x400 | 5 << 5 | 16;
  EXPECT_EQ(logWordPosition(m, 5), 0);
  m.id = 0x400 | 5 << 5 | 31;
  EXPECT_EQ(logWordPosition(m, 5), 15);
  m.id = 0x400 | 5 << 5 | 14;
  EXPECT_EQ(logWordPosition(m, 5), 16);
  m.id = 0x400 | 5 << 5 | 15;
  EXPECT_EQ(logWordPosition(m, 5), 17);
  EXPECT_FALSE(logWordPosition(m, 4));   // another node
  m.id = 0x400 | 5 << 5 | 6;             // a property reply
  EXPECT_FALSE(logWordPosition(m, 5));
  m.id = 0x400 | 5 << 5 | 16;
  m.length = 6;
  EXPECT_FALSE(logWordPosition(m, 5));
}

TEST(LogRecords, CountsWordsIntoRecordsOfEighteen) {
  const LogRecords r = rebuildRecords(stream(3));
  ASSERT_EQ(r.records.size(), 3u);
  EXPECT_EQ(r.lost_words, 0);
  EXPECT_TRUE(r.damaged.empty());
  EXPECT_EQ(*r.records[2][17], 53);
}

TEST(LogRecords, LostFramesShowAsGapsInThePositions) {
  std::vector<LogWord> w = stream(4);
  w.erase(w.begin() + 20, w.begin() + 23);  // positions 2..4 of record 1
  w.erase(w.begin() + 40);                  // one word of record 2 (after the first erase)
  const LogRecords r = rebuildRecords(w);
  ASSERT_EQ(r.records.size(), 4u);
  EXPECT_EQ(r.lost_words, 4);
  EXPECT_EQ(r.missing_words, 4);
  EXPECT_EQ(r.damaged, (std::vector<size_t>{1, 2}));
  EXPECT_FALSE(r.records[1][2]);
  EXPECT_EQ(*r.records[1][5], 23);  // the words after the gap stay at their positions
  EXPECT_EQ(*r.records[3][0], 54);
}

// Frames lost before the first received word or after the last one leave record 0 or the last
// record short: no gap between received words, but missing words all the same.
TEST(LogRecords, WordsMissingAtEitherEndAreCounted) {
  std::vector<LogWord> w = stream(3);
  w.erase(w.end() - 5, w.end());    // the last five words of record 2
  w.erase(w.begin(), w.begin() + 2);  // the first two of record 0
  const LogRecords r = rebuildRecords(w);
  ASSERT_EQ(r.records.size(), 3u);
  EXPECT_EQ(r.lost_words, 0);
  EXPECT_EQ(r.missing_words, 7);
  EXPECT_EQ(r.damaged, (std::vector<size_t>{0, 2}));
  EXPECT_FALSE(r.records[0][1]);
  EXPECT_EQ(*r.records[0][2], 2);
  EXPECT_EQ(*r.records[2][12], 48);
  EXPECT_FALSE(r.records[2][13]);
}

TEST(LogRecords, CsvHasTimeThenTheEighteenColumnsWithEmptyFieldsForLostWords) {
  std::vector<LogWord> w = stream(2);
  w.erase(w.begin() + 1);
  std::ostringstream out;
  writeCsv(out, rebuildRecords(w), false);
  std::istringstream in(out.str());
  std::string header, row0, row1;
  std::getline(in, header);
  std::getline(in, row0);
  std::getline(in, row1);
  EXPECT_EQ(header.rfind("time_s,pwm_a,pwm_b,pwm_c,i_a", 0), 0u);
  EXPECT_EQ(std::count(header.begin(), header.end(), ','), 18);
  EXPECT_EQ(row0.rfind("0.000000,0,,2,", 0), 0u);
  EXPECT_EQ(row1.rfind("0.000150,18,19,", 0), 0u);
}

// A first-order response with time constant tau to a step of the q-current request: rise time
// tau * ln 9, settling time (2 %) tau * ln 50, no overshoot, no steady-state error.
TEST(StepMetrics, FirstOrderResponse) {
  const double tau = 2e-3;
  std::vector<LogWord> w;
  const int n = 800, step_at = 50;
  for (int i = 0; i < n; ++i) {
    const double t = (i - step_at) * kRecordPeriod_s;
    const int32_t req = i < step_at ? 0 : 1'000'000;
    const int32_t fb = i < step_at ? 0 : static_cast<int32_t>(1e6 * (1 - std::exp(-t / tau)));
    for (int k = 0; k < kWordsPerRecord; ++k) {
      w.push_back({k, k == 7 ? req : k == 9 ? fb : 0});
    }
  }
  const StepMetrics m = stepMetrics(rebuildRecords(w));
  ASSERT_TRUE(m.valid);
  EXPECT_NEAR(m.step_time_s, step_at * kRecordPeriod_s, 1e-9);
  EXPECT_NEAR(m.rise_time_s, tau * std::log(9.0), 2 * kRecordPeriod_s);
  EXPECT_NEAR(m.settling_time_s, tau * std::log(50.0), 2 * kRecordPeriod_s);
  EXPECT_NEAR(m.overshoot_pct, 0.0, 1e-9);
  EXPECT_NEAR(m.steady_state_error, 0.0, 10.0);
}

TEST(StepMetrics, OvershootAndOffset) {
  std::vector<LogWord> w;
  for (int i = 0; i < 400; ++i) {
    const int32_t req = i < 10 ? 0 : 1000;
    const int32_t fb = i < 10 ? 0 : i < 20 ? 1200 : 950;  // 26 % above the final 950
    for (int k = 0; k < kWordsPerRecord; ++k) w.push_back({k, k == 7 ? req : k == 9 ? fb : 0});
  }
  const StepMetrics m = stepMetrics(rebuildRecords(w));
  ASSERT_TRUE(m.valid);
  EXPECT_NEAR(m.overshoot_pct, (1200.0 - 950.0) / 950.0 * 100.0, 1e-6);
  EXPECT_NEAR(m.steady_state_error, 50.0, 1e-9);
  EXPECT_NEAR(m.settling_time_s, 10 * kRecordPeriod_s, 1e-9);
}

// The request falls back to 0 before the record ends (the drive cut its torque at a limit): the
// step is measured while the request holds, not against the record's tail.
TEST(StepMetrics, RequestEndingBeforeTheRecordBoundsTheStep) {
  std::vector<LogWord> w;
  for (int i = 0; i < 400; ++i) {
    const bool on = i >= 10 && i < 200;
    const int32_t req = on ? 1000 : 0;
    const int32_t fb = on ? (i < 14 ? 1100 : 990) : 3;
    for (int k = 0; k < kWordsPerRecord; ++k) w.push_back({k, k == 7 ? req : k == 9 ? fb : 0});
  }
  const StepMetrics m = stepMetrics(rebuildRecords(w));
  ASSERT_TRUE(m.valid);
  EXPECT_NEAR(m.final_value, 990.0, 1e-9);
  EXPECT_NEAR(m.steady_state_error, 10.0, 1e-9);
  // Overshoot in % of the change from the level before the step (3) to the final value.
  EXPECT_NEAR(m.overshoot_pct, (1100.0 - 990.0) / (990.0 - 3.0) * 100.0, 1e-6);
  EXPECT_NEAR(m.settling_time_s, 4 * kRecordPeriod_s, 1e-9);
}

TEST(StepMetrics, NoStepNoMetrics) {
  std::vector<LogWord> w;
  for (int i = 0; i < 50 * kWordsPerRecord; ++i) w.push_back({i % kWordsPerRecord, 7});
  EXPECT_FALSE(stepMetrics(rebuildRecords(w)).valid);
  EXPECT_EQ(metricsTitle(StepMetrics{}), "no step in the record");
}

}  // namespace
}  // namespace tavrix::cli

namespace tavrix::cli {
namespace {

TEST(StepPlot, WritesAnSvgWithTheMetricsInTheTitle) {
  if (std::system("command -v gnuplot >/dev/null 2>&1") != 0 &&
      std::system("python3 -c 'import matplotlib' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "neither gnuplot nor python3-matplotlib is installed";
  }
  std::vector<LogWord> w;
  for (int i = 0; i < 200; ++i) {
    for (int k = 0; k < kWordsPerRecord; ++k) {
      w.push_back({k, k == 7 ? (i < 20 ? 0 : 1000) : k == 9 ? (i < 25 ? 0 : 990) : 0});
    }
  }
  const LogRecords r = rebuildRecords(w);
  const std::string csv = ::testing::TempDir() + "tavrix-plot.csv";
  const std::string svg = ::testing::TempDir() + "tavrix-plot.svg";
  std::ofstream(csv) << [&] {
    std::ostringstream o;
    writeCsv(o, r, false);
    return o.str();
  }();
  std::remove(svg.c_str());
  plotCsv(csv, svg, metricsTitle(stepMetrics(r)));
  std::ifstream in(svg);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("<svg"), std::string::npos);
  EXPECT_NE(text.str().find("steady-state error 10"), std::string::npos);
  EXPECT_THROW(plotCsv(csv, ::testing::TempDir() + "x.pdf", "t"), Failure);
}

}  // namespace
}  // namespace tavrix::cli
