// PDO mapping, SYNC and the transmit PDOs.
#include <gtest/gtest.h>

#include "firmware/canopen/canopen.hpp"
#include "firmware/canopen/testing/canopen_harness.hpp"

namespace tavrix {
namespace {

using testing::CanFrame;
using testing::CanOpenHarness;
using testing::kNode;

constexpr uint32_t mapEntry(uint16_t idx, uint8_t sub, uint8_t bits) {
  return static_cast<uint32_t>(idx) << 16 | static_cast<uint32_t>(sub) << 8 | bits;
}

class PdoTest : public ::testing::Test, public CanOpenHarness {
 protected:
  void SetUp() override {
    storeImage();
    start();
  }
  // The CiA 301 procedure: disable, type, count 0, entries, count, enable.
  void configure(uint16_t comm, uint32_t cob, uint8_t type, std::initializer_list<uint32_t> map) {
    const auto mapIdx = static_cast<uint16_t>(comm + 0x200);
    ASSERT_EQ(write(comm, 1, cob | 0x80000000u), 0u);
    ASSERT_EQ(write(comm, 2, type), 0u);
    ASSERT_EQ(write(mapIdx, 0, 0), 0u);
    uint8_t s = 1;
    for (uint32_t e : map) ASSERT_EQ(write(mapIdx, s++, e), 0u) << std::hex << e;
    ASSERT_EQ(write(mapIdx, 0, static_cast<uint32_t>(map.size())), 0u);
    ASSERT_EQ(write(comm, 1, cob), 0u);
  }
  uint32_t value(uint16_t idx, uint8_t sub) { return row(idx, sub).value; }
  // Sends `n` SYNCs; returns the TPDO frames sent.
  std::vector<CanFrame> syncs(int n) {
    std::vector<CanFrame> out;
    for (int i = 0; i < n; ++i) {
      for (const CanFrame& f : sync()) out.push_back(f);
    }
    return out;
  }
};

TEST_F(PdoTest, RpdoType255WritesAtOnce) {
  configure(0x1400, 0x205, 255, {mapEntry(0x6060, 0, 32)});
  EXPECT_TRUE(frame(0x205, {0x02, 0x00, 0x00, 0x00}).empty());
  EXPECT_EQ(value(0x6060, 0), 2u);
  EXPECT_EQ(h.node.property[prop::MODE], MODE_PROFILE);
}

TEST_F(PdoTest, RpdoLayoutLittleEndianInMappingOrder) {
  configure(0x1400, 0x205, 255,
            {mapEntry(0x2401, 0, 16), mapEntry(0x6502, 0, 32), mapEntry(0x6403, 0, 8)});
  frame(0x205, {0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xFE});
  EXPECT_EQ(h.node.property[prop::SAFE_POSITION], 0x1234);
  EXPECT_EQ(value(0x6502, 0), 0x12345678u);
  EXPECT_EQ(value(0x6403, 0), 0xFEu);
  // A short frame: the missing bytes are not the previous frame's.
  frame(0x205, {0x01, 0x00});
  EXPECT_EQ(h.node.property[prop::SAFE_POSITION], 1);
  EXPECT_EQ(value(0x6502, 0), 0u);
}

TEST_F(PdoTest, RpdoStagedUntilSync) {
  configure(0x1400, 0x205, 1, {mapEntry(0x6502, 0, 32)});
  frame(0x205, {7, 0, 0, 0});
  EXPECT_EQ(value(0x6502, 0), 0u);
  EXPECT_EQ(row(0x6502, 0).shadow, 7u);
  sync();
  EXPECT_EQ(value(0x6502, 0), 7u);
  row(0x6502, 0).value = 99;
  sync();  // applied again without a new RPDO
  EXPECT_EQ(value(0x6502, 0), 7u);
}

TEST_F(PdoTest, RpdoAsyncTypes241To254AreDiscarded) {
  configure(0x1400, 0x205, 250, {mapEntry(0x6502, 0, 32)});
  frame(0x205, {7, 0, 0, 0});
  syncs(3);
  EXPECT_EQ(value(0x6502, 0), 0u);
  EXPECT_EQ(row(0x6502, 0).shadow, 0u);
}

TEST_F(PdoTest, SyncCountingByType) {
  struct Case {
    uint8_t type;
    std::vector<int> applied;  // SYNC numbers (1-based) that apply the staged value
  };
  for (const Case& c : {Case{0, {1, 2, 3, 4, 5, 6, 7, 8, 9}}, Case{1, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
                        Case{3, {3, 6, 9}}, Case{4, {4, 8}}, Case{240, {}}}) {
    CanOpenHarness n;
    n.storeImage();
    n.start();
    ASSERT_EQ(n.write(0x1600, 1, mapEntry(0x6502, 0, 32)), 0u);
    ASSERT_EQ(n.write(0x1600, 0, 1), 0u);
    ASSERT_EQ(n.write(0x1400, 2, c.type), 0u);
    ASSERT_EQ(n.write(0x1400, 1, 0x205), 0u);
    // TPDO 2 with the same type shows the transmit counter.
    ASSERT_EQ(n.write(0x1A01, 1, mapEntry(0x1001, 0, 8)), 0u);
    ASSERT_EQ(n.write(0x1A01, 0, 1), 0u);
    ASSERT_EQ(n.write(0x1801, 2, c.type), 0u);
    ASSERT_EQ(n.write(0x1801, 1, 0x285), 0u);
    n.frame(0x205, {1, 0, 0, 0});
    std::vector<int> applied;
    std::vector<int> sent;
    for (int s = 1; s <= 9; ++s) {
      n.row(0x6502, 0).value = 0;
      if (!n.sync().empty()) sent.push_back(s);
      if (n.row(0x6502, 0).value == 1) applied.push_back(s);
    }
    EXPECT_EQ(applied, c.applied) << int(c.type);
    EXPECT_EQ(sent, c.applied) << int(c.type);
  }
}

TEST_F(PdoTest, TpdoLayout) {
  configure(0x1800, 0x185, 1, {mapEntry(0x1001, 0, 8), mapEntry(0x60A1, 0, 16)});
  h.node.property[prop::OVERTEMP] = 1;
  h.node.property[prop::HOMED] = 1;
  h.node.propertyTable.set32(prop::POSITION, 0x100);
  h.node.propertyTable.set32(prop::LOWER_LIMIT, 0);
  h.node.propertyTable.set32(prop::UPPER_LIMIT, 0x1000);  // scaled: 0x1000
  const auto sent = sync();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, 0x185u);
  ASSERT_EQ(sent[0].length, 3);
  EXPECT_EQ(sent[0].data[0], 0x09);
  EXPECT_EQ(sent[0].data[1], 0x00);
  EXPECT_EQ(sent[0].data[2], 0x10);
}

TEST_F(PdoTest, AllRpdosOfASyncBeforeAnyTpdo) {
  configure(0x1400, 0x205, 1, {mapEntry(0x6502, 0, 32)});
  configure(0x1800, 0x185, 1, {mapEntry(0x6502, 0, 32)});
  frame(0x205, {0x44, 0x33, 0x22, 0x11});
  row(0x6061, 0).value = 0x0402;
  const auto sent = sync();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].length, 4);
  EXPECT_EQ(sent[0].data[0], 0x44);  // the value applied by this SYNC, not the one before it
  EXPECT_EQ(sent[0].data[3], 0x11);
}

