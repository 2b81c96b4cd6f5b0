#include "tests/soak/soak.hpp"

#include <array>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "firmware/properties/property_table.hpp"
#include "sim/bus/can_message.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace tavrix::soak {
namespace {

using sim::fromMicros;
using sim::fromMillis;
using sim::SimTime;
using Image = std::vector<uint8_t>;

constexpr std::array<int, 4> kNodes = {3, 5, 9, 17};
constexpr uint32_t replyId(int n) {
  return 0x400u | static_cast<uint32_t>(n) << 5 | 6u;
}

// Properties the streams set and save: limits a host tunes, restored at start-up, none that
// moves the node's address or starts anything.
constexpr std::array<uint8_t, 3> kTunable = {prop::TORQUE_LIMIT, prop::VELOCITY_LIMIT,
                                             prop::ACCEL_LIMIT};

sim::CanMessage frame(uint32_t id, std::initializer_list<uint8_t> bytes) {
  sim::CanMessage m;
  m.id = id;
  m.length = static_cast<uint8_t>(bytes.size());
  size_t i = 0;
  for (uint8_t b : bytes) m.data[i++] = b;
  return m;
}

class Soak {
 public:
  explicit Soak(const SoakConfig& config) : config_(config), rng_(config.seed) {
    std::string error;
    defaults_ = *tools::shippedFactoryDefaults(&error);
    for (size_t i = 0; i < kNodes.size(); ++i) {
      Image image(sim::SerialEepromConfig{}.size_bytes, 0xFF);
      tools::writeFactoryImage(defaults_, kNodes[i], image);
      images_.push_back(image);
    }
  }

  SoakResult run() {
    SimTime left = config_.length;
    std::exponential_distribution<double> cut(1.0 / static_cast<double>(config_.meanCutInterval));
    while (left > 0 && result_.violation.empty()) {
      const auto epoch = std::min<SimTime>(left, fromMillis(20) + static_cast<SimTime>(cut(rng_)));
      runEpoch(epoch);
      left -= epoch;
      if (left > 0) ++result_.powerCuts;
    }
    result_.candump = log_.str();
    return result_;
  }

 private:
  void fail(const std::string& what) {
    if (result_.violation.empty()) result_.violation = what;
  }

  // One power cycle: the nodes start from the images, run `length`, and the power goes.
  void runEpoch(SimTime length) {
    sim::World world;
    std::vector<std::unique_ptr<tools::NodeBoard>> boards;
    for (size_t i = 0; i < kNodes.size(); ++i) {
      sim::SerialEepromConfig part;
      part.write_cycle_clk = fromMicros(500);
      boards.push_back(
          std::make_unique<tools::NodeBoard>(std::make_unique<sim::SerialEeprom>(part)));
      boards.back()->eeprom->preload(0, images_[i]);
      boards.back()->attach(world, "node" + std::to_string(kNodes[i]));
    }
    world.addRecorder(log_);
    std::array<sim::HostEndpoint*, 2> hosts = {&world.addHostEndpoint("hostA"),
                                               &world.addHostEndpoint("hostB")};
    for (sim::HostEndpoint* h : hosts) {
      h->keepHistory(false);
      h->onReceive([this](const sim::CanMessage& m, SimTime) { checkReceived(m); });
    }
    world.runFor(fromMillis(5));  // start-up
    checkStarted(boards);

    const SimTime end = world.now() + length;
    std::uniform_int_distribution<int> gap(100, 3000);  // us between a host's frames
    std::array<SimTime, 2> next = {world.now(), world.now() + fromMicros(500)};
    while (world.now() < end && result_.violation.empty()) {
      for (size_t h = 0; h < hosts.size(); ++h) {
        if (world.now() >= next[h]) {
          sendRandom(*hosts[h]);
          next[h] = world.now() + fromMicros(gap(rng_));
        }
      }
      world.runFor(std::min<SimTime>(fromMicros(250), end - world.now()));
      for (size_t i = 0; i < boards.size(); ++i) {
        if (boards[i]->drive.shootThroughCount() != 0) fail("both switches of a phase on");
      }
    }
    // The power goes: what the parts held is what the next cycle starts from.
    for (size_t i = 0; i < boards.size(); ++i) {
      images_[i].assign(boards[i]->eeprom->image().begin(), boards[i]->eeprom->image().end());
      result_.dropped += boards[i]->slot.node().ring.droppedFrames();
      result_.resets += world.node(i).resetCount();
    }
    checkImages();
  }

