#include "firmware/node/sermem.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::NodeHarness;

class SermemTest : public ::testing::Test {
 protected:
  Sermem& mem() { return h.node.sermem; }
  testing::FakeEeprom& chip() { return h.fake.eeprom; }
  NodeHarness h;
};

TEST_F(SermemTest, ReadSendsCommandAddressAndFiller) {
  struct Case {
    int16_t address;
    uint8_t hi, lo;
  };
  for (const Case c : {Case{166, 0x00, 0xA6}, Case{0x1234, 0x12, 0x34},
                       Case{static_cast<int16_t>(-2), 0xFF, 0xFE}}) {
    chip().transfers.clear();
    chip().put16(static_cast<uint16_t>(c.address), 0xBEEF);
    int8_t p[2] = {};
    mem().sermem_ReadBlock(c.address, p, 2);
    ASSERT_EQ(chip().transfers.size(), 1u);
    const Bytes& t = chip().transfers[0];
    ASSERT_EQ(t.size(), 5u);  // two filler bytes follow the address
    EXPECT_EQ(Bytes(t.begin(), t.begin() + 3), (Bytes{0x03, c.hi, c.lo}));
    EXPECT_EQ(static_cast<uint8_t>(p[0]), 0xEF);
    EXPECT_EQ(static_cast<uint8_t>(p[1]), 0xBE);
  }
}

TEST_F(SermemTest, WriteEnablesWritesAndPollsUntilReady) {
  chip().writeCyclePolls = 3;
  chip().sendBusy = 2;  // sends are repeated until accepted
  const int8_t p[2] = {0x11, static_cast<int8_t>(0xA5)};
  mem().sermem_WriteBlock(122, p, 2);
  const std::vector<Bytes> expected = {{0x06},       {0x02, 0x00, 0x7A, 0x11, 0xA5},
                                       {0x05, 0x00}, {0x05, 0x00},
                                       {0x05, 0x00}, {0x05, 0x00}};
  EXPECT_EQ(chip().transfers, expected);
  EXPECT_EQ(chip().get16(122), 0xA511);
}

TEST_F(SermemTest, BlockSizeLimits) {
  int8_t buf[32];
  std::fill(std::begin(buf), std::end(buf), int8_t{7});
  // 30 bytes (or a negative count) are neither read nor written.
  for (int8_t n : {int8_t{30}, int8_t{127}, int8_t{-1}}) {
    mem().sermem_ReadBlock(0, buf, n);
    mem().sermem_WriteBlock(0, buf, n);
  }
  EXPECT_TRUE(chip().transfers.empty());
  EXPECT_TRUE(std::all_of(std::begin(buf), std::end(buf), [](int8_t b) { return b == 7; }));
  // 29 bytes fill the 32-byte buffer exactly.
  mem().sermem_WriteBlock(64, buf, 29);
  mem().sermem_ReadBlock(64, buf, 29);
  EXPECT_EQ(chip().transfers[1].size(), 32u);
  EXPECT_EQ(chip().transfers.back().size(), 32u);
  EXPECT_EQ(chip().mem[64 + 28], 7);
  // A read of 0 bytes sends only command and address and changes nothing.
  chip().transfers.clear();
  buf[0] = 99;
  mem().sermem_ReadBlock(64, buf, 0);
  EXPECT_EQ(chip().transfers, (std::vector<Bytes>{{0x03, 0x00, 0x40}}));
  EXPECT_EQ(buf[0], 99);
}

TEST_F(SermemTest, StuckBusyBitNoLongerFreezesTheNode) {
  chip().stuckBusy = true;
  const int8_t p[2] = {1, 2};
  mem().sermem_WriteBlock(10, p, 2);
  EXPECT_EQ(chip().statusReads, static_cast<int>(Sermem::kStatusPollLimit));
  // The memory comes back: the next operations work normally.
  chip().stuckBusy = false;
  mem().sermem_WriteBlock(10, p, 2);
  int8_t q[2] = {};
  mem().sermem_ReadBlock(10, q, 2);
  EXPECT_EQ(q[0], 1);
  EXPECT_EQ(q[1], 2);
}

