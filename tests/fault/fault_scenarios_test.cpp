// Each fault of the simulator's --fault option injected into a run of two nodes with their
// plants, and what the node does under it: it keeps serving (a get is answered within 10 ms of the
// fault clearing, or of the flood ending), drops are counted, nothing it stored is lost, and the
// bridge never has both switches of a phase on (gate pins are active low: never both low).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "firmware/properties/property_table.hpp"
#include "sim/bus/can_message.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/faults.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix::tools {
namespace {

using sim::fromMicros;
using sim::fromMillis;
using sim::SimTime;
using Image = std::vector<uint8_t>;

constexpr int kNodes[] = {5, 7};
constexpr SimTime kServeLimit = fromMillis(10);

sim::CanMessage frame(uint32_t id, std::vector<uint8_t> bytes) {
  sim::CanMessage m;
  m.id = id;
  m.length = static_cast<uint8_t>(bytes.size());
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) m.data[i] = bytes[i];
  return m;
}

uint32_t replyId(int node) {
  return 0x400u | static_cast<uint32_t>(node) << 5 | 6u;
}

// Two nodes of the reference drive with their factory sets, a host, and the faults given.
class FaultRun {
 public:
  explicit FaultRun(const std::vector<std::string>& faults, std::vector<Image> images = {}) {
    std::string error;
    const auto defaults = shippedFactoryDefaults(&error);
    EXPECT_TRUE(defaults) << error;
    for (size_t i = 0; i < std::size(kNodes); ++i) {
      sim::SerialEepromConfig config;
      config.write_cycle_clk = fromMicros(200);
      boards_.push_back(std::make_unique<NodeBoard>(std::make_unique<sim::SerialEeprom>(config)));
      if (i < images.size()) boards_.back()->eeprom->preload(0, images[i]);
      boards_.back()->writeFactorySetIfBlank(*defaults, kNodes[i]);
      boards_.back()->attach(world_, "node" + std::to_string(kNodes[i]));
      targets_.push_back({kNodes[i], boards_.back().get()});
    }
    host_ = &world_.addHostEndpoint();
    std::vector<Fault> parsed;
    for (const std::string& text : faults) {
      const auto f = parseFault(text, &error);
      EXPECT_TRUE(f) << error;
      if (f) parsed.push_back(*f);
    }
    EXPECT_TRUE(applyFaults(parsed, world_, targets_, applied_, &error)) << error;
    world_.runFor(fromMillis(5));  // start-up
  }

  // Runs to `t` (simulated, from the world's start), checking the bridge of every node.
  void runUntil(SimTime t) {
    while (world_.now() < t) {
      world_.runUntil(std::min(t, world_.now() + fromMillis(1)));
      for (auto& b : boards_) ASSERT_EQ(b->drive.shootThroughCount(), 0u);
    }
  }
  // A get of `k` from node `n`: the time to its reply, or nullopt if none came in `limit`.
  std::optional<SimTime> getLatency(int n, uint8_t k, SimTime limit = kServeLimit) {
    host_->clearReceived();
    const SimTime sent = world_.now();
    host_->send(frame(static_cast<uint32_t>(n), {k}));
    while (world_.now() - sent < limit) {
      world_.runFor(fromMicros(100));
      for (const auto& f : host_->received()) {
        if (f.message.id == replyId(n) && f.message.data[0] == (0x80 | k)) {
          last_ = static_cast<int16_t>(f.message.data[2] | f.message.data[3] << 8);
          return world_.now() - sent;
        }
      }
    }
    return std::nullopt;
  }
  // The time from `since` until a get of `k` from node `n` is answered, the get sent again every
  // 2 ms while none is (a get arriving while the ring is full is dropped), or nullopt after
  // `limit`.
  std::optional<SimTime> servedAfter(int n, uint8_t k, SimTime since, SimTime limit = kServeLimit) {
    while (world_.now() - since < limit) {
      if (getLatency(n, k, fromMillis(2))) return world_.now() - since;
    }
    return std::nullopt;
  }
  int16_t lastValue() const { return last_; }
  void send(int n, std::vector<uint8_t> bytes) {
    host_->send(frame(static_cast<uint32_t>(n), std::move(bytes)));
  }
  void setAndSave(int n, uint8_t k, int16_t v) {
    send(n, {static_cast<uint8_t>(0x80 | k), 0, static_cast<uint8_t>(v & 0xFF),
             static_cast<uint8_t>((v >> 8) & 0xFF)});
    send(n, {0x80 | prop::SAVE, 0, k, 0});
  }
  uint16_t stored(size_t board, int k) const {
    const auto image = boards_[board]->eeprom->image();
    return static_cast<uint16_t>(image[2 * k] | image[2 * k + 1] << 8);
  }
  Image image(size_t board) const {
    return {boards_[board]->eeprom->image().begin(), boards_[board]->eeprom->image().end()};
  }
  NodeBoard& board(size_t i) { return *boards_[i]; }
  Node& node(size_t i) { return boards_[i]->slot.node(); }
  sim::World& world() { return world_; }
  const AppliedFaults& applied() const { return applied_; }