TEST_F(PdoTest, TpdoSendsNothingWithoutMappingOrWithAsyncType) {
  configure(0x1800, 0x185, 1, {});
  EXPECT_TRUE(syncs(3).empty());
  configure(0x1801, 0x285, 254, {mapEntry(0x1001, 0, 8)});
  configure(0x1802, 0x385, 255, {mapEntry(0x1001, 0, 8)});
  EXPECT_TRUE(syncs(3).empty());
}

TEST_F(PdoTest, RpdoCobIdWithBit31NeverMatches) {
  configure(0x1400, 0x205, 255, {mapEntry(0x6502, 0, 32)});
  ASSERT_EQ(write(0x1400, 1, 0x80000205), 0u);
  frame(0x205, {1, 0, 0, 0});
  EXPECT_EQ(value(0x6502, 0), 0u);
}

// A master configures TPDO 1 while a SYNC producer keeps running: nothing may be sent until the
// COB-ID is valid again, then the PDO on its standard identifier.
TEST_F(PdoTest, ConfigurationProcedureWithSyncsBetweenSteps) {
  // TPDO 1 first configured and running, type 1.
  configure(0x1800, 0x185, 1, {mapEntry(0x1001, 0, 8)});
  ASSERT_EQ(sync().size(), 1u);
  std::vector<CanFrame> during;
  const auto step = [&](uint16_t idx, uint8_t sub, uint32_t v) {
    ASSERT_EQ(write(idx, sub, v), 0u);
    for (const CanFrame& f : sync()) during.push_back(f);
  };
  step(0x1800, 1, 0x80000185);
  step(0x1800, 2, 1);
  step(0x1A00, 0, 0);
  step(0x1A00, 1, mapEntry(0x6502, 0, 32));
  step(0x1A00, 2, mapEntry(0x1001, 0, 8));
  step(0x1A00, 0, 2);
  EXPECT_EQ(during.size(), 0u);
  ASSERT_EQ(write(0x6502, 0, 0xCAFEF00D), 0u);
  ASSERT_EQ(write(0x1800, 1, 0x185), 0u);
  const auto sent = sync();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, 0x185u);  // standard identifier, no extended flag
  EXPECT_EQ(sent[0].length, 5);
  EXPECT_EQ(sent[0].data[0], 0x0D);
  EXPECT_EQ(sent[0].data[3], 0xCA);
}

