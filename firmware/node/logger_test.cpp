#include "firmware/node/logger.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "firmware/math/types.hpp"
#include "firmware/node/node.hpp"
#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using testing::CanFrame;
using testing::NodeHarness;

// The current control's signals under their names, as the control interrupt leaves them.
struct Foc {
  MCLIB_3_COOR_SYST_T pwm32{};
  MCLIB_3_COOR_SYST_T iAbcFbck{};
  MCLIB_2_COOR_SYST_D_Q_T iDQReq{};
  MCLIB_2_COOR_SYST_D_Q_T iDQFbck{};
  MCLIB_2_COOR_SYST_D_Q_T uDQReq{};
  struct {
    Frac32 x_d = 0;
    Frac32 x11 = 0;
    Frac32 x21 = 0;
  } observer;
  Frac32 thRotEl = 0;
};

struct Signals {
  Foc foc;
  int32_t velocity = 0;
  int16_t useEstimate = 0;
};

// Signals whose words are all distinct and tell the record `n` they belong to.
Signals numbered(int32_t n) {
  Signals s;
  const int32_t b = n * 100;
  s.foc.pwm32 = {b + 0, b + 1, b + 2};
  s.foc.iAbcFbck = {b + 3, b + 4, b + 5};
  s.foc.iDQReq = {b + 6, b + 7};
  s.foc.iDQFbck = {b + 8, b + 9};
  s.foc.uDQReq = {b + 10, b + 11};
  s.foc.observer = {b + 12, b + 13, b + 14};
  s.velocity = b + 15;
  s.useEstimate = static_cast<int16_t>(n & 1);
  s.foc.thRotEl = b + 17;
  return s;
}

void store(Logger& log, const Signals& s) {
  log.recordSignals(s.foc, s.velocity, s.useEstimate);
}

int32_t wordOf(const CanFrame& f) {
  return static_cast<int32_t>(f.data[0] | f.data[1] << 8 | f.data[2] << 16 |
                              static_cast<uint32_t>(f.data[3]) << 24);
}

class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() {
    h.node.property[prop::NODE_ID] = 5;
    h.node.timers.timerAddEvent(callbacks::logDump, 1);  // as start-up does
  }
  Logger& log() { return h.node.logger; }
  int16_t& stepCurrent() { return h.node.property[prop::STEP_CURRENT]; }
  // `count` records of numbered signals, starting at record number `first`.
  void record(int count, int first = 0) {
    for (int i = 0; i < count; ++i) store(log(), numbered(first + i));
  }
  // Runs the main loop for `ticks` ticks and returns the frames sent meanwhile.
  std::vector<CanFrame> dumpFor(int ticks) {
    const size_t before = h.fake.can.sent.size();
    h.run(ticks);
    return {h.fake.can.sent.begin() + static_cast<std::ptrdiff_t>(before), h.fake.can.sent.end()};
  }

  NodeHarness h;
};

TEST_F(LoggerTest, RecordHoldsTheSignalsInTheirOrder) {
  Signals s = numbered(7);
  s.velocity = 0x20000000;  // x 11 wraps in 32 bits
  s.useEstimate = -1;       // sign-extended
  stepCurrent() = 3;
  store(log(), s);
  ASSERT_EQ(log().logCount, 18);
  const int32_t* w = log().base32;
  for (int i = 0; i < 15; ++i) EXPECT_EQ(w[i], 700 + i) << "word " << i;
  EXPECT_EQ(w[15], static_cast<int32_t>(0x60000000u));  // 11 * 2^29 mod 2^32
  EXPECT_EQ(w[16], -1);
  EXPECT_EQ(w[17], 717);
}

TEST_F(LoggerTest, RecordsOnlyAboveTwo) {
  for (int16_t v : {-5, 0, 1, 2}) {
    stepCurrent() = v;
    record(3);
    EXPECT_EQ(log().logCount, 0) << "STEP_CURRENT " << v;
  }
  stepCurrent() = 3;
  record(1);
  EXPECT_EQ(log().logCount, 18);
}

TEST_F(LoggerTest, FullBufferHolds834RecordsThenRecordingEnds) {
  h.set16(prop::STEP_CURRENT, 3);
  ASSERT_EQ(stepCurrent(), 3);
  record(kLogRecords);
  EXPECT_EQ(log().logCount, kLogBufferWords);
  EXPECT_EQ(stepCurrent(), 3);  // still recording: the full state is seen at the next record
  record(1, 9999);
  EXPECT_EQ(stepCurrent(), 0);
  EXPECT_EQ(log().logCount, 15012);
  // The last record starts at word 14 994 and holds record 833.
  EXPECT_EQ(log().base32[14994], 83300);
  EXPECT_EQ(log().base32[15011], 83317);
}

