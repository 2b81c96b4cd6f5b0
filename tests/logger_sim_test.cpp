// The data logger's dump on the digital twin: two nodes on one bus while one of them dumps.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "firmware/node/logger.hpp"
#include "firmware/properties/property_table.hpp"
#include "sim/bus/can_message.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix {
namespace {

using sim::CanMessage;
using sim::fromMillis;

// Words that a node would take as requests if they reached it: a set of the velocity command to
// 0x1234 and a get of the firmware identifier (byte 0 of the frame is the word's low byte).
constexpr int32_t kSetVelocityWord = 0x123400AC;
constexpr int32_t kGetWord = 0x00000000;

TEST(LoggerOnTwin, DumpFramesAreNeverTakenAsRequests) {
  std::string error;
  const tools::FactoryDefaults defaults = *tools::shippedFactoryDefaults(&error);
  sim::World world;
  std::vector<std::unique_ptr<tools::NodeBoard>> boards;
  for (int n : {4, 5}) {
    boards.push_back(std::make_unique<tools::NodeBoard>(
        std::make_unique<sim::SerialEeprom>(sim::SerialEepromConfig{})));
    boards.back()->writeFactorySetIfBlank(defaults, n);
    boards.back()->attach(world, "node" + std::to_string(n));
  }
  sim::HostEndpoint& host = world.addHostEndpoint();
  world.runFor(fromMillis(5));  // start-up

  Node& dumper = boards[0]->slot.node();
  Node& other = boards[1]->slot.node();
  ASSERT_EQ(dumper.property[prop::NODE_ID], 4);
  ASSERT_EQ(other.property[prop::NODE_ID], 5);

  // Two records whose last two words look like requests; node 4's positions 16 and 17 are the
  // ones whose plain identifier would land in groups 0 and 1 with source 5.
  Logger& log = dumper.logger;
  for (int i = 0; i < 2 * kLogWordsPerRecord; ++i) {
    const int position = i % kLogWordsPerRecord;
    log.base32[i] = position == 16 ? kSetVelocityWord : position == 17 ? kGetWord : 1000 + i;
  }
  log.logCount = 2 * kLogWordsPerRecord;
  const uint8_t otherHead = other.ring.headSlot();

  CanMessage set;
  set.id = 4;
  set.length = 4;
  set.data[0] = 0x80 | prop::STEP_CURRENT;
  set.data[2] = 2;
  host.clearReceived();
  host.send(set);
  world.runFor(fromMillis(100));

  std::vector<CanMessage> frames;
  for (const auto& f : host.received()) frames.push_back(f.message);
  ASSERT_EQ(frames.size(), static_cast<size_t>(2 * kLogWordsPerRecord));
  for (size_t i = 0; i < frames.size(); ++i) {
    const CanMessage& m = frames[i];
    const auto position = static_cast<int16_t>(i % kLogWordsPerRecord);
    EXPECT_EQ(m.id, Logger::dumpIdentifier(4, position)) << "frame " << i;
    EXPECT_FALSE(m.extended);
    ASSERT_EQ(m.length, 4);
    const int32_t word = static_cast<int32_t>(m.data[0] | m.data[1] << 8 | m.data[2] << 16 |
                                              static_cast<uint32_t>(m.data[3]) << 24);
    EXPECT_EQ(word, log.base32[i]) << "frame " << i;
  }
  EXPECT_EQ(dumper.property[prop::STEP_CURRENT], 0);
  EXPECT_EQ(log.logCount, 0);

  // Node 5 took none of the frames: nothing entered its ring, its velocity command is untouched
  // and it sent nothing (every frame above came from node 4).
  EXPECT_EQ(other.ring.headSlot(), otherHead);
  EXPECT_EQ(other.property[prop::VELOCITY], 0);
}

// The control interrupt records one 18-word record per control cycle (150 us) from a set of
// STEP_CURRENT above 2 until 834 records fill the buffer, then recording ends by itself; a dump
// then sends the words in buffer order.
TEST(LoggerOnTwin, ControlInterruptFillsTheBufferThenADumpSendsIt) {
  std::string error;
  const tools::FactoryDefaults defaults = *tools::shippedFactoryDefaults(&error);
  sim::World world;
  tools::NodeBoard board(std::make_unique<sim::SerialEeprom>(sim::SerialEepromConfig{}));
  board.writeFactorySetIfBlank(defaults, 5);
  board.attach(world, "node5");
  sim::HostEndpoint& host = world.addHostEndpoint();
  world.runFor(fromMillis(5));
  Node& node = board.slot.node();
  const Logger& log = node.logger;

  CanMessage set;
  set.id = 5;
  set.length = 4;
  set.data[0] = 0x80 | prop::STEP_CURRENT;
  set.data[2] = 3;
  host.send(set);
  world.runFor(fromMillis(60));
  EXPECT_EQ(node.property[prop::STEP_CURRENT], 3);
  EXPECT_GT(log.logCount, 300 * kLogWordsPerRecord);  // about 400 cycles in 60 ms
  EXPECT_LT(log.logCount, kLogBufferWords);
  EXPECT_EQ(log.logCount % kLogWordsPerRecord, 0);
  world.runFor(fromMillis(80));
  EXPECT_EQ(node.property[prop::STEP_CURRENT], 0);
  EXPECT_EQ(log.logCount, kLogBufferWords);

  set.data[2] = 2;
  host.clearReceived();
  host.send(set);
  world.runFor(fromMillis(80));
  std::vector<CanMessage> frames;
  for (const auto& f : host.received()) frames.push_back(f.message);
  ASSERT_GE(frames.size(), 36u);
  for (size_t i = 0; i < 36; ++i) {
    const CanMessage& m = frames[i];
    EXPECT_EQ(m.id, Logger::dumpIdentifier(5, static_cast<int16_t>(i % kLogWordsPerRecord)));
    const int32_t word = static_cast<int32_t>(m.data[0] | m.data[1] << 8 | m.data[2] << 16 |
                                              static_cast<uint32_t>(m.data[3]) << 24);
    EXPECT_EQ(word, log.base32[i]) << "word " << i;
  }
  EXPECT_EQ(log.dataptr, log.base32 + frames.size());
}

}  // namespace
}  // namespace tavrix