  void sendRandom(sim::HostEndpoint& host) {
    const size_t i = std::uniform_int_distribution<size_t>(0, kNodes.size() - 1)(rng_);
    const auto n = static_cast<uint32_t>(kNodes[i]);
    const int pick = std::uniform_int_distribution<int>(0, 999)(rng_);
    const uint8_t k = kTunable[std::uniform_int_distribution<size_t>(0, kTunable.size() - 1)(rng_)];
    const auto value = static_cast<uint16_t>(std::uniform_int_distribution<int>(100, 3000)(rng_));
    const auto lo = static_cast<uint8_t>(value & 0xFF);
    const auto hi = static_cast<uint8_t>(value >> 8);
    sim::CanMessage m;
    if (pick < 450) {  // a get of any number
      m = frame(n, {static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 126)(rng_))});
    } else if (pick < 650) {
      m = frame(n, {static_cast<uint8_t>(0x80 | k), 0, lo, hi});
    } else if (pick < 750) {
      m = frame(n, {0x80 | prop::SAVE, 0, k, 0});
    } else if (pick < 800) {
      m = frame(0x400, {prop::NODE_ID});  // group: every node answers
    } else if (pick < 880) {
      m = frame(n, {0x80 | prop::MODE, 0, 4, 0});
    } else if (pick < 930) {
      m = frame(n, {0x80 | prop::VELOCITY, 0, static_cast<uint8_t>(value & 0x3F), 0});
    } else if (pick < 970) {
      m = frame(n, {0x80 | prop::MODE, 0, 0, 0});
    } else if (pick < 985) {
      m = frame(n, {0x80 | prop::ACTION, 0, 13, 0});  // home
    } else if (pick < 993) {
      m = frame(n, {0x5A, 0xA6});  // reset
    } else if (pick < 996) {
      m = frame(n, {0x01, static_cast<uint8_t>(n)});  // switch to CANopen (NMT start)
    } else {
      m = frame(0x600 | n, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});  // SDO upload 0x1000
    }
    host.send(m);
    ++result_.framesSent;
  }

  // Every property reply and SDO response comes from one of the nodes, at its own identifier.
  void checkReceived(const sim::CanMessage& m) {
    if (m.extended) return fail("an extended frame from a node");
    if ((m.id & 0x41F) == 0x406) {
      ++result_.replies;
      bool ours = false;
      for (int n : kNodes) ours = ours || m.id == replyId(n);
      if (!ours) fail("a reply at an identifier of no node: " + std::to_string(m.id));
    } else if (m.id >= 0x580 && m.id <= 0x5FF) {
      bool ours = false;
      for (int n : kNodes) ours = ours || m.id == (0x580u | static_cast<uint32_t>(n));
      if (!ours) fail("an SDO response for no node: " + std::to_string(m.id));
    }
  }

  // After every start: each node at the number its image holds.
  void checkStarted(std::vector<std::unique_ptr<tools::NodeBoard>>& boards) {
    for (size_t i = 0; i < boards.size(); ++i) {
      const Node& node = boards[i]->slot.node();
      if (node.property[prop::NODE_ID] != kNodes[i]) fail("a node restarted at another number");
      for (const uint8_t k : kTunable) {
        const auto stored = static_cast<int16_t>(images_[i][2 * k] | images_[i][2 * k + 1] << 8);
        if (node.property[k] != stored) {
          fail("a restored value differs from the image: property " + std::to_string(k));
        }
      }
    }
  }

  // After every cut: the images still hold each node's own number.
  void checkImages() {
    for (size_t i = 0; i < images_.size(); ++i) {
      if ((images_[i][2 * prop::NODE_ID] & 0x1F) != kNodes[i]) fail("a node number lost");
    }
  }

  SoakConfig config_;
  std::mt19937 rng_;
  tools::FactoryDefaults defaults_;
  std::vector<Image> images_;
  std::ostringstream log_;
  SoakResult result_;
};

}  // namespace

SoakResult runSoak(const SoakConfig& config) {
  return Soak(config).run();
}

}  // namespace tavrix::soak
