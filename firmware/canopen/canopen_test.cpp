#include "firmware/canopen/canopen.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include "firmware/canopen/testing/canopen_harness.hpp"

namespace tavrix {
namespace {

using testing::CanFrame;
using testing::CanOpenHarness;
using testing::dataFrame;
using testing::kNoAnswer;
using testing::kNode;

class CanOpenTest : public ::testing::Test, public CanOpenHarness {
 protected:
  void SetUp() override { storeImage(); }
};

// --- The dictionary as data ---

TEST(ObjectDictionary, RowsAreUniqueAndThePdoObjectsAreContiguous) {
  std::set<std::pair<uint16_t, uint8_t>> seen;
  for (int i = 0; i < canopen::kRowCount; ++i) {
    const canopen::OdRow& r = canopen::kObjectDictionary[i];
    EXPECT_NE(r.idx, 0) << "row " << i;
    EXPECT_TRUE(seen.insert({r.idx, r.subIdx}).second) << std::hex << r.idx << " " << int(r.subIdx);
  }
  for (uint16_t base : {0x1400, 0x1600, 0x1800, 0x1A00}) {
    for (uint16_t n = 0; n < 4; ++n) {
      CanOpenHarness c;
      const int32_t row0 = c.h.node.canopen.parseFindEntry(base + n, 0);
      const uint8_t last = (base == 0x1600 || base == 0x1A00) ? 4 : 2;
      for (uint8_t s = 1; s <= last; ++s) {
        EXPECT_EQ(c.h.node.canopen.parseFindEntry(base + n, s), row0 + s) << std::hex << base + n;
      }
    }
  }
  // 0x3F00 has 111 link rows; the upper halves of the pairs and 14..16 have none.
  int links = 0;
  for (const auto& r : canopen::kObjectDictionary) links += r.idx == 0x3F00 ? 1 : 0;
  EXPECT_EQ(links, 111);
  CanOpenHarness c;
  for (int missing : {14, 15, 16, 49, 51, 53, 55, 57, 59, 67, 69, 75, 89, 95, 97, 99}) {
    EXPECT_LT(c.h.node.canopen.parseFindEntry(0x3F00, static_cast<uint8_t>(missing)), 0) << missing;
  }
  EXPECT_EQ(c.h.node.canopen.co_data[canopen::kRowCount].idx, 0);  // the terminator
}

// The persistent rows in EEPROM order, byte for byte: the address of every object's slot.
TEST(ObjectDictionary, PersistentLayout) {
  const std::map<std::pair<uint16_t, uint8_t>, uint16_t> expected = {
      {{0x1005, 0}, 0x100}, {{0x1006, 0}, 0x104}, {{0x1009, 0}, 0x108}, {{0x1014, 0}, 0x10C},
      {{0x1015, 0}, 0x110}, {{0x1017, 0}, 0x114}, {{0x1018, 3}, 0x118}, {{0x1018, 6}, 0x124},
      {{0x1200, 1}, 0x128}, {{0x1200, 2}, 0x12C}, {{0x1400, 1}, 0x130}, {{0x1400, 2}, 0x134},
      {{0x1403, 2}, 0x14C}, {{0x1600, 0}, 0x150}, {{0x1600, 4}, 0x160}, {{0x1603, 4}, 0x19C},
      {{0x1800, 1}, 0x1A0}, {{0x1800, 5}, 0x1AC}, {{0x1803, 5}, 0x1DC}, {{0x1A00, 0}, 0x1E0},
      {{0x1A03, 4}, 0x22C}, {{0x6403, 0}, 0x230}, {{0x6404, 0}, 0x234}, {{0x6502, 0}, 0x238},
      {{0x1F80, 0}, 0x23C}};
  std::map<std::pair<uint16_t, uint8_t>, uint16_t> actual;
  int k = 0;
  for (const auto& r : canopen::kObjectDictionary) {
    if (canopen::isPersistent(r)) actual[{r.idx, r.subIdx}] = static_cast<uint16_t>(0x100 + 4 * k++);
  }
  EXPECT_EQ(k, 80);
  for (const auto& [key, address] : expected) {
    ASSERT_TRUE(actual.count(key)) << std::hex << key.first << " sub " << int(key.second);
    EXPECT_EQ(actual[key], address) << std::hex << key.first << " sub " << int(key.second);
  }
}

// --- Save, restore and the dictionary-linked property save ---

TEST_F(CanOpenTest, SaveWritesEveryPersistentRowAndRestoreReadsThemBack) {
  start();
  // A distinct value in every persistent row (most cannot be written by SDO).
  auto& co = h.node.canopen;
  int k = 0;
  for (int i = 0; i < canopen::kRowCount; ++i) {
    if (co.co_data[i].bits & canopen::BITS_PERSISTENT) {
      co.co_data[i].value = 0xA5000000u + 0x101u * k++;
    }
  }
  const std::vector<uint8_t> before = h.fake.eeprom.mem;
  EXPECT_EQ(write(0x1010, 1, 0x12345678), 0u);  // wrong signature: acknowledged, nothing stored
  EXPECT_EQ(h.fake.eeprom.mem, before);

  const auto replies = sdo(0x23, 0x1010, 1, CanOpen::kSaveSignature, 8);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].data[0], 0x60);
  EXPECT_EQ(CanOpenHarness::payload(replies[0]), 1u);  // the row keeps its value 1
  for (int n = 0; n < 80; ++n) {
    EXPECT_EQ(get32(static_cast<uint16_t>(0x100 + 4 * n)), 0xA5000000u + 0x101u * n) << n;
  }
  // Nothing outside 0x100 .. 0x23F changed.
  for (size_t a = 0; a < before.size(); ++a) {
    if (a < 0x100 || a >= 0x240) {
      ASSERT_EQ(h.fake.eeprom.mem[a], before[a]) << a;
    }
  }

