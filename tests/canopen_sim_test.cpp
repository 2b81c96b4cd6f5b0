// The CANopen slave on the digital twin: the simulated CAN controller's real receive filters,
// the serial EEPROM with its pages and write cycles, system resets, frames on the bus.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "firmware/canopen/object_dictionary.hpp"
#include "firmware/motor/motor.hpp"
#include "firmware/properties/property_table.hpp"
#include "sim/bus/can_message.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix {
namespace {

using sim::CanMessage;
using sim::fromMillis;

constexpr uint8_t kNode = 5;

CanMessage frame(uint32_t id, std::vector<uint8_t> bytes, bool extended = false) {
  CanMessage m;
  m.id = id;
  m.extended = extended;
  m.length = static_cast<uint8_t>(bytes.size());
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) m.data[i] = bytes[i];
  return m;
}

// One factory-set node whose dictionary store holds the image values (as after a first "save"),
// so it starts operational with SYNC on 0x80.
class CanOpenTwin {
 public:
  CanOpenTwin() {
    std::string error;
    defaults_ = *tools::shippedFactoryDefaults(&error);
    board_ = std::make_unique<tools::NodeBoard>(std::make_unique<sim::SerialEeprom>(
        sim::SerialEepromConfig{}));
    board_->writeFactorySetIfBlank(defaults_, kNode);
    std::vector<uint8_t> store;
    for (const canopen::OdRow& r : canopen::kObjectDictionary) {
      if (r.idx == 0 || !canopen::isPersistent(r)) continue;
      for (int b = 0; b < 4; ++b) store.push_back(static_cast<uint8_t>(r.initial >> (8 * b)));
    }
    board_->eeprom->preload(canopen::kStoreAddress, store);
    simNode_ = &board_->attach(world_, "node5");
    host_ = &world_.addHostEndpoint();
    world_.runFor(fromMillis(5));
  }

  std::vector<CanMessage> exchange(const CanMessage& m, int ms = 2) {
    host_->clearReceived();
    host_->send(m);
    world_.runFor(fromMillis(ms));
    std::vector<CanMessage> out;
    for (const auto& f : host_->received()) out.push_back(f.message);
    return out;
  }
  std::vector<CanMessage> nmt(uint8_t command, uint8_t node = kNode) {
    return exchange(frame(0x000, {command, node}));
  }
  // Expedited download of `length` bytes in all (4 + the object's size); true when acknowledged.
  bool download(uint16_t idx, uint8_t sub, uint32_t v, uint8_t length, int ms = 2) {
    std::vector<uint8_t> d = {0x22, static_cast<uint8_t>(idx), static_cast<uint8_t>(idx >> 8), sub};
    for (int b = 0; b < length - 4; ++b) d.push_back(static_cast<uint8_t>(v >> (8 * b)));
    const auto r = exchange(frame(0x600 + kNode, d), ms);
    return r.size() == 1 && r[0].id == 0x580u + kNode && r[0].data[0] == 0x60;
  }
  // Upload: the value, or -1 when there is no single upload answer.
  int64_t upload(uint16_t idx, uint8_t sub) {
    const auto r = exchange(frame(0x600 + kNode, {0x40, static_cast<uint8_t>(idx),
                                                   static_cast<uint8_t>(idx >> 8), sub, 0, 0, 0, 0}));
    if (r.size() != 1 || r[0].id != 0x580u + kNode || r[0].data[0] != 0x42) return -1;
    return static_cast<int64_t>(r[0].data[4] | r[0].data[5] << 8 | r[0].data[6] << 16 |
                                static_cast<uint32_t>(r[0].data[7]) << 24);
  }

  void run(int ms) { world_.runFor(fromMillis(ms)); }
  sim::SimNode& simNode() { return *simNode_; }
  Node& node() { return board_->slot.node(); }

 private:
  tools::FactoryDefaults defaults_;
  std::unique_ptr<tools::NodeBoard> board_;
  sim::World world_;
  sim::SimNode* simNode_ = nullptr;
  sim::HostEndpoint* host_ = nullptr;
};

TEST(CanOpenOnTwin, StartsFromTheStoreAndServesSdo) {
  CanOpenTwin twin;
  const auto started = twin.nmt(0x80, 0);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].id, 0x705u);
  EXPECT_EQ(started[0].data[0], 5);  // 0x1F80 = 0: operational, before the NMT is handled
  EXPECT_EQ(twin.upload(0x1000, 0), 0x402);
  EXPECT_EQ(twin.upload(0x1018, 1), canopen::kVendorId);
}

