#include "sim/mcu/flexcan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/bus/can_frame.hpp"
#include "sim/world/testing/test_app.hpp"
#include "sim/world/world.hpp"

namespace tavrix::sim {
namespace {

using platform::LDD_CAN_TFrame;
using platform::LDD_TError;
using testing::TestApp;
using testing::TestAppSlot;
using testing::TestHooks;

struct ReadResult {
  uint8_t buffer;
  LDD_TError result;
  uint32_t id;
  uint8_t type;
  uint8_t length;
  std::array<uint8_t, 10> data;  // two bytes beyond the frame's data area: must stay untouched
  uint16_t time_stamp;
};

// One node whose CAN interrupt reads every flagged buffer (unless told to leave them), and a
// host on the bus.
struct CanFixture : ::testing::Test {
  World world;
  TestHooks hooks;
  TestAppSlot slot{hooks};
  HostEndpoint* host = nullptr;
  SimNode* node = nullptr;
  std::vector<ReadResult> reads;
  bool read_in_interrupt = true;

  CanFixture() {
    hooks.can_rx = [this](TestApp& app, uint8_t buffer) {
      if (read_in_interrupt) reads.push_back(read(app, buffer));
    };
  }
  static ReadResult read(TestApp& app, uint8_t buffer) {
    ReadResult r{};
    r.buffer = buffer;
    r.data.fill(0xEE);
    LDD_CAN_TFrame f;
    f.Data = r.data.data();
    r.result = app.hw.can2.CAN2_ReadFrame(nullptr, buffer, &f);
    r.id = f.MessageID;
    r.type = f.FrameType;
    r.length = f.Length;
    r.time_stamp = f.TimeStamp;
    return r;
  }
  void start() {
    node = &world.addNode({.name = "n", .factory = slot.factory()});
    host = &world.addHostEndpoint();
  }
  FlexCan& can() { return node->chip().can(); }
  void hostSends(uint32_t id, std::vector<uint8_t> bytes, bool remote = false,
                 uint8_t length_code = 0xFF) {
    CanMessage m;
    m.id = id;
    m.remote = remote;
    m.length = length_code != 0xFF ? length_code : static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), m.data.begin());
    host->send(m);
  }
};

TEST_F(CanFixture, SendFrameChecksInOrderAndBuffer0StaysBusyUntilTheFrameHasLeft) {
  std::vector<LDD_TError> results;
  SimTime freed_at = 0;
  hooks.main = [&](TestApp& app) {
    platform::Can2& can2 = app.hw.can2;
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    LDD_CAN_TFrame f;
    f.MessageID = 0x321;
    f.Data = bytes;
    f.Length = 8;
    results.push_back(can2.CAN2_SendFrame(nullptr, 0, &f));  // 7: not initialised
    void* dev = can2.CAN2_Init(nullptr);
    f.Length = 9;
    results.push_back(can2.CAN2_SendFrame(dev, 5, &f));  // index before kind before length
    results.push_back(can2.CAN2_SendFrame(dev, 1, &f));
    results.push_back(can2.CAN2_SendFrame(dev, 0, &f));
    f.Length = 8;
    f.FrameType = 3;
    results.push_back(can2.CAN2_SendFrame(dev, 0, &f));
    f.FrameType = platform::LDD_CAN_DATA_FRAME;
    results.push_back(can2.CAN2_SendFrame(dev, 0, &f));
    results.push_back(can2.CAN2_SendFrame(dev, 0, &f));  // the first still waits for the bus
    while (can2.CAN2_SendFrame(dev, 0, &f) != platform::ERR_OK) app.hw.cpu.Cpu_Relax();
    freed_at = world.now();
    can2.CAN2_Disable(dev);
    // Loaded, but frozen before the bus took it: it stays in the buffer, unsent.
    results.push_back(can2.CAN2_SendFrame(dev, 0, &f));
  };
  start();
  world.runFor(fromMillis(1));
  EXPECT_EQ(results, (std::vector<LDD_TError>{7, 134, 130, 140, 149, 0, 8, 7}));
  ASSERT_EQ(host->received().size(), 1u);  // the rejected calls sent nothing
  EXPECT_EQ(freed_at, host->received()[0].end_clk);
  EXPECT_EQ(host->received()[0].message.length, 8);
  EXPECT_EQ(host->received()[0].message.data[7], 8);
}

TEST_F(CanFixture, AcceptanceMaskChangesOnlyWhileFrozen) {
  std::vector<LDD_TError> results;
  std::vector<uint32_t> masks;
  hooks.main = [&](TestApp& app) {
    platform::Can2& can2 = app.hw.can2;
    void* dev = can2.CAN2_Init(nullptr);
    results.push_back(can2.CAN2_SetAcceptanceMask(dev, 1, 0x01FC0000));
    masks.push_back(can().acceptanceMask());
    can2.CAN2_Disable(dev);
    results.push_back(can2.CAN2_SetAcceptanceMask(dev, 5, 0x01FC0000));
    results.push_back(can2.CAN2_SetAcceptanceMask(dev, 1, 0x01FC0000));
    results.push_back(can2.CAN2_SetRxBufferID(dev, 1, 5));  // disabled
    can2.CAN2_Enable(dev);
    masks.push_back(can().acceptanceMask());
    results.push_back(can2.CAN2_SetRxBufferID(dev, 0, 5));
    results.push_back(can2.CAN2_SetRxBufferID(dev, 7, 5));
    can2.CAN2_Init(dev);  // a communication reset restores the initial plan
    masks.push_back(can().acceptanceMask());
  };
  start();
  world.runFor(1);
  EXPECT_EQ(results, (std::vector<LDD_TError>{9, 134, 0, 7, 130, 134}));
  EXPECT_EQ(masks, (std::vector<uint32_t>{0x107C0000, 0x01FC0000, 0x107C0000}));
  for (uint8_t i = 1; i <= 4; ++i) EXPECT_EQ(can().bufferId(i), 0x7FFu);
}