  // A fresh node on the same memory restores the rows; the node-dependent ones are derived.
  CanOpenHarness other;
  other.h.fake.eeprom.mem = h.fake.eeprom.mem;
  other.h.node.canopen.parseInitCO();
  int m = 0;
  for (int i = 0; i < canopen::kRowCount; ++i) {
    const co_data_struct& r = other.h.node.canopen.co_data[i];
    if (!(r.bits & canopen::BITS_PERSISTENT)) continue;
    const uint32_t stored = 0xA5000000u + 0x101u * m++;
    if (r.idx == 0x1014) {
      EXPECT_EQ(r.value, 0x85u);
    } else if (r.idx == 0x1200) {
      EXPECT_EQ(r.value, r.subIdx == 1 ? 0x605u : 0x585u);
    } else {
      EXPECT_EQ(r.value, stored) << std::hex << r.idx << " sub " << int(r.subIdx);
    }
  }
}

TEST_F(CanOpenTest, SavedWritesSurviveARestart) {
  start();
  EXPECT_EQ(write(0x1017, 0, 750), 0u);
  EXPECT_EQ(write(0x6404, 0, 0x4142434Du), 0u);
  EXPECT_EQ(write(0x1010, 1, CanOpen::kSaveSignature), 0u);
  EXPECT_EQ(write(0x6502, 0, 77), 0u);  // after the save: lost on restart

  CanOpenHarness again;
  again.h.fake.eeprom.mem = h.fake.eeprom.mem;
  again.start();
  EXPECT_EQ(again.read(0x1017, 0), 750u);
  EXPECT_EQ(again.read(0x6404, 0), 0x4142434Du);
  EXPECT_EQ(again.read(0x6502, 0), 0u);
}

TEST_F(CanOpenTest, SavingMachineOrRoleAlsoFillsItsDictionarySlot) {
  h.node.property[prop::MACHINE] = -2;
  h.node.property[prop::ROLE] = 0x1234;
  // The property protocol's save command (property 9) of numbers 1 and 105.
  h.set16(prop::SAVE, prop::MACHINE);
  h.set16(prop::SAVE, prop::ROLE);
  EXPECT_EQ(get32(0x120), 0xFFFFFFFEu);  // 0x1018 sub 5, sign-extended
  EXPECT_EQ(get32(0x124), 0x00001234u);  // 0x1018 sub 6
  EXPECT_EQ(h.fake.eeprom.get16(2 * prop::MACHINE), 0xFFFE);
  EXPECT_EQ(row(0x1018, 5).value, 0xFFFFFFFEu);
}

// --- Accessors ---

TEST_F(CanOpenTest, ReadsOfFixedObjects) {
  start();
  const auto replies = sdo(0x40, 0x1008, 0, 0, 8);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].data[0], 0x42);
  EXPECT_EQ(std::string(replies[0].data.begin() + 4, replies[0].data.end()), "Tavx");
  EXPECT_EQ(read(0x1000, 0), 0x402u);
  EXPECT_EQ(read(0x1018, 1), canopen::kVendorId);
  EXPECT_EQ(read(0x1018, 2), canopen::kProductCode);
  EXPECT_EQ(read(0x1014, 0), 0x85u);
  EXPECT_EQ(read(0x1200, 1), 0x605u);
  EXPECT_EQ(read(0x1200, 2), 0x585u);
  EXPECT_EQ(read(0x2383, 0), 34u);
}