// After reset communication the controller comes back with its reset filters; the node must
// still hear NMT commands and SDO requests.
TEST(CanOpenOnTwin, ResetCommunicationKeepsTheNodeReachable) {
  CanOpenTwin twin;
  twin.nmt(0x01);
  EXPECT_TRUE(twin.nmt(0x82).empty());
  EXPECT_EQ(twin.upload(0x1000, 0), 0x402);
  twin.nmt(0x02, 0);  // stop: SDO goes unanswered
  EXPECT_EQ(twin.upload(0x1000, 0), -1);
  twin.nmt(0x01, kNode);
  EXPECT_EQ(twin.upload(0x1000, 0), 0x402);
  EXPECT_EQ(twin.node().canopen.m_co_state, CO_STATE_OPERATIONAL);
}

TEST(CanOpenOnTwin, SaveResetNodeRestores) {
  CanOpenTwin twin;
  twin.nmt(0x01);
  ASSERT_TRUE(twin.download(0x1017, 0, 1500, 6));
  ASSERT_TRUE(twin.download(0x6502, 0, 0xA1B2C3D4, 8));
  ASSERT_TRUE(twin.download(0x1010, 1, 0x65766173, 8, 200));  // 20 page writes
  ASSERT_TRUE(twin.download(0x6502, 0, 7, 8));                // not saved
  twin.nmt(0x81);
  EXPECT_EQ(twin.simNode().resetCount(), 1u);
  twin.nmt(0x01);  // switches again after the restart
  EXPECT_EQ(twin.upload(0x1017, 0), 1500);
  EXPECT_EQ(twin.upload(0x6502, 0), 0xA1B2C3D4);
}

// A TPDO configured by the CiA 301 procedure while SYNCs keep coming: nothing until the COB-ID
// is valid, then standard frames; a 29-bit COB-ID gives extended frames on the bus.
TEST(CanOpenOnTwin, TpdoOnSyncStandardAndExtended) {
  CanOpenTwin twin;
  twin.nmt(0x01);
  std::vector<CanMessage> during;
  const auto step = [&](uint16_t idx, uint8_t sub, uint32_t v, uint8_t length) {
    ASSERT_TRUE(twin.download(idx, sub, v, length)) << std::hex << idx;
    for (const auto& f : twin.exchange(frame(0x080, {}))) during.push_back(f);
  };
  step(0x1800, 1, 0x80000185, 8);
  step(0x1800, 2, 1, 5);
  step(0x1A00, 0, 0, 5);
  step(0x1A00, 1, 0x10010008, 8);
  step(0x1A00, 2, 0x22020010, 8);
  step(0x1A00, 0, 2, 5);
  EXPECT_TRUE(during.empty());
  ASSERT_TRUE(twin.download(0x1800, 1, 0x185, 8));
  auto sent = twin.exchange(frame(0x080, {}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, 0x185u);
  EXPECT_FALSE(sent[0].extended);
  EXPECT_EQ(sent[0].length, 3);

  ASSERT_TRUE(twin.download(0x1800, 1, 0x20000185, 8));
  sent = twin.exchange(frame(0x080, {}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].extended);
  EXPECT_EQ(sent[0].id, 0x185u);
}


// The motor driven through the dictionary: homing by 0x6060 = 6, then a scaled move by 0x60A0,
// followed through 0x60A1; the error register stays clear.
TEST(CanOpenOnTwin, HomingAndScaledMoveThroughTheDictionary) {
  CanOpenTwin twin;
  twin.nmt(0x01);
  EXPECT_EQ(twin.upload(0x60A1, 0), 0);  // not homed yet
  ASSERT_TRUE(twin.download(0x6060, 0, 6, 8));
  Node& node = twin.node();
  for (int i = 0; i < 300 && node.property[prop::HOMED] != 1; ++i) twin.run(100);
  ASSERT_EQ(node.property[prop::HOMED], 1);
  EXPECT_EQ(node.property[prop::MODE], MODE_POSITION);
  ASSERT_TRUE(twin.download(0x60A0, 0, 0x8000, 6));
  int64_t scaled = -1;
  for (int i = 0; i < 100; ++i) {
    twin.run(100);
    scaled = twin.upload(0x60A1, 0);
    if (scaled > 0x8000 - 200 && scaled < 0x8000 + 200) break;
  }
  EXPECT_NEAR(static_cast<double>(scaled), 32768.0, 200.0);
  EXPECT_EQ(twin.upload(0x1001, 0), 0);
}

}  // namespace
}  // namespace tavrix