TEST_F(LoggerTest, RecordingSetAlsoStepsTheTorqueCommand) {
  h.set16(prop::STEP_CURRENT, 3);
  record(10);
  h.run(15);
  EXPECT_EQ(h.node.property[prop::TORQUE], 0);
  h.run(1);
  EXPECT_EQ(h.node.property[prop::TORQUE], 3);
  EXPECT_EQ(log().logCount, 180);
}

TEST_F(LoggerTest, CompleteDumpSendsEveryWordInOrderThenResets) {
  stepCurrent() = 3;
  record(kLogRecords);
  stepCurrent() = 2;
  const std::vector<CanFrame> frames = dumpFor(2 * kLogBufferWords + 10);
  ASSERT_EQ(frames.size(), static_cast<size_t>(kLogBufferWords));
  for (size_t i = 0; i < frames.size(); ++i) {
    const int position = static_cast<int>(i % 18);
    const int32_t expected = position == 16   ? static_cast<int32_t>((i / 18) & 1)
                             : position == 15 ? static_cast<int32_t>(i / 18) * 1100 + 165
                                              : static_cast<int32_t>(i / 18) * 100 + position;
    ASSERT_EQ(wordOf(frames[i]), expected) << "frame " << i;
    ASSERT_EQ(frames[i].length, 4);
    ASSERT_EQ(frames[i].type, platform::LDD_CAN_DATA_FRAME);
    ASSERT_EQ(frames[i].id, Logger::dumpIdentifier(5, static_cast<int16_t>(position)));
  }
  EXPECT_EQ(stepCurrent(), 0);
  EXPECT_EQ(log().logCount, 0);
  EXPECT_EQ(log().dataptr, log().base32);
  EXPECT_EQ(log().datamod, 0);
  // The next recording starts at the beginning of the buffer.
  stepCurrent() = 4;
  record(1, 50);
  EXPECT_EQ(log().base32[0], 5000);
  EXPECT_EQ(log().logCount, 18);
}

TEST_F(LoggerTest, DumpSendsOneWordEverySecondTick) {
  stepCurrent() = 3;
  record(1);
  stepCurrent() = 2;
  std::vector<size_t> counts;
  for (int t = 0; t < 8; ++t) counts.push_back(dumpFor(1).size());
  EXPECT_EQ(counts, (std::vector<size_t>{0, 1, 0, 1, 0, 1, 0, 1}));
}

TEST_F(LoggerTest, DumpWaitsForTheTransmitBuffer) {
  stepCurrent() = 3;
  record(1);
  stepCurrent() = 2;
  h.fake.can.sendBusy = 5;
  const std::vector<CanFrame> frames = dumpFor(2);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(wordOf(frames[0]), 0);
  EXPECT_EQ(log().logCount, 17);
  EXPECT_GE(h.fake.cpu.relaxCount, 5u);
}

TEST_F(LoggerTest, DumpOfAnEmptyBufferChangesNothing) {
  h.set16(prop::STEP_CURRENT, 2);
  EXPECT_TRUE(dumpFor(10).empty());
  EXPECT_EQ(stepCurrent(), 2);
  EXPECT_EQ(log().dataptr, log().base32);
  h.run(6);
  EXPECT_EQ(h.node.property[prop::TORQUE], 2);  // the step still follows
}

TEST_F(LoggerTest, InterruptedDumpResumesWhereItStopped) {
  stepCurrent() = 3;
  record(2);  // 36 words
  stepCurrent() = 2;
  std::vector<CanFrame> first = dumpFor(20);
  ASSERT_EQ(first.size(), 10u);
  stepCurrent() = 0;  // a host set stops the dump
  EXPECT_TRUE(dumpFor(10).empty());
  EXPECT_EQ(log().logCount, 26);
  EXPECT_EQ(log().dataptr, log().base32 + 10);
  EXPECT_EQ(log().datamod, 10);
  stepCurrent() = 2;
  std::vector<CanFrame> rest = dumpFor(100);
  ASSERT_EQ(rest.size(), 26u);
  for (size_t i = 0; i < rest.size(); ++i) {
    const size_t word = 10 + i;
    EXPECT_EQ(rest[i].id, Logger::dumpIdentifier(5, static_cast<int16_t>(word % 18)));
    if (word % 18 < 15) {
      EXPECT_EQ(wordOf(rest[i]), static_cast<int32_t>((word / 18) * 100 + word % 18));
    }
  }
  EXPECT_EQ(stepCurrent(), 0);
  EXPECT_EQ(log().logCount, 0);
  EXPECT_EQ(log().dataptr, log().base32);
}