 private:
  sim::World world_;
  std::vector<std::unique_ptr<NodeBoard>> boards_;
  std::vector<FaultBoard> targets_;
  AppliedFaults applied_;
  sim::HostEndpoint* host_ = nullptr;
  int16_t last_ = 0;
};

TEST(FaultParse, AcceptsEveryKindWithTimesAndNode) {
  struct Case {
    const char* text;
    FaultKind kind;
    SimTime start;
    std::optional<SimTime> duration;
    std::optional<int> node;
  };
  const Case cases[] = {
      {"eeprom-absent", FaultKind::kEepromAbsent, 0, std::nullopt, std::nullopt},
      {"eeprom-stuck@1.5s:3", FaultKind::kEepromStuck, fromMillis(1500), std::nullopt, 3},
      {"eeprom-flips@250ms+2s", FaultKind::kEepromBitFlips, fromMillis(250), fromMillis(2000),
       std::nullopt},
      {"encoder-absent@40us+1ms:31", FaultKind::kEncoderAbsent, fromMicros(40), fromMillis(1), 31},
      {"encoder-stuck@0s", FaultKind::kEncoderStuck, 0, std::nullopt, std::nullopt},
      {"no-hard-stop:0", FaultKind::kNoHardStop, 0, std::nullopt, 0},
      {"bus-flood@10ms:5", FaultKind::kBusFlood, fromMillis(10), std::nullopt, 5},
      {"power-cut@2.000025s", FaultKind::kPowerCut, fromMillis(2000) + 1000, std::nullopt,
       std::nullopt},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto f = parseFault(c.text, &error);
    ASSERT_TRUE(f) << c.text << ": " << error;
    EXPECT_EQ(f->kind, c.kind) << c.text;
    EXPECT_EQ(f->start, c.start) << c.text;
    EXPECT_EQ(f->duration, c.duration) << c.text;
    EXPECT_EQ(f->node, c.node) << c.text;
    // The spelling formatFault gives reads back as the same fault.
    const auto again = parseFault(formatFault(*f), &error);
    ASSERT_TRUE(again) << formatFault(*f) << ": " << error;
    EXPECT_EQ(again->start, f->start);
    EXPECT_EQ(again->duration, f->duration);
  }
}

