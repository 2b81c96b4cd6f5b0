// The node firmware on the digital twin, observed from inside: the chip's registers, the
// node's own diagnostics and the bus, for what the candump output alone cannot show.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "firmware/properties/property_table.hpp"
#include "sim/bus/can_message.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix {
namespace {

using sim::CanMessage;
using sim::fromMillis;
using tools::NodeBoard;

CanMessage frame(uint32_t id, std::vector<uint8_t> bytes, bool extended = false) {
  CanMessage m;
  m.id = id;
  m.extended = extended;
  m.length = static_cast<uint8_t>(bytes.size());
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) m.data[i] = bytes[i];
  return m;
}

// One world with factory-set nodes and a host.
class Twin {
 public:
  explicit Twin(std::vector<int> nodes, sim::SerialEepromConfig eeprom = {}) {
    std::string error;
    defaults_ = *tools::shippedFactoryDefaults(&error);
    for (int n : nodes) {
      boards_.push_back(std::make_unique<NodeBoard>(std::make_unique<sim::SerialEeprom>(eeprom)));
      boards_.back()->writeFactorySetIfBlank(defaults_, n);
      simNodes_.push_back(&boards_.back()->attach(world_, "node" + std::to_string(n)));
    }
    host_ = &world_.addHostEndpoint();
    world_.runFor(fromMillis(5));  // start-up
  }

  // Sends `m`, runs `ms`, returns what the host received meanwhile.
  std::vector<CanMessage> exchange(const CanMessage& m, int ms = 2) {
    host_->clearReceived();
    host_->send(m);
    world_.runFor(fromMillis(ms));
    std::vector<CanMessage> out;
    for (const auto& f : host_->received()) out.push_back(f.message);
    return out;
  }

  Node& node(size_t i) { return boards_[i]->slot.node(); }
  NodeBoard& board(size_t i) { return *boards_[i]; }
  sim::SimNode& simNode(size_t i) { return *simNodes_[i]; }
  sim::World& world() { return world_; }
  sim::HostEndpoint& host() { return *host_; }

 private:
  tools::FactoryDefaults defaults_;
  std::vector<std::unique_ptr<NodeBoard>> boards_;
  sim::World world_;
  std::vector<sim::SimNode*> simNodes_;
  sim::HostEndpoint* host_ = nullptr;
};

TEST(NodeOnTwin, SwitchesToCanOpenOnTheFirstOtherTwoByteFrame) {
  Twin twin({5});
  Node& node = twin.node(0);
  ASSERT_EQ(twin.exchange(frame(0x005, {prop::MODE})).size(), 1u);
  EXPECT_EQ(twin.simNode(0).chip().can().acceptanceMask(), 0x107C0000u);

  // The slave starts with its first heartbeat, pre-operational: the dictionary's store in the
  // EEPROM is blank.
  const auto started = twin.exchange(frame(0x005, {0x01, 0x05}));
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].id, 0x705u);
  EXPECT_EQ(started[0].data[0], 127);
  EXPECT_EQ(node.ring.parseMode, 1);
  EXPECT_EQ(twin.simNode(0).chip().can().acceptanceMask(), 0x01FC0000u);
  EXPECT_TRUE(twin.simNode(0).chip().can().enabled());
  EXPECT_EQ(node.canopen.initCount, 1u);
  EXPECT_EQ(node.canopen.framesHandled, 1u);  // the frame that switched is the first one

  // Property requests now go to the CANopen slave and get no reply; with the mask on the low
  // seven bits, 0x605 (an SDO request to node 5) reaches the node and is answered.
  EXPECT_TRUE(twin.exchange(frame(0x005, {prop::MODE})).empty());
  const auto upload = twin.exchange(frame(0x605, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
  ASSERT_EQ(upload.size(), 1u);
  EXPECT_EQ(upload[0].id, 0x585u);
  EXPECT_EQ(upload[0].data[0], 0x42);
  EXPECT_EQ(upload[0].data[4], 0x02);  // device type 0x402
  EXPECT_EQ(upload[0].data[5], 0x04);
  EXPECT_TRUE(twin.exchange(frame(0x005, {0x5A, 0xA6})).empty());  // no reset in CANopen mode
  EXPECT_EQ(node.canopen.framesHandled, 4u);
  EXPECT_EQ(twin.simNode(0).resetCount(), 0u);
}

TEST(NodeOnTwin, ResetFrameRestartsFromTheEeprom) {
  Twin twin({5});
  // Node number 9 saved, then the reset frame at the present number restarts the node, which
  // comes back at 9.
  twin.exchange(frame(0x005, {0x83, 0x00, 9, 0}));
  twin.exchange(frame(0x009, {0x89, 0x00, prop::NODE_ID, 0}), 40);
  EXPECT_TRUE(twin.exchange(frame(0x009, {0x5A, 0xA6}), 10).empty());
  EXPECT_EQ(twin.simNode(0).resetCount(), 1u);
  const auto reply = twin.exchange(frame(0x009, {prop::NODE_ID}));
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].id, 0x400u | (9u << 5) | 6u);
  EXPECT_EQ(reply[0].data[2], 9);
}