TEST_F(CanOpenTest, PropertyBackedReadsSignOrZeroExtend) {
  start();
  EXPECT_EQ(write(0x2401, 0, 0xFFFF), 0u);
  EXPECT_EQ(h.node.property[prop::SAFE_POSITION], -1);
  EXPECT_EQ(read(0x2401, 0), 0x0000FFFFu);  // zero-extended
  EXPECT_EQ(write(0x1018, 6, 0xFFFF), 0u);
  EXPECT_EQ(h.node.property[prop::ROLE], -1);
  EXPECT_EQ(read(0x1018, 6), 0xFFFFFFFFu);  // sign-extended
  h.node.property[prop::MACHINE] = -300;
  EXPECT_EQ(read(0x1018, 5), static_cast<uint32_t>(-300));
  h.node.property[prop::BUS_VOLTAGE] = -7;
  h.node.property[prop::TEMPERATURE] = 0x1900;
  EXPECT_EQ(read(0x2201, 0), 0xFFFFFFF9u);
  EXPECT_EQ(read(0x2202, 0), 0x1900u);
}

TEST_F(CanOpenTest, PropertyLinks) {
  start();
  h.node.propertyTable.set32(prop::UPPER_LIMIT, 0x12345678);
  h.node.propertyTable.set32(prop::POSITION, 0x0001FFFF);
  h.node.property[prop::VELOCITY_LIMIT] = -2;
  EXPECT_EQ(read(0x3F00, 56), 0x12345678u);  // the whole pair
  EXPECT_EQ(read(0x3F00, 48), 0xFFFFFFFFu);  // property 48 alone, sign-extended
  EXPECT_EQ(read(0x3F00, 45), 0xFFFFFFFEu);
  EXPECT_EQ(read(0x3F00, 3), uint32_t{kNode});
  bool aborted = false;
  EXPECT_EQ(read(0x3F00, 57, &aborted), 0x06020000u);
  EXPECT_TRUE(aborted);
  // Writes are acknowledged and change nothing.
  EXPECT_EQ(write(0x3F00, 45, 100), 0u);
  EXPECT_EQ(h.node.property[prop::VELOCITY_LIMIT], -2);
}

TEST_F(CanOpenTest, ErrorRegister) {
  start();
  EXPECT_EQ(read(0x1001, 0), 0u);
  h.node.property[prop::OVERTEMP] = 1;
  EXPECT_EQ(read(0x1001, 0), 0x09u);  // temperature + generic
  // The motor's over-current fault: its foldback counter has run out.
  h.node.drive.isInitialized = 1;
  h.node.drive.overCurrentCounter = 0;
  EXPECT_EQ(read(0x1001, 0), 0x0Bu);
  h.node.property[prop::OVERTEMP] = 0;
  EXPECT_EQ(read(0x1001, 0), 0x03u);  // current + generic
  h.node.drive.overCurrentCounter = 5;
  EXPECT_EQ(read(0x1001, 0), 0u);
}

TEST_F(CanOpenTest, ScaledPosition) {
  start();
  auto& t = h.node.propertyTable;
  t.set32(prop::POSITION, 2048);
  t.set32(prop::LOWER_LIMIT, 0);
  t.set32(prop::UPPER_LIMIT, 4096);
  EXPECT_EQ(read(0x60A1, 0), 0u);  // not homed
  h.node.property[prop::HOMED] = 1;
  struct Case {
    int32_t pos, lower, upper;
    uint32_t expected;
  };
  for (const Case& c : {Case{2048, 0, 4096, 32768}, Case{100, 7, 7, 65535}, Case{-5, 0, 4096, 0},
                        Case{5000, 0, 4096, 65535}, Case{1000, 1000, 3000, 32768},
                        Case{0x7FFFFFFF, -0x7FFFFFFF, 0x7FFFFFFF, 32768}}) {  // span wraps to -2; low 32 bits
    t.set32(prop::POSITION, c.pos);
    t.set32(prop::LOWER_LIMIT, c.lower);
    t.set32(prop::UPPER_LIMIT, c.upper);
    EXPECT_EQ(read(0x60A1, 0), c.expected) << c.pos << " " << c.lower << " " << c.upper;
  }
  bool aborted = false;
  EXPECT_EQ(read(0x60A0, 0, &aborted), 0x06010001u);  // write-only
  EXPECT_TRUE(aborted);
  EXPECT_EQ(write(0x60A0, 0, 100), 0u);  // acknowledged whether or not a move starts
}