TEST_F(CanFixture, PropertyMaskAcceptsOnlyTheNodesIdentifiers) {
  hooks.main = [&](TestApp& app) {
    void* dev = app.hw.can2.CAN2_Init(nullptr);
    app.hw.can2.CAN2_SetRxBufferID(dev, 1, 5);
  };
  start();
  for (uint32_t id : {0x005u, 0x025u, 0x3E5u, 0x405u, 0x006u}) hostSends(id, {1});
  hostSends(0x005, {}, true, 6);  // a remote frame matches like a data frame
  CanMessage ext;
  ext.id = 5;
  ext.extended = true;
  host->send(ext);  // never taken by a standard buffer
  world.runFor(fromMillis(2));
  std::vector<uint32_t> ids;
  for (const ReadResult& r : reads) {
    EXPECT_EQ(r.buffer, 1);
    EXPECT_EQ(r.result, 0);
    ids.push_back(r.id);
  }
  EXPECT_EQ(ids, (std::vector<uint32_t>{0x005, 0x025, 0x3E5, 0x005}));
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[0].type, platform::LDD_CAN_DATA_FRAME);
  EXPECT_EQ(reads[0].data[0], 1);
  EXPECT_EQ(reads[3].type, platform::LDD_CAN_REMOTE_FRAME);
  EXPECT_EQ(reads[3].length, 6);
  EXPECT_EQ(reads[3].data[0], 0xEE);  // nothing copied for a remote frame
  EXPECT_EQ(can().framesIgnored(), 3u);
}

TEST_F(CanFixture, FullBuffersOverflowIntoTheLastMatchAndReportOverrunWithTheNewestFrame) {
  read_in_interrupt = false;
  std::vector<ReadResult> later;
  hooks.main = [&](TestApp& app) {
    void* dev = app.hw.can2.CAN2_Init(nullptr);
    app.hw.can2.CAN2_SetRxBufferID(dev, 1, 5);
    app.hw.can2.CAN2_SetRxBufferID(dev, 2, 5);
    app.waitUntil([&] { return host->pendingCount() == 0 && !world.bus().busy(); });
    for (uint8_t b = 0; b <= 2; ++b) later.push_back(read(app, b));
    later.push_back(read(app, 2));
  };
  start();
  hostSends(0x005, {0xA1});
  hostSends(0x005, {0xB2});
  hostSends(0x005, {0xC3});
  world.runFor(fromMillis(2));
  ASSERT_EQ(later.size(), 4u);
  EXPECT_EQ(later[0].result, 130);  // buffer 0 transmits
  EXPECT_EQ(later[1].result, 0);
  EXPECT_EQ(later[1].data[0], 0xA1);
  EXPECT_EQ(later[2].result, 13);
  EXPECT_EQ(later[2].data[0], 0xC3);
  EXPECT_EQ(later[3].result, 10);  // read leaves the buffer empty
}

TEST_F(CanFixture, LongLengthCodesCopyEightBytesAndTimeStampsCountBitTimes) {
  hooks.main = [&](TestApp& app) { app.hw.can2.CAN2_Init(nullptr); };
  start();
  world.runFor(fromMicros(100));
  hostSends(0x41F, {1, 2, 3, 4, 5, 6, 7, 8}, false, 12);
  world.runFor(fromMillis(1));
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].length, 12);
  EXPECT_EQ(reads[0].data[7], 8);
  EXPECT_EQ(reads[0].data[8], 0xEE);
  const SimTime end = host->transmitted()[0].end_clk;
  EXPECT_EQ(reads[0].time_stamp, end / kCanBitTime_clk);
}

// With the interrupt held back, one message-buffer interrupt reports the free transmit buffer
// before the received frames, in ascending order, and accumulates its flags.
TEST_F(CanFixture, OneInterruptRaisesTxEventsBeforeRxEventsInBufferOrder) {
  std::vector<std::string> events;
  hooks.can_tx = [&](TestApp&, uint8_t b) { events.push_back("tx" + std::to_string(b)); };
  hooks.can_rx = [&](TestApp& app, uint8_t b) {
    events.push_back("rx" + std::to_string(b));
    read(app, b);
  };
  hooks.main = [&](TestApp& app) {
    void* dev = app.hw.can2.CAN2_Init(nullptr);
    app.hw.can2.CAN2_SetRxBufferID(dev, 2, 0x010);
    app.hw.can2.CAN2_SetRxBufferID(dev, 3, 0x011);
    app.hw.cpu.EnterCritical();
    uint8_t byte = 0;
    LDD_CAN_TFrame f;
    f.MessageID = 0x001;
    f.Length = 1;
    f.Data = &byte;
    app.hw.can2.CAN2_SendFrame(dev, 0, &f);
    app.waitUntil([&] { return host->received().size() == 1 && host->pendingCount() == 0; });
    app.hw.cpu.ExitCritical();
  };
  start();
  hostSends(0x011, {});
  hostSends(0x010, {});
  world.runFor(fromMillis(1));
  EXPECT_EQ(events, (std::vector<std::string>{"tx0", "rx2", "rx3"}));
  EXPECT_EQ(can().IntFlagReg(), 0x0Du);
  EXPECT_EQ(node->chip().nvic().deliveries(Irq::kCanMessageBuffer), 1u);
}

}  // namespace
}  // namespace tavrix::sim