TEST(NodeOnTwin, RemoteAndOddFramesAreHandledSafely) {
  Twin twin({5});
  // A remote frame carries no data: it reads as a get of property 0, answered as a data frame.
  CanMessage remote = frame(0x005, {});
  remote.remote = true;
  remote.length = 4;
  auto reply = twin.exchange(remote);
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_FALSE(reply[0].remote);
  EXPECT_EQ(reply[0].length, 4);
  EXPECT_EQ(reply[0].data[0], 0x80);
  EXPECT_EQ(reply[0].data[2] | reply[0].data[3] << 8, 4215);

  // Extended identifiers never reach the standard receive buffers.
  EXPECT_TRUE(twin.exchange(frame(0x005, {prop::MODE}, true)).empty());

  // A length code above 8 carries 8 bytes: the set acts on them and nothing beyond.
  CanMessage longSet = frame(0x005, {0x80 | prop::SAVED_26, 0, 0x34, 0x12, 0, 0, 0, 0});
  longSet.length = 13;
  EXPECT_TRUE(twin.exchange(longSet).empty());
  reply = twin.exchange(frame(0x005, {prop::SAVED_26}));
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].data[2] | reply[0].data[3] << 8, 0x1234);

  // A short set reads zeros, never the bytes of an earlier frame in the same slot.
  for (int i = 0; i < 8; ++i) twin.exchange(frame(0x005, {0x80 | prop::SAVED_26, 0, 0x77, 0x66}));
  twin.exchange(frame(0x005, {0x80 | prop::SAVED_26}));
  reply = twin.exchange(frame(0x005, {prop::SAVED_26}));
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].data[2] | reply[0].data[3] << 8, 0);
}

TEST(NodeOnTwin, FramesArrivingDuringALongCommandOverflowTheRingSafely) {
  // A fast write cycle keeps the 1024-byte EEPROM test short in simulated time.
  sim::SerialEepromConfig fast;
  fast.write_cycle_clk = sim::fromMicros(20);
  Twin twin({5}, fast);
  Node& node = twin.node(0);
  twin.host().send(frame(0x005, {0x80 | prop::ACTION, 0, 24, 0}));  // EEPROM test
  for (int i = 0; i < 12; ++i) twin.host().send(frame(0x005, {prop::FIRMWARE_ID}));
  twin.world().runFor(fromMillis(2));
  // The test's own frame left its slot when its handling began, and the test serves no frames
  // while it runs: all eight slots fill, the rest are dropped and counted.
  EXPECT_EQ(node.ring.droppedFrames(), 4u);
  twin.world().runFor(fromMillis(400));
  size_t replies = 0;
  for (const auto& f : twin.host().received()) replies += f.message.id == 0x4A6u;
  EXPECT_EQ(replies, 8u);
  EXPECT_EQ(node.property[prop::EEPROM_TEST], 0);  // the part passed its test
  EXPECT_EQ(node.ring.unreadFrames(), 0u);
}

TEST(NodeOnTwin, StuckEepromCostsTheWriteButNotTheNode) {
  Twin twin({5});
  twin.board(0).eeprom->setFault(sim::EepromFault::kStuckBusy);
  twin.exchange(frame(0x005, {0x80 | prop::SAVED_26, 0, 5, 0}));
  twin.exchange(frame(0x005, {0x89, 0, prop::SAVED_26, 0}), 100);  // save never completes
  const auto reply = twin.exchange(frame(0x005, {prop::SAVED_26}));
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].data[2], 5);
}

TEST(NodeOnTwin, GroupRequestIsAnsweredByEveryNode) {
  Twin twin({5, 7, 12});
  const auto replies = twin.exchange(frame(0x400, {prop::NODE_ID}));
  ASSERT_EQ(replies.size(), 3u);
  std::vector<uint32_t> ids;
  for (const auto& r : replies) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{0x4A6, 0x4E6, 0x586}));  // arbitration: lowest first
}

}  // namespace
}  // namespace tavrix