TEST_F(SermemTest, TestPatternOnWorkingMemoryRestoresEveryByte) {
  for (size_t i = 0; i < 1100; ++i) chip().mem[i] = static_cast<uint8_t>(i * 37 + 11);
  const Bytes before(chip().mem.begin(), chip().mem.begin() + 1100);
  // Whether the walk stops short of the record area, ends on it or goes past it, every byte,
  // the record area's included, is as it was.
  for (int32_t bytes : {1024, 100, 1100, 1018}) {
    h.fake.log.clear();
    EXPECT_EQ(mem().sermem_TestPattern(bytes), 0) << bytes;
    EXPECT_EQ(Bytes(chip().mem.begin(), chip().mem.begin() + 1100), before) << bytes;
    EXPECT_FALSE(mem().sermem_FinishInterruptedTest()) << bytes;
  }
  // Over 1 KiB: three writes and four reads per even address, one record write per address
  // outside the record area, one write that gives the area its bytes back, one read of them.
  h.fake.log.clear();
  EXPECT_EQ(mem().sermem_TestPattern(1024), 0);
  const auto count = [&](const std::string& prefix) {
    return std::count_if(h.fake.log.begin(), h.fake.log.end(),
                         [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  };
  EXPECT_EQ(count("EE_WRITE"), 3 * 512 + 508 + 1);
  EXPECT_EQ(count("EE_READ"), 4 * 512 + 1);
}

TEST_F(SermemTest, TestCutAfterAnyWriteIsFinishedAtTheNextStart) {
  // A cut after the k-th write loses every later write; the next start puts back whatever word
  // the test had under its patterns. Near the start, and around the record area.
  for (const int32_t bytes : {16, 1024}) {
    const int total = bytes == 16 ? 8 * 4 + 1 : 3 * 512 + 508 + 1;
    const int first = bytes == 16 ? 0 : total - 40;
    for (int k = first; k <= total; ++k) {
      NodeHarness fresh;
      testing::FakeEeprom& part = fresh.fake.eeprom;
      for (size_t i = 0; i < 1100; ++i) part.mem[i] = static_cast<uint8_t>(i * 11 + 5);
      const Bytes before(part.mem.begin(), part.mem.begin() + 1016);
      part.writesUntilCut = k;
      fresh.node.sermem.sermem_TestPattern(bytes);
      part.writesUntilCut = -1;
      Sermem restarted(fresh.node);
      restarted.sermem_FinishInterruptedTest();
      ASSERT_EQ(Bytes(part.mem.begin(), part.mem.begin() + 1016), before) << bytes << " " << k;
      EXPECT_FALSE(restarted.sermem_FinishInterruptedTest());  // finished once, for good
    }
  }
}

TEST_F(SermemTest, LeftoverValidRecordIsNotReplayedAfterACompleteTest) {
  // A test cut short whose record was never finished (no start since) must not leave it behind:
  // the completed test invalidates it instead of restoring it as the area's bytes of before.
  chip().put16(40, 0x1234);
  chip().writesUntilCut = 2;  // the record for address 0 lands, its first pattern too
  mem().sermem_TestPattern(64);
  chip().writesUntilCut = -1;
  chip().put16(0, 0x4321);  // changed since, by a save
  EXPECT_EQ(mem().sermem_TestPattern(64), 0);
  EXPECT_FALSE(mem().sermem_FinishInterruptedTest());
  EXPECT_EQ(chip().get16(0), 0x4321);
  EXPECT_EQ(chip().get16(40), 0x1234);
}

TEST_F(SermemTest, TestPatternCountsTwoPerAddressWhenWritesAreIgnored) {
  chip().ignoreWrites = true;  // holds 0xFFFF: neither pattern, but the restore reads back right
  EXPECT_EQ(mem().sermem_TestPattern(1024), 1024);
  EXPECT_EQ(mem().sermem_TestPattern(7), 8);  // addresses 0, 2, 4, 6
}

}  // namespace
}  // namespace tavrix