TEST(FaultParse, RejectsMalformedText) {
  for (const char* text :
       {"", "eeprom", "EEPROM-ABSENT", "eeprom-absent@", "eeprom-absent@5", "eeprom-absent@-1s",
        "eeprom-absent@1x", "eeprom-absent@1s+", "eeprom-absent:32", "eeprom-absent:-1",
        "eeprom-absent:", "eeprom-absent:5x", "power-cut@1s+1s", "power-cut@1s:5",
        "eeprom-stuck@99999999s", "bus-flood@nans"}) {
    std::string error;
    EXPECT_FALSE(parseFault(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(FaultApply, RejectsANodeThatIsNotThere) {
  sim::World world;
  AppliedFaults applied;
  std::string error;
  const Fault f{FaultKind::kEepromAbsent, 0, std::nullopt, 9};
  EXPECT_FALSE(applyFaults(std::span(&f, 1), world, {}, applied, &error));
  EXPECT_NE(error.find("no node 9"), std::string::npos);
}

TEST(FaultScenario, AbsentEepromLosesTheSaveButNotTheNode) {
  FaultRun run({"eeprom-absent@20ms+100ms:5"});
  run.setAndSave(5, prop::TORQUE_LIMIT, 1234);
  run.runUntil(fromMillis(15));
  ASSERT_EQ(run.stored(0, prop::TORQUE_LIMIT), 1234u);  // before the fault: stored
  run.runUntil(fromMillis(30));
  const Image before = run.image(0);
  run.setAndSave(5, prop::TORQUE_LIMIT, 999);  // lost, silently: the part is not there
  run.runUntil(fromMillis(60));
  EXPECT_TRUE(run.getLatency(5, prop::NODE_ID, fromMillis(40)));  // served during the fault
  EXPECT_TRUE(run.getLatency(7, prop::NODE_ID));                  // the other node unaffected
  run.runUntil(fromMillis(120));
  const auto latency = run.getLatency(5, prop::TORQUE_LIMIT);
  ASSERT_TRUE(latency);
  EXPECT_LE(*latency, kServeLimit);
  EXPECT_EQ(run.lastValue(), 999);  // the value in RAM
  EXPECT_EQ(run.image(0), before);  // nothing reached the cells
  run.send(5, {0x80 | prop::LOAD, 0, prop::TORQUE_LIMIT, 0});
  run.runUntil(fromMillis(130));
  ASSERT_TRUE(run.getLatency(5, prop::TORQUE_LIMIT));
  EXPECT_EQ(run.lastValue(), 1234);  // what was stored before the fault
}

TEST(FaultScenario, StuckEepromCostsTheWriteTimeNotTheNode) {
  FaultRun run({"eeprom-stuck@10ms+200ms:5"});
  run.runUntil(fromMillis(20));
  for (int i = 0; i < 4; ++i) run.setAndSave(5, prop::TORQUE_LIMIT, static_cast<int16_t>(100 + i));
  // Each save waits its bounded poll out (no frame is handled meanwhile), then gives up: the get
  // behind the four saves is answered once they have.
  run.runUntil(fromMillis(21));
  const auto behind = run.getLatency(5, prop::NODE_ID, fromMillis(200));
  ASSERT_TRUE(behind);
  EXPECT_GT(*behind, fromMillis(4 * 26 - 1));
  EXPECT_EQ(run.node(0).ring.droppedFrames(), 0u);
  run.runUntil(fromMillis(210));
  const auto latency = run.getLatency(5, prop::NODE_ID);
  ASSERT_TRUE(latency);
  EXPECT_LE(*latency, kServeLimit);
  // Saves after the part recovers are stored again.
  run.setAndSave(5, prop::TORQUE_LIMIT, 4321);
  run.runUntil(fromMillis(230));
  EXPECT_EQ(run.stored(0, prop::TORQUE_LIMIT), 4321u);
}

TEST(FaultScenario, FlippedReadsNeverChangeTheCells) {
  FaultRun run({"eeprom-flips@10ms+300ms:5"});
  run.runUntil(fromMillis(10));
  const Image before = run.image(0);
  // Loads read some values wrong (a restart would restore them wrong, the node number too).
  int wrong = 0;
  for (const uint8_t k : {prop::TORQUE_LIMIT, prop::VELOCITY_LIMIT, prop::POS_KP, prop::CUR_KP,
                          prop::CUR_KI, prop::POLES, prop::POSITION_SCALE, prop::ACCEL_LIMIT}) {
    run.send(5, {0x80 | prop::LOAD, 0, k, 0});
    run.runUntil(run.world().now() + fromMillis(2));
    ASSERT_TRUE(run.getLatency(5, k));
    wrong += static_cast<uint16_t>(run.lastValue()) != run.stored(0, k);
  }
  EXPECT_GT(wrong, 0);
  EXPECT_GT(run.board(0).eeprom->flippedReadCount(), 0u);
  EXPECT_EQ(run.image(0), before);  // reads never write
  run.runUntil(fromMillis(310));
  const auto latency = run.getLatency(5, prop::NODE_ID);
  ASSERT_TRUE(latency);
  EXPECT_LE(*latency, kServeLimit);
}

// Velocity mode with the encoder failing under the running loop: the bridge stays sound, the
// node serves throughout and after.
void encoderFault(const char* fault) {
  FaultRun run({fault});
  run.send(5, {0x80 | prop::MODE, 0, 4, 0});
  run.runUntil(fromMillis(10));
  run.send(5, {0x80 | prop::VELOCITY, 0, 0x00, 0x02});
  run.runUntil(fromMillis(150));
  EXPECT_TRUE(run.getLatency(5, prop::MODE, fromMillis(20)));
  run.runUntil(fromMillis(320));
  run.send(5, {0x80 | prop::MODE, 0, 0, 0});
  const auto latency = run.getLatency(5, prop::NODE_ID);
  ASSERT_TRUE(latency) << fault;
  EXPECT_LE(*latency, kServeLimit);
  run.runUntil(fromMillis(340));
  ASSERT_TRUE(run.getLatency(5, prop::MODE));
  EXPECT_EQ(run.lastValue(), 0);
  EXPECT_EQ(run.board(0).drive.shootThroughCount(), 0u);
}

TEST(FaultScenario, AbsentEncoderUnderAVelocityLoop) {
  encoderFault("encoder-absent@100ms+200ms:5");
}
TEST(FaultScenario, StuckEncoderUnderAVelocityLoop) {
  encoderFault("encoder-stuck@100ms+200ms:5");
}

TEST(FaultScenario, HomingWithoutAHardStopKeepsTheNodeServing) {
  FaultRun run({"no-hard-stop:5"});
  run.send(5, {0x80 | prop::ACTION, 0, 13, 0});  // home
  run.runUntil(fromMillis(300));
  const auto latency = run.getLatency(5, prop::NODE_ID);
  ASSERT_TRUE(latency);
  EXPECT_LE(*latency, kServeLimit);
  ASSERT_TRUE(run.getLatency(5, prop::HOMED));
  EXPECT_EQ(run.lastValue(), 0);  // nothing to home against
  // The shaft ran past where the stop was.
  EXPECT_GT(std::fabs(run.board(0).drive.plant().shaftAngle()), 0.0);
}

// A host floods the bus for `length`: the node's ring overflows (counted), the other node and the
// flooded one answer within 10 ms of the flood's end.
void flood(SimTime length) {
  const SimTime start = fromMillis(10);
  FaultRun run({"bus-flood@10ms+" + std::to_string(length / sim::kClocksPerMs) + "ms:5"});
  run.runUntil(start + length / 2);
  // Top priority at full load: no reply of either node reaches the bus meanwhile.
  EXPECT_FALSE(run.getLatency(7, prop::NODE_ID, fromMillis(5)));
  run.runUntil(start + length);
  EXPECT_GT(run.node(0).ring.droppedFrames(), 100u);  // the ring cannot keep up: counted
  // The bus carried the flood back to back: a 1-byte frame is at most 65 bits at 1 Mbit/s.
  EXPECT_GT(run.applied().floodFramesQueued,
            static_cast<uint64_t>(length / sim::fromMicros(65)) * 9 / 10);
  const SimTime end = run.world().now();
  for (const int n : kNodes) {
    const auto latency = run.servedAfter(n, prop::NODE_ID, end);
    ASSERT_TRUE(latency) << n;
    EXPECT_LE(*latency, kServeLimit) << n;
  }
}

TEST(FaultScenario, FloodEndsAndBothNodesAnswerAtOnce) {
  flood(fromMillis(2000));
}
// The full minute, by hand: --gtest_also_run_disabled_tests --gtest_filter=*Minute*
TEST(FaultScenario, DISABLED_FloodOfAMinute) {
  flood(fromMillis(60'000));
}

TEST(FaultScenario, PowerCutKeepsEverySaveTheNodeCompleted) {
  FaultRun run({"power-cut@50ms"});
  ASSERT_TRUE(run.applied().powerCut);
  for (int i = 0; i < 20; ++i) run.setAndSave(5, prop::TORQUE_LIMIT, static_cast<int16_t>(i));
  run.runUntil(*run.applied().powerCut);
  const Image cut = run.image(0);
  FaultRun after({}, {cut});
  ASSERT_TRUE(after.getLatency(5, prop::TORQUE_LIMIT));
  EXPECT_EQ(static_cast<uint16_t>(after.lastValue()), run.stored(0, prop::TORQUE_LIMIT));
  ASSERT_TRUE(after.getLatency(5, prop::NODE_ID));
  EXPECT_EQ(after.lastValue(), 5);
}

}  // namespace
}  // namespace tavrix::tools