TEST_F(CanOpenTest, ModeOfOperationSelectsTheMotorMode) {
  start();
  struct Case {
    uint32_t value;
    int16_t mode;
  };
  // 6 schedules homing first (checked below); 0 before each case so every write is a change.
  for (const Case& c : {Case{1, MODE_POSITION}, Case{0, MODE_IDLE}, Case{7, MODE_IDLE},
                        Case{0xFFFFFFFF, MODE_IDLE}, Case{5, MODE_IDLE}}) {
    EXPECT_EQ(write(0x6060, 0, c.value), 0u);
    EXPECT_EQ(read(0x6060, 0), c.value);  // the written value, not the mode
    EXPECT_EQ(h.node.property[prop::MODE], c.mode) << c.value;
  }
  EXPECT_EQ(write(0x6060, 0, 6), 0u);
  EXPECT_EQ(h.node.property[prop::MODE], MODE_POSITION);
  bool homing = false;
  for (const auto& t : h.node.timers.timers) {
    homing |= t.state == Timers::kCounting && t.f == callbacks::motorHome && t.end == 1;
  }
  EXPECT_TRUE(homing);
  EXPECT_EQ(read(0x6061, 0), 0u);  // display is not updated
}

// --- SDO ---

TEST_F(CanOpenTest, SdoAbortCodes) {
  start();
  struct Case {
    uint8_t cs;
    uint16_t idx;
    uint8_t sub;
    uint8_t length;
    uint32_t abort;  // 0: acknowledged
  };
  for (const Case& c : {
           Case{0x2F, 0x1400, 2, 5, 0},           // one byte, exact length
           Case{0x23, 0x1400, 2, 8, 0x05040002},  // the usual 8 bytes on a one-byte object
           Case{0x2B, 0x1017, 0, 6, 0},
           Case{0x2B, 0x1017, 0, 8, 0x05040002},
           Case{0x22, 0x1017, 0, 5, 0x05040002},
           Case{0x23, 0x1005, 0, 8, 0},
           Case{0x22, 0x1005, 0, 8, 0},  // size bits are ignored
           Case{0x27, 0x1005, 0, 8, 0},
           Case{0x23, 0x1005, 0, 6, 0x05040002},
           Case{0x21, 0x1005, 0, 8, 0x05040001},  // segmented
           Case{0x60, 0x1005, 0, 8, 0x05040001},
           Case{0x41, 0x1005, 0, 8, 0x05040001},
           Case{0xA0, 0x1005, 0, 8, 0x05040001},  // block
           Case{0x23, 0x1000, 0, 8, 0x06010002},  // read-only
           Case{0x23, 0x1234, 0, 8, 0x06020000},
           Case{0x40, 0x1234, 0, 8, 0x06020000},
           Case{0x40, 0x1018, 7, 8, 0x06020000},
       }) {
    const auto replies = sdo(c.cs, c.idx, c.sub, 0x80, c.length);
    ASSERT_EQ(replies.size(), 1u);
    const CanFrame& r = replies[0];
    EXPECT_EQ(r.id, 0x585u);
    EXPECT_EQ(r.length, 8);
    EXPECT_EQ(r.data[1], c.idx & 0xFF);
    EXPECT_EQ(r.data[2], c.idx >> 8);
    EXPECT_EQ(r.data[3], c.sub);
    const uint8_t expectCs = c.abort != 0 ? 0x80 : (c.cs == 0x40 ? 0x42 : 0x60);
    EXPECT_EQ(r.data[0], expectCs) << std::hex << int(c.cs) << " " << c.idx;
    if (c.abort != 0) {
      EXPECT_EQ(CanOpenHarness::payload(r), c.abort) << std::hex << c.idx;
    }
  }
}

TEST_F(CanOpenTest, DownloadEchoesTheStoredValueAndUploadAnswersFourBytes) {
  start();
  const auto w = sdo(0x2F, 0x1800, 2, 0xFFFFFF07, 5);  // only byte 4 is taken
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(CanOpenHarness::payload(w[0]), 7u);
  row(0x1800, 2).value = 0xAABBCC07;  // a one-byte row holding more, as restored from EEPROM
  const auto r = sdo(0x40, 0x1800, 2, 0, 8);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].data[0], 0x42);
  EXPECT_EQ(CanOpenHarness::payload(r[0]), 0xAABBCC07u);
}

