#include "firmware/node/comm_ring.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "firmware/node/testing/node_harness.hpp"

namespace tavrix {
namespace {

using testing::CanFrame;
using testing::dataFrame;
using testing::FakeCan;
using testing::NodeHarness;

class CommRingTest : public ::testing::Test {
 protected:
  void SetUp() override { h.node.property[prop::NODE_ID] = 5; }
  // A get of property k, as a one-byte request to node 5.
  static CanFrame getOf(uint8_t k) { return dataFrame(0x005, {k}); }
  void deliver(const CanFrame& f) { h.fake.receive(h.node, 1, f); }
  CommRing& ring() { return h.node.ring; }
  NodeHarness h;
};

TEST_F(CommRingTest, EmptyRingHandlesNothing) {
  ring().commHandle();
  EXPECT_TRUE(h.fake.can.sent.empty());
  EXPECT_EQ(ring().commRingRead(), nullptr);
}

TEST_F(CommRingTest, FramesAreHandedOutInArrivalOrder) {
  for (uint8_t k : {3, 0, 5}) deliver(getOf(k));
  for (int i = 0; i < 3; ++i) ring().commHandle();
  ASSERT_EQ(h.fake.can.sent.size(), 3u);
  EXPECT_EQ(h.fake.can.sent[0].data[0], 0x83);
  EXPECT_EQ(h.fake.can.sent[1].data[0], 0x80);
  EXPECT_EQ(h.fake.can.sent[2].data[0], 0x85);
}

TEST_F(CommRingTest, FrameIntoFullRingIsDroppedAndCounted) {
  for (uint8_t k = 0; k < 10; ++k) deliver(getOf(k));
  EXPECT_EQ(ring().droppedFrames(), 2u);
  EXPECT_EQ(ring().unreadFrames(), 8);
  EXPECT_EQ(ring().headSlot(), ring().tailSlot());  // full, not empty
  // The dropped frames were still taken out of the controller.
  EXPECT_TRUE(h.fake.can.rx[1].empty());
  for (int i = 0; i < 9; ++i) ring().commHandle();
  ASSERT_EQ(h.fake.can.sent.size(), 8u);
  for (uint8_t k = 0; k < 8; ++k) EXPECT_EQ(h.fake.can.sent[k].data[0], 0x80 | k);
}

TEST_F(CommRingTest, SlotInUseIsNeverOverwritten) {
  deliver(getOf(42));
  platform::LDD_CAN_TFrame* held = ring().commRingRead();
  ASSERT_NE(held, nullptr);
  for (uint8_t k = 0; k < 8; ++k) deliver(getOf(k));
  // Seven free slots; the eighth frame would land in the held one.
  EXPECT_EQ(ring().droppedFrames(), 1u);
  EXPECT_EQ(held->Data[0], 42);
  ring().commRingRelease(held);
  for (int i = 0; i < 7; ++i) ring().commHandle();
  deliver(getOf(9));  // the released slot is free again
  EXPECT_EQ(ring().droppedFrames(), 1u);
  ring().commHandle();
  ASSERT_EQ(h.fake.can.sent.size(), 8u);
  EXPECT_EQ(h.fake.can.sent.back().data[0], 0x89);
}

TEST_F(CommRingTest, NestedHandlingKeepsServingWhileTheOuterFrameWaits) {
  // A save waits on the EEPROM; meanwhile frames arrive and nested dispatches run, as in the
  // waiting loops of long operations (homing, self-tests). The outer frame was copied out of its
  // slot, so all eight slots take new frames and the outer request still completes unchanged.
  h.node.property[prop::TORQUE_LIMIT] = 0x1234;
  int nestedReplies = 0;
  int relaxes = 0;
  h.fake.cpu.onRelax = [&] {
    if (++relaxes > 1) return;
    for (uint8_t k = 0; k < 8; ++k) deliver(getOf(k));
    const size_t before = h.fake.can.sent.size();
    ring().commHandle();
    nestedReplies = static_cast<int>(h.fake.can.sent.size() - before);
    // Many more frames than slots, each handled as it comes: nothing is lost.
    for (uint8_t k = 20; k < 40; ++k) {
      deliver(getOf(k));
      ring().commHandle();
    }
  };
  h.fake.eeprom.sendBusy = 1;  // makes the save wait at least once
  h.request({0x80 | prop::SAVE, 0, prop::TORQUE_LIMIT, 0});
  h.fake.cpu.onRelax = nullptr;
  EXPECT_EQ(nestedReplies, 1);
  EXPECT_EQ(ring().droppedFrames(), 0u);
  EXPECT_EQ(h.fake.eeprom.get16(2 * prop::TORQUE_LIMIT), 0x1234);
  for (int i = 0; i < 10; ++i) ring().commHandle();
  // In arrival order: 0..7, then 20..39 (the last seven after the save).
  ASSERT_EQ(h.fake.can.sent.size(), 28u);
  for (uint8_t k = 0; k < 8; ++k) EXPECT_EQ(h.fake.can.sent[k].data[0], 0x80 | k);
  for (uint8_t k = 20; k < 40; ++k) EXPECT_EQ(h.fake.can.sent[k - 12].data[0], 0x80 | k);
}

TEST_F(CommRingTest, ReadResults) {
  // 8 is retried (with Cpu_Relax), 13 keeps the newest frame, 10 publishes nothing.
  h.fake.receive(h.node, 1, FakeCan::Read{getOf(3), platform::ERR_OK, 3});
  EXPECT_GE(h.fake.cpu.relaxCount, 3u);
  h.fake.receive(h.node, 1, FakeCan::Read{getOf(5), platform::ERR_OVERRUN});
  h.fake.receive(h.node, 1, FakeCan::Read{getOf(0), platform::ERR_RXEMPTY});
  h.fake.receive(h.node, 2, FakeCan::Read{getOf(0), platform::ERR_DISABLED});
  EXPECT_EQ(ring().unreadFrames(), 2);
  EXPECT_EQ(ring().headSlot(), 2);
  EXPECT_EQ(ring().droppedFrames(), 0u);
  // An empty buffer answers 10 at once: nothing waits for a frame.
  const int reads = h.fake.can.readCalls;
  h.node.CAN2_OnFullRxBuffer(nullptr, 3);
  EXPECT_EQ(h.fake.can.readCalls, reads + 1);
  EXPECT_EQ(ring().unreadFrames(), 2);
}

TEST_F(CommRingTest, BytesBeyondTheFrameReadAsZero) {
  std::memset(ring().dataBuffer, 0xEE, sizeof ring().dataBuffer);
  deliver(dataFrame(0x005, {0xAB}));
  CanFrame remote = dataFrame(0x005, {});
  remote.type = platform::LDD_CAN_REMOTE_FRAME;
  remote.length = 6;
  remote.data.fill(0x77);
  deliver(remote);
  const auto* bytes = reinterpret_cast<const uint8_t*>(ring().dataBuffer);
  EXPECT_EQ(bytes[0], 0xAB);
  for (int i = 1; i < 16; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(ring().commRing[1].Length, 6);
  ring().commHandle();
  ring().commHandle();
  // A short set never acts on left-overs: the value's high byte reads 0.
  std::memset(ring().dataBuffer, 0xEE, sizeof ring().dataBuffer);
  h.request({0x80 | prop::TORQUE_LIMIT, 0, 0x34});
  EXPECT_EQ(h.node.property[prop::TORQUE_LIMIT], 0x34);
}

TEST_F(CommRingTest, LengthCodeAbove8ReadsOnlyTheDataArea) {
  CanFrame f = dataFrame(0x005, {prop::NODE_ID, 1, 2, 3, 4, 5, 6, 7});
  f.length = 15;
  const auto replies = h.handle(f);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].length, 4);
  EXPECT_EQ(replies[0].data[2], 5);
}

TEST_F(CommRingTest, ReplyWaitsForTheTransmitBuffer) {
  h.fake.can.sendBusy = 4;
  const auto replies = h.handle(getOf(prop::NODE_ID));
  EXPECT_EQ(replies.size(), 1u);
  EXPECT_EQ(h.fake.can.sendBusyAnswers, 4);
  EXPECT_GE(h.fake.cpu.relaxCount, 4u);
}

TEST_F(CommRingTest, OnlyTwoByteFramesSwitchToCanOpen) {
  for (uint8_t len : {0, 1, 3, 4, 8}) {
    CanFrame f = dataFrame(0x005, {0x5A, 0xA6, 0, 0, 0, 0, 0, 0});
    f.length = len;
    h.handle(f);
    EXPECT_EQ(ring().parseMode, 0) << int{len};
  }
  EXPECT_EQ(h.node.canopen.framesHandled, 0u);
}

TEST_F(CommRingTest, TwoByteFrameSwitchesToCanOpenOnce) {
  // The reset pattern on another identifier is an ordinary switch frame.
  h.handle(dataFrame(0x405, {0x5A, 0xA6}), 2);
  EXPECT_EQ(ring().parseMode, 1);
  EXPECT_TRUE(
      h.fake.logHasInOrder({"CAN2_Disable", "CAN2_SetAcceptanceMask 1 0x1FC0000", "CAN2_Enable"}));
  EXPECT_EQ(h.fake.can.mask, 0x01FC0000u);
  EXPECT_EQ(h.node.canopen.initCount, 1u);
  EXPECT_EQ(h.node.canopen.framesHandled, 1u);  // the switch frame is the first CANopen frame
  // The slave's start sends its first heartbeat and nothing else.
  ASSERT_EQ(h.fake.can.sent.size(), 1u);
  EXPECT_EQ(h.fake.can.sent[0].id, 0x705u);
  // From now on everything goes to the CANopen slave, the reset frame included.
  h.handle(dataFrame(0x005, {0x5A, 0xA6}));
  h.handle(getOf(prop::NODE_ID));
  EXPECT_EQ(h.node.canopen.framesHandled, 3u);
  EXPECT_EQ(h.node.canopen.initCount, 1u);
  EXPECT_EQ(h.fake.can.sent.size(), 1u);
}

TEST_F(CommRingTest, ResetFrameRestartsTheNode) {
  EXPECT_EXIT(h.handle(dataFrame(0x005, {0x5A, 0xA6})),
              ::testing::ExitedWithCode(testing::kResetExitCode), "");
}

}  // namespace
}  // namespace tavrix