TEST_F(PdoTest, DisabledTpdoKeepsItsSyncPhase) {
  configure(0x1800, 0x185, 3, {mapEntry(0x1001, 0, 8)});
  ASSERT_EQ(write(0x1800, 1, 0x80000185), 0u);
  EXPECT_TRUE(syncs(2).empty());
  ASSERT_EQ(write(0x1800, 1, 0x185), 0u);
  EXPECT_EQ(syncs(1).size(), 1u);  // the third SYNC since start
  EXPECT_TRUE(syncs(2).empty());
  EXPECT_EQ(syncs(1).size(), 1u);
}

TEST_F(PdoTest, CobIdBit29GivesAnExtendedFrameBit30IsIgnored) {
  configure(0x1800, 0x20012345, 1, {mapEntry(0x1001, 0, 8)});
  configure(0x1801, 0x40000285, 1, {mapEntry(0x1001, 0, 8)});
  const auto sent = sync();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].id, platform::LDD_CAN_MESSAGE_ID_EXT | 0x00012345u);
  EXPECT_EQ(sent[1].id, 0x285u);
}

TEST_F(PdoTest, MappingWritesAreValidated) {
  struct Case {
    uint16_t idx;
    uint8_t sub;
    uint32_t value;
    uint32_t abort;
  };
  for (const Case& c : {
           Case{0x1600, 1, mapEntry(0x1234, 0, 32), 0x06020000},  // no such object
           Case{0x1600, 1, mapEntry(0x3F00, 14, 32), 0x06020000},
           Case{0x1600, 1, mapEntry(0x60A1, 0, 16), 0x06040041},  // read-only into an RPDO
           Case{0x1A00, 1, mapEntry(0x60A0, 0, 16), 0x06040041},  // write-only into a TPDO
           Case{0x1600, 1, mapEntry(0x1010, 1, 32), 0x06040041},  // "save" is not mappable
           Case{0x1A00, 1, mapEntry(0x1600, 1, 32), 0x06040041},  // nor the PDO parameters
           Case{0x1600, 1, mapEntry(0x6502, 0, 0), 0x06040041},   // zero length
           Case{0x1600, 1, mapEntry(0x6502, 0, 72), 0x06040042},  // beyond 8 bytes alone
           Case{0x1600, 0, 5, 0x06090031},
           Case{0x1A00, 0, 255, 0x06090031},
           Case{0x1600, 1, 0, 0},  // clearing an entry
           Case{0x1600, 1, mapEntry(0x6060, 0, 32), 0},
           Case{0x1A00, 1, mapEntry(0x3F00, 56, 32), 0},
       }) {
    EXPECT_EQ(write(c.idx, c.sub, c.value), c.abort) << std::hex << c.idx << " " << c.value;
  }
  // Counting entries that are missing or too long together.
  ASSERT_EQ(write(0x1601, 1, mapEntry(0x6502, 0, 32)), 0u);
  ASSERT_EQ(write(0x1601, 2, mapEntry(0x6060, 0, 32)), 0u);
  ASSERT_EQ(write(0x1601, 3, mapEntry(0x2401, 0, 16)), 0u);
  EXPECT_EQ(write(0x1601, 0, 3), 0x06040042u);
  EXPECT_EQ(write(0x1601, 0, 2), 0u);
  EXPECT_EQ(write(0x1601, 2, mapEntry(0x6060, 0, 40)), 0x06040042u);  // counted: too long now
  EXPECT_EQ(write(0x1601, 4, mapEntry(0x6502, 0, 8)), 0u);  // not counted: checked alone
}