TEST_F(CanOpenTest, ClientAbortGetsNoAnswer) {
  start();
  EXPECT_TRUE(sdo(0x80, 0x1000, 0, 0x08000000, 8).empty());
  EXPECT_EQ(read(0x1000, 0), 0x402u);  // and the next request is answered as its own
}

// --- NMT and frame classification ---

TEST_F(CanOpenTest, StartSendsOneHeartbeatAndNoBootUp) {
  const auto sent = start({0x80, 0x00});
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, 0x705u);
  EXPECT_EQ(sent[0].length, 1);
  EXPECT_EQ(sent[0].data[0], 5);  // operational by 0x1F80 = 0; the NMT comes after
  EXPECT_EQ(h.node.canopen.m_co_state, CO_STATE_PREOPERATIONAL);
}

TEST_F(CanOpenTest, NmtStartUpObjectSelectsPreOperational) {
  put32(0x23C, 1);
  const auto sent = h.handle(dataFrame(0x123, {0, 0}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data[0], 127);
}

TEST_F(CanOpenTest, NmtAddressing) {
  start();
  struct Case {
    uint8_t cmd, target, length;
    uint8_t state;
  };
  // Each case starts from operational.
  for (const Case& c : {Case{0x02, 0, 2, 4}, Case{0x02, kNode, 2, 4}, Case{0x02, 6, 2, 5},
                        Case{0x80, 0, 2, 127}, Case{0x80, kNode, 2, 127}, Case{0x02, 0, 3, 5},
                        Case{0x02, 0, 1, 5}, Case{0x03, 0, 2, 5}}) {
    h.node.canopen.m_co_state = CO_STATE_OPERATIONAL;
    CanFrame f = dataFrame(0x000, {c.cmd, c.target, 0});
    f.length = c.length;
    EXPECT_TRUE(h.handle(f).empty());  // state changes send nothing
    EXPECT_EQ(h.node.canopen.m_co_state, c.state) << int(c.cmd) << " " << int(c.target);
  }
  h.node.canopen.m_co_state = CO_STATE_STOPPED;
  nmt(0x01, 0);
  EXPECT_EQ(h.node.canopen.m_co_state, CO_STATE_OPERATIONAL);
}

TEST_F(CanOpenTest, StateDecidesWhatIsHandled) {
  start();
  // TPDO 1 on every SYNC, so a SYNC shows whether it was handled.
  ASSERT_EQ(write(0x1A00, 1, 0x10010008), 0u);
  ASSERT_EQ(write(0x1A00, 0, 1), 0u);
  ASSERT_EQ(write(0x1800, 2, 1), 0u);
  ASSERT_EQ(write(0x1800, 1, 0x185), 0u);
  EXPECT_EQ(sync().size(), 1u);

  nmt(0x80, 0);  // pre-operational: SDO yes, SYNC no
  EXPECT_TRUE(sync().empty());
  EXPECT_EQ(read(0x1000, 0), 0x402u);

  nmt(0x02, kNode);  // stopped: only NMT
  EXPECT_TRUE(sync().empty());
  EXPECT_TRUE(sdo(0x40, 0x1000, 0, 0, 8).empty());

  nmt(0x01, 0);
  EXPECT_EQ(sync().size(), 1u);
  // Extended and remote frames are no CANopen frames of this node.
  CanFrame ext = dataFrame(platform::LDD_CAN_MESSAGE_ID_EXT | 0x080, {});
  EXPECT_TRUE(h.handle(ext).empty());
  CanFrame extNmt = dataFrame(platform::LDD_CAN_MESSAGE_ID_EXT | 0x000, {0x02, 0});
  h.handle(extNmt);
  EXPECT_EQ(h.node.canopen.m_co_state, CO_STATE_OPERATIONAL);
  CanFrame remote = dataFrame(0x605, {});
  remote.type = platform::LDD_CAN_REMOTE_FRAME;
  remote.length = 8;
  EXPECT_TRUE(h.handle(remote).empty());
  // TIME and other nodes' heartbeats are ignored.
  EXPECT_TRUE(frame(0x100, {1, 2, 3, 4, 5, 6}).empty());
  EXPECT_TRUE(frame(0x706, {5}).empty());
}

TEST_F(CanOpenTest, ResetCommunicationReinstallsTheReceiveConfiguration) {
  start();
  h.fake.log.clear();
  EXPECT_TRUE(nmt(0x82, kNode).empty());
  EXPECT_TRUE(h.fake.logHasInOrder({"CAN2_Init", "CAN2_Disable", "CAN2_SetAcceptanceMask 1 0x1FC0000",
                                    "CAN2_Enable"}))
      << ::testing::PrintToString(h.fake.log);
  EXPECT_EQ(h.fake.can.mask, CommRing::kCanOpenAcceptanceMask);
  EXPECT_EQ(h.fake.can.rxIds[1], uint32_t{kNode});
  EXPECT_EQ(h.fake.can.rxIds[2], 0x400u);
  EXPECT_EQ(h.fake.can.rxIds[3], 0x401u);
  EXPECT_EQ(h.fake.can.rxIds[4], 0x000u);
  EXPECT_TRUE(h.fake.can.enabled);
  EXPECT_EQ(h.node.canopen.m_co_state, CO_STATE_OPERATIONAL);
  EXPECT_EQ(read(0x1000, 0), 0x402u);  // still served
}

TEST_F(CanOpenTest, ResetNodeRestartsTheSystem) {
  start();
  EXPECT_EXIT(nmt(0x81, 0), ::testing::ExitedWithCode(testing::kResetExitCode), "");
}

// --- Heartbeat ---

// Heartbeats sent during `ticks` ticks of the main loop.
int beats(CanOpenHarness& c, int ticks) {
  const size_t before = c.h.fake.can.sent.size();
  c.h.run(ticks);
  int n = 0;
  for (size_t i = before; i < c.h.fake.can.sent.size(); ++i) n += c.h.fake.can.sent[i].id == 0x705;
  return n;
}

TEST_F(CanOpenTest, HeartbeatPeriods) {
  struct Case {
    uint32_t period;
    int beatsIn10000;  // after the one at start
  };
  for (const Case& c : {Case{1000, 9}, Case{2000, 4}, Case{0, 0}, Case{32767, 0}, Case{32768, 0},
                        Case{0xFFFF, 0}, Case{0x00010000, 0}}) {
    CanOpenHarness n;
    n.storeImage();
    n.put32(0x114, c.period);
    ASSERT_EQ(n.start().size(), 1u);
    EXPECT_EQ(beats(n, 10000), c.beatsIn10000) << c.period;
  }
}

TEST_F(CanOpenTest, HeartbeatOfSignedPeriodStopsAfterTheNextBeat) {
  start();
  EXPECT_EQ(write(0x1017, 0, 40000), 0u);
  EXPECT_EQ(read(0x1017, 0), 40000u);  // stored and read back as written
  EXPECT_EQ(beats(*this, 2001), 1);    // the beat already scheduled
  EXPECT_EQ(beats(*this, 90000), 0);
  EXPECT_EQ(write(0x1017, 0, 100), 0u);
  EXPECT_EQ(beats(*this, 1000), 0);  // a valid period does not restart it
}

TEST_F(CanOpenTest, HeartbeatCarriesTheState) {
  put32(0x114, 100);
  start();
  h.run(101);
  ASSERT_EQ(h.fake.can.sent.back().data[0], 5);
  nmt(0x02, 0);
  h.run(101);
  EXPECT_EQ(h.fake.can.sent.back().id, 0x705u);
  EXPECT_EQ(h.fake.can.sent.back().data[0], 4);
}

TEST_F(CanOpenTest, BlankMemoryStartsPreOperationalAndHarmless) {
  CanOpenHarness blank;  // every persistent row restores as 0xFFFFFFFF
  const auto sent = blank.start({0x00, 0x00});
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data[0], 127);
  blank.nmt(0x01, 0);
  EXPECT_TRUE(blank.sync().empty());
  EXPECT_TRUE(blank.frame(0x205, {1, 2, 3, 4, 5, 6, 7, 8}).empty());
  EXPECT_EQ(beats(blank, 5000), 0);
  EXPECT_EQ(blank.read(0x1600, 0), 0xFFFFFFFFu);
}

TEST(CanOpenTick, AdvancesOnlyArmedTimers) {
  CanOpenHarness c;
  auto& t = c.h.node.canopen.timer;
  t[1].state = 1;
  t[1].val = 2;
  for (int i = 0; i < 3; ++i) c.h.node.canopen.timerInt_CO();
  EXPECT_EQ(t[1].count, 2u);
  EXPECT_EQ(t[1].state, 2);
  EXPECT_EQ(t[0].count, 0u);
  EXPECT_EQ(t[0].state, 0);
}

}  // namespace
}  // namespace tavrix
