#include "sim/mcu/dspi.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/world/testing/test_app.hpp"
#include "sim/world/world.hpp"

namespace tavrix::sim {
namespace {

using platform::LDD_TError;
using testing::TestApp;
using testing::TestAppSlot;
using testing::TestHooks;

// Records what it sees on its chip select and answers each frame with the frame inverted.
class RecordingDevice final : public SpiDevice {
 public:
  void select(SimTime now) override { log.push_back("S@" + std::to_string(now)); }
  uint16_t transfer(uint16_t mosi, SimTime now) override {
    log.push_back("T" + std::to_string(mosi) + "@" + std::to_string(now));
    return static_cast<uint16_t>(~mosi);
  }
  void deselect(SimTime now) override { log.push_back("D@" + std::to_string(now)); }
  std::vector<std::string> log;
};

struct SpiFixture : ::testing::Test {
  World world;
  TestHooks hooks;
  TestAppSlot slot{hooks};
  RecordingDevice device;
  SimNode* node = nullptr;
  void start() {
    node =
        &world.addNode({.name = "n", .factory = slot.factory(), .spi0 = &device, .spi1 = &device});
  }
};

TEST_F(SpiFixture, Sm3BlockIsOneChipSelectCycleWithTheConfiguredDelays) {
  uint8_t out[3] = {0x03, 0x01, 0x80}, in[3] = {};
  std::vector<std::string> probes;
  hooks.main = [&](TestApp& app) {
    platform::Sm3& sm3 = app.hw.sm3;
    void* dev = sm3.SM3_Init(nullptr);
    sm3.SM3_ReceiveBlock(dev, in, 3);
    sm3.SM3_SendBlock(dev, out, 3);
    app.waitUntil([&] { return sm3.SM3_GetReceivedDataNum(dev) == 3; });
    probes.push_back("received@" + std::to_string(world.now()) +
                     (sm3.SM3_IsIdle(dev) ? " idle" : " busy"));
    app.waitUntil([&] { return sm3.SM3_IsIdle(dev); });
    probes.push_back("idle@" + std::to_string(world.now()));
  };
  start();
  world.runFor(fromMicros(100));
  // 100 ns to the first clock, 64 clocks a frame, 100 ns between frames, 200 ns to release.
  EXPECT_EQ(device.log, (std::vector<std::string>{"S@0", "T3@68", "T1@136", "T128@204", "D@212"}));
  EXPECT_EQ(probes, (std::vector<std::string>{"received@204 busy", "idle@212"}));
  EXPECT_EQ(in[0], 0xFC);
  EXPECT_EQ(in[2], 0x7F);
  EXPECT_EQ(node->chip().spi0().chipSelectCycles(), 1u);
}

TEST_F(SpiFixture, SendIsBusyUntilTheLastFrameIsHandedOverAndBlocksKeepTheirOwnCycles) {
  uint8_t first[4] = {1, 2, 3, 4}, second[1] = {5};
  std::vector<std::string> probes;
  hooks.main = [&](TestApp& app) {
    platform::Sm3& sm3 = app.hw.sm3;
    void* dev = sm3.SM3_Init(nullptr);
    probes.push_back(std::to_string(sm3.SM3_SendBlock(dev, first, 4)));
    probes.push_back(std::to_string(sm3.SM3_SendBlock(dev, second, 1)));
    while (sm3.SM3_SendBlock(dev, second, 1) != platform::ERR_OK) app.hw.cpu.Cpu_Relax();
    probes.push_back("accepted@" + std::to_string(world.now()));
    first[3] = 99;  // handed over already: the wire keeps 4
  };
  start();
  world.runFor(fromMicros(100));
  // Frames 1 and 2 are handed over at once, 3 when 2 starts shifting, 4 when 3 does.
  EXPECT_EQ(probes, (std::vector<std::string>{"0", "8", "accepted@136"}));
  EXPECT_EQ(device.log, (std::vector<std::string>{"S@0", "T1@68", "T2@136", "T3@204", "T4@272",
                                                  "D@280", "S@284", "T5@352", "D@360"}));
}

TEST_F(SpiFixture, ReceiveArmingRules) {
  uint16_t out[2] = {0x0F0F, 0x1234}, in_a[2] = {}, in_b[2] = {7, 7};
  std::vector<LDD_TError> results;
  std::vector<uint16_t> counts;
  hooks.main = [&](TestApp& app) {
    platform::Sm1& sm1 = app.hw.sm1;
    void* dev = sm1.SM1_Init(nullptr);
    // Nothing armed: the answers to these two frames are thrown away.
    sm1.SM1_SendBlock(dev, out, 2);
    app.waitUntil([&] { return node->chip().spi1().idle(); });
    results.push_back(sm1.SM1_ReceiveBlock(dev, in_a, 2));
    results.push_back(sm1.SM1_ReceiveBlock(dev, in_b, 2));  // the first stays armed
    counts.push_back(sm1.SM1_GetReceivedDataNum(dev));
    sm1.SM1_SendBlock(dev, out + 1, 1);
    app.waitUntil([&] { return sm1.SM1_GetReceivedDataNum(dev) == 1; });
    results.push_back(sm1.SM1_ReceiveBlock(dev, in_b, 1));  // still one frame to go
    sm1.SM1_SendBlock(dev, out, 1);
    app.waitUntil([&] { return app.SM1_Semaphore != 0; });
    counts.push_back(sm1.SM1_GetReceivedDataNum(dev));
    results.push_back(sm1.SM1_ReceiveBlock(dev, in_b, 1));
  };
  start();
  world.runFor(fromMicros(100));
  EXPECT_EQ(results, (std::vector<LDD_TError>{0, 8, 8, 0}));
  EXPECT_EQ(counts, (std::vector<uint16_t>{0, 2}));
  EXPECT_EQ(in_a[0], 0xEDCB);
  EXPECT_EQ(in_a[1], 0xF0F0);
  EXPECT_EQ(in_b[0], 7);
  EXPECT_EQ(node->chip().spi1().framesDiscarded(), 2u);
  EXPECT_EQ(node->chip().spi1().chipSelectCycles(), 3u);
}

}  // namespace
}  // namespace tavrix::sim