TEST_F(PdoTest, RestoredMappingsAreSkippedEntryByEntry) {
  // Mappings as an unchecked EEPROM may hold them: count 255, missing objects, zero lengths,
  // read-only targets, entries beyond the frame. Only sound entries act.
  configure(0x1400, 0x205, 255, {mapEntry(0x6502, 0, 32)});
  auto& co = h.node.canopen;
  const int32_t m = co.parseFindEntry(0x1600, 0);
  co.co_data[m].value = 0xFF;                                // count above 4: 4 entries
  co.co_data[m + 1].value = mapEntry(0x1234, 0, 8);          // missing: its byte is skipped
  co.co_data[m + 2].value = mapEntry(0x2401, 0, 16);         // bytes 1..2
  co.co_data[m + 3].value = mapEntry(0x1000, 0, 0);          // read-only, zero length
  co.co_data[m + 4].value = mapEntry(0x6502, 0, 48);         // bits 24..71: beyond the frame
  frame(0x205, {0xAA, 0x22, 0x11, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
  EXPECT_EQ(h.node.property[prop::SAFE_POSITION], 0x1122);
  EXPECT_EQ(value(0x6502, 0), 0u);
  EXPECT_EQ(value(0x1000, 0), 0x402u);

  configure(0x1800, 0x185, 1, {});
  const int32_t t = co.parseFindEntry(0x1A00, 0);
  co.co_data[t].value = 0xFFFFFFFF;
  co.co_data[t + 1].value = mapEntry(0x60A0, 0, 16);  // write-only: skipped
  co.co_data[t + 2].value = mapEntry(0x6061, 0, 32);
  co.co_data[t + 3].value = mapEntry(0x6061, 0, 64);  // 112 bits: beyond the frame
  co.co_data[t + 4].value = mapEntry(0x1001, 0, 8);
  row(0x6061, 0).value = 0x0402;
  const auto sent = sync();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].length, 4);
  EXPECT_EQ(sent[0].data[0], 0x02);
  EXPECT_EQ(sent[0].data[1], 0x04);
}

}  // namespace
}  // namespace tavrix
