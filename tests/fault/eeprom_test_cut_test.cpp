// Power lost at any instant of the EEPROM self-test (action 24) leaves every configuration byte as
// it was before the test, once the node has started again from what the part held.
//
// A power cut stops the world at a simulated instant and keeps the part's cells. The part commits
// a write's data at chip-select release, so the images a cut can leave are the one before the
// test and the one after each write; a single run, stepped finely enough that no step holds two
// writes, yields every one of them. A few true cuts (a fresh world stopped at the instant) check
// that a cut leaves exactly that image.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firmware/properties/property_table.hpp"
#include "sim/bus/can_message.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix {
namespace {

using Image = std::vector<uint8_t>;
using sim::fromMicros;
using sim::fromMillis;
using sim::SimTime;

constexpr size_t kConfigurationBytes = 576;  // properties, then the CANopen store
constexpr int kNodeId = 5;

sim::SerialEepromConfig fastPart() {
  sim::SerialEepromConfig config;
  config.write_cycle_clk = fromMicros(20);  // keeps the 1536-write test short in simulated time
  return config;
}

// The part as shipped, with a CANopen store and bytes in the unused area, so that every byte of
// the test range holds something a cut could lose.
Image startImage() {
  std::string error;
  const auto defaults = tools::shippedFactoryDefaults(&error);
  EXPECT_TRUE(defaults) << error;
  Image image(fastPart().size_bytes, 0xFF);
  tools::writeFactoryImage(*defaults, kNodeId, image);
  for (size_t a = 256; a < 1024; ++a) image[a] = static_cast<uint8_t>(a * 29 + 3);
  return image;
}

struct Board {
  explicit Board(const Image& image) : board(std::make_unique<sim::SerialEeprom>(fastPart())) {
    board.eeprom->preload(0, image);
    node = &board.attach(world, "node");
    host = &world.addHostEndpoint();
  }
  Image image() const { return {board.eeprom->image().begin(), board.eeprom->image().end()}; }

  tools::NodeBoard board;
  sim::World world;
  sim::SimNode* node = nullptr;
  sim::HostEndpoint* host = nullptr;
};

sim::CanMessage startTestFrame() {
  sim::CanMessage m;
  m.id = kNodeId;
  m.length = 4;
  m.data[0] = 0x80 | prop::ACTION;
  m.data[2] = 24;  // EEPROM self-test
  return m;
}

constexpr SimTime kStartUp = fromMillis(5);
constexpr SimTime kStep = fromMicros(10);  // shorter than the shortest write (enable, data, poll)

TEST(EepromTestCut, EveryCutLeavesTheConfigurationAsItWas) {
  const Image before = startImage();

  // One run of the whole test, the image kept after every write.
  Board run(before);
  run.world.runFor(kStartUp);
  run.host->send(startTestFrame());
  std::vector<Image> images = {run.image()};
  std::vector<SimTime> instants = {run.world.now()};
  uint64_t writes = run.board.eeprom->writeCount();
  const SimTime limit = run.world.now() + fromMillis(2000);
  while (run.world.now() < limit) {
    run.world.runFor(kStep);
    const uint64_t now = run.board.eeprom->writeCount();
    ASSERT_LE(now - writes, 1u) << "two writes in one step: the sweep would miss an image";
    if (now != writes) {
      images.push_back(run.image());
      instants.push_back(run.world.now());
    }
    writes = now;
    if (run.board.slot.node().ring.unreadFrames() == 0 && now > 0 &&
        run.world.now() > instants.back() + fromMillis(5)) {
      break;  // the test is over: no write for 5 ms
    }
  }
  // Records, three writes per word, and the record area's bytes put back.
  ASSERT_EQ(images.size(), 1u + 3 * 512 + 508 + 1);
  EXPECT_EQ(run.board.slot.node().property[prop::EEPROM_TEST], 0);
  const Image end = run.image();
  EXPECT_EQ(Image(end.begin(), end.begin() + 1024), Image(before.begin(), before.begin() + 1024));

  // Without the record, a cut after a pattern write would leave a word at 0x5555 or 0xAAAA:
  // the sweep does meet such images.
  size_t patterned = 0;
  for (const Image& cut : images) {
    patterned += Image(cut.begin(), cut.begin() + kConfigurationBytes) !=
                 Image(before.begin(), before.begin() + kConfigurationBytes);
  }
  EXPECT_GT(patterned, 500u);

  // Every cut: a fresh node started from the image restores every configuration byte, answers
  // at its own node number, and leaves nothing to replay at the next start.
  for (size_t i = 0; i < images.size(); ++i) {
    Board restarted(images[i]);
    restarted.world.runFor(kStartUp);
    const Image after = restarted.image();
    ASSERT_EQ(Image(after.begin(), after.begin() + kConfigurationBytes),
              Image(before.begin(), before.begin() + kConfigurationBytes))
        << "cut after write " << i;
    ASSERT_EQ(restarted.board.slot.node().property[prop::NODE_ID], kNodeId) << i;
    const auto marker = static_cast<uint16_t>(after[Sermem::kTestRecordAddress] |
                                              after[Sermem::kTestRecordAddress + 1] << 8);
    ASSERT_NE(marker, Sermem::kTestRecordMarker) << i;
  }

  // True cuts at a few instants leave the very image the sweep used.
  for (const size_t i : {size_t{1}, size_t{2}, size_t{3}, size_t{700}, images.size() - 3}) {
    Board cut(before);
    cut.world.runFor(kStartUp);
    cut.host->send(startTestFrame());
    cut.world.runUntil(instants[i]);
    EXPECT_EQ(cut.image(), images[i]) << i;
  }
}

}  // namespace
}  // namespace tavrix