TEST_F(LoggerTest, RecordingAfterAnInterruptedDumpStoresFromTheUnsentCount) {
  stepCurrent() = 3;
  record(2);
  stepCurrent() = 2;
  ASSERT_EQ(dumpFor(20).size(), 10u);
  stepCurrent() = 3;
  record(1, 7);  // stored at 26..43, the unsent word count
  EXPECT_EQ(log().logCount, 44);
  EXPECT_EQ(log().base32[26], 700);
  EXPECT_EQ(log().dataptr, log().base32 + 10);  // the dump will resume at word 10
}

// A recording after an interrupted dump can start at a count that is not a multiple of 18: a
// record that would pass the end of the buffer ends the recording instead, and the dump that
// follows stops at the end of the buffer.
TEST_F(LoggerTest, MisalignedCountsStayInsideTheBuffer) {
  stepCurrent() = 3;
  record(kLogRecords);
  stepCurrent() = 2;
  ASSERT_EQ(dumpFor(200).size(), 100u);
  ASSERT_EQ(log().logCount, kLogBufferWords - 100);  // 14 912
  stepCurrent() = 3;
  record(10, 1000);
  // 14 912 + 5 x 18 = 15 002; one more record would end at word 15 019.
  EXPECT_EQ(log().logCount, 15002);
  EXPECT_EQ(stepCurrent(), 0);
  EXPECT_EQ(log().base32[14984], 100400);  // the fifth record of this recording
  stepCurrent() = 2;
  const std::vector<CanFrame> frames = dumpFor(2 * kLogBufferWords + 10);
  EXPECT_EQ(frames.size(), static_cast<size_t>(kLogBufferWords - 100));
  EXPECT_EQ(stepCurrent(), 0);
  EXPECT_EQ(log().logCount, 0);
  EXPECT_EQ(log().dataptr, log().base32);
}

// Identifiers of every node number and record position: bit 10 set, the source field is the
// node, and the group field is never 0 or 1, which every node takes as a request.
TEST(LoggerIdentifier, NoDumpFrameIsARequest) {
  for (int16_t node = 0; node < 32; ++node) {
    std::set<uint32_t> seen;
    for (int16_t w = 0; w < kLogWordsPerRecord; ++w) {
      const uint32_t id = Logger::dumpIdentifier(node, w);
      ASSERT_LE(id, 0x7FFu);
      ASSERT_EQ(id & 0x400u, 0x400u);
      ASSERT_EQ((id >> 5) & 0x1Fu, static_cast<uint32_t>(node)) << "node " << node << " w " << w;
      const uint32_t group = id & 0x1F;
      ASSERT_GE(group, 2u);
      ASSERT_EQ(group,
                w < 16 ? 16u + static_cast<uint32_t>(w) : 14u + static_cast<uint32_t>(w - 16));
      seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 18u);  // a receiver can tell every position apart
  }
  EXPECT_EQ(Logger::dumpIdentifier(5, 0), 0x4B0u);
  EXPECT_EQ(Logger::dumpIdentifier(5, 16), 0x4AEu);
  EXPECT_EQ(Logger::dumpIdentifier(5, 17), 0x4AFu);
  EXPECT_EQ(Logger::dumpIdentifier(37, 0), 0x4B0u);  // a node number keeps its five bits
}

// Two nodes in one process keep separate buffers.
TEST(LoggerBuffers, EveryNodeHasItsOwn) {
  NodeHarness a;
  NodeHarness b;
  EXPECT_NE(a.node.logger.base32, b.node.logger.base32);
  a.node.property[prop::STEP_CURRENT] = 3;
  b.node.property[prop::STEP_CURRENT] = 3;
  store(a.node.logger, numbered(1));
  store(b.node.logger, numbered(2));
  EXPECT_EQ(a.node.logger.base32[0], 100);
  EXPECT_EQ(b.node.logger.base32[0], 200);
}

}  // namespace
}  // namespace tavrix
