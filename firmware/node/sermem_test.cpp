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
  for (size_t i = 0; i < 1024; ++i) chip().mem[i] = static_cast<uint8_t>(i * 37 + 11);
  const Bytes before(chip().mem.begin(), chip().mem.begin() + 1026);
  EXPECT_EQ(mem().sermem_TestPattern(1024), 0);
  EXPECT_EQ(Bytes(chip().mem.begin(), chip().mem.begin() + 1026), before);
  // Three writes and four reads per even address.
  const auto count = [&](const std::string& prefix) {
    return std::count_if(h.fake.log.begin(), h.fake.log.end(),
                         [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  };
  EXPECT_EQ(count("EE_WRITE"), 3 * 512);
  EXPECT_EQ(count("EE_READ"), 4 * 512);
}

TEST_F(SermemTest, TestPatternCountsTwoPerAddressWhenWritesAreIgnored) {
  chip().ignoreWrites = true;  // holds 0xFFFF: neither pattern, but the restore reads back right
  EXPECT_EQ(mem().sermem_TestPattern(1024), 1024);
  EXPECT_EQ(mem().sermem_TestPattern(7), 8);  // addresses 0, 2, 4, 6
}

}  // namespace
}  // namespace tavrix
