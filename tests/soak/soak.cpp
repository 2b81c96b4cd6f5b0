#include "tests/soak/soak.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <streambuf>
#include <string>
#include <vector>

#include "firmware/node/property_protocol.hpp"
#include "firmware/properties/property_table.hpp"
#include "sim/bus/can_message.hpp"
#include "tests/soak/torque_bound.hpp"
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

// The axis of every node: hard stops half a turn either side of where the shaft starts, so a
// homing finds both within a power cycle or two.
constexpr double kStopRad = 3.0;

// Liveness: every node is sent a get this often, and must answer within kAnswerWithin (a node
// restarted meanwhile is asked again).
constexpr SimTime kProbeEvery = fromMillis(50);
constexpr SimTime kAnswerWithin = fromMillis(30);

// Objects a host reads from a node that speaks CANopen.
struct ObjectRef {
  uint16_t index;
  uint8_t sub;
};
constexpr std::array<ObjectRef, 7> kUploads = {
    {{0x1000, 0}, {0x1001, 0}, {0x1018, 1}, {0x2201, 0}, {0x6061, 0}, {0x1017, 0}, {0x60A1, 0}}};

sim::CanMessage frame(uint32_t id, std::initializer_list<uint8_t> bytes) {
  sim::CanMessage m;
  m.id = id;
  m.length = static_cast<uint8_t>(bytes.size());
  size_t i = 0;
  for (uint8_t b : bytes) m.data[i++] = b;
  return m;
}

sim::CanMessage set16(uint32_t n, uint8_t k, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  return frame(n, {static_cast<uint8_t>(0x80 | k), 0, static_cast<uint8_t>(v & 0xFF),
                   static_cast<uint8_t>(v >> 8 & 0xFF)});
}

sim::CanMessage set32(uint32_t n, uint8_t k, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  return frame(n, {static_cast<uint8_t>(0x80 | k), 0, static_cast<uint8_t>(v & 0xFF),
                   static_cast<uint8_t>(v >> 8 & 0xFF), static_cast<uint8_t>(v >> 16 & 0xFF),
                   static_cast<uint8_t>(v >> 24)});
}

sim::CanMessage sdoUpload(uint32_t n, ObjectRef o) {
  return frame(0x600 | n, {0x40, static_cast<uint8_t>(o.index & 0xFF),
                           static_cast<uint8_t>(o.index >> 8), o.sub, 0, 0, 0, 0});
}

// An expedited download of four bytes.
sim::CanMessage sdoDownload(uint32_t n, ObjectRef o, uint32_t value) {
  return frame(0x600 | n,
               {0x23, static_cast<uint8_t>(o.index & 0xFF), static_cast<uint8_t>(o.index >> 8),
                o.sub, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8 & 0xFF),
                static_cast<uint8_t>(value >> 16 & 0xFF), static_cast<uint8_t>(value >> 24)});
}

// The candump's bytes: hashed as they come (FNV-1a), kept when asked.
class DumpBuf final : public std::streambuf {
 public:
  explicit DumpBuf(bool keep) : keep_(keep) {}
  uint64_t hash() const { return hash_; }
  std::string& text() { return text_; }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) add(static_cast<char>(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) add(s[i]);
    return n;
  }

 private:
  void add(char c) {
    hash_ = (hash_ ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    if (keep_) text_.push_back(c);
  }
  bool keep_;
  uint64_t hash_ = 14695981039346656037ull;
  std::string text_;
};

int16_t word(const Image& image, int k) {
  return static_cast<int16_t>(image[static_cast<size_t>(2 * k)] |
                              image[static_cast<size_t>(2 * k + 1)] << 8);
}

// What the soak keeps of one node within a power cycle.
struct Watch {
  SimTime lastHeard = 0;   // the last reply or SDO response the node sent
  SimTime probeSent = -1;  // the pending liveness get, -1 when none
  SimTime nextProbe = 0;
  uint32_t resetsAtProbe = 0;
  // Per tunable property: every value a host set since the power came on, and the image's.
  std::array<std::set<int16_t>, kTunable.size()> candidates;
};

class Soak {
 public:
  explicit Soak(const SoakConfig& config)
      : config_(config), rng_(config.seed), dump_(config.keepCandump), log_(&dump_) {
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
      result_.simulated += epoch;
      if (left > 0) ++result_.powerCuts;
    }
    log_.flush();
    result_.candump = std::move(dump_.text());
    result_.candumpHash = dump_.hash();
    return result_;
  }

 private:
  void fail(const std::string& what) {
    if (result_.violation.empty()) {
      result_.violation = what + " (power cycle " + std::to_string(result_.powerCuts) + ")";
    }
  }

  // One power cycle: the nodes start from the images, run `length`, and the power goes.
  void runEpoch(SimTime length) {
    sim::World world;
    boards_.clear();
    torqueBounds_.clear();
    watches_ = {};
    for (size_t i = 0; i < kNodes.size(); ++i) {
      sim::SerialEepromConfig part;
      part.write_cycle_clk = fromMicros(500);
      boards_.push_back(
          std::make_unique<tools::NodeBoard>(std::make_unique<sim::SerialEeprom>(part)));
      tools::NodeBoard& board = *boards_.back();
      torqueBounds_.push_back(std::make_unique<TorqueBound>(board.drive));
      board.eeprom->preload(0, images_[i]);
      board.drive.plant().setHardStops(-kStopRad, kStopRad);
      sim::SimNode& simNode = board.attach(world, "node" + std::to_string(kNodes[i]));
      // Every compare set the firmware programs must lie inside the period it runs in.
      simNode.chip().motorTimer().onPeriodStart([this, &board](const sim::PwmPeriod& p) {
        board.drive.setPeriod(p);
        for (const int16_t c : p.compare) {
          if (c < p.start_value || c > p.modulo) fail("a compare value outside the PWM period");
        }
      });
      for (size_t t = 0; t < kTunable.size(); ++t) {
        watches_[i].candidates[t].insert(word(images_[i], kTunable[t]));
      }
    }
    world.addRecorder(log_);
    std::array<sim::HostEndpoint*, 2> hosts = {&world.addHostEndpoint("hostA"),
                                               &world.addHostEndpoint("hostB")};
    for (sim::HostEndpoint* h : hosts) h->keepHistory(false);
    // Each host hears every frame of the nodes (and the other host's); one of them checks.
    hosts[0]->onReceive(
        [this, &world](const sim::CanMessage& m, SimTime) { checkReceived(m, world.now()); });
    world.runFor(fromMillis(5));  // start-up
    checkStarted();
    for (size_t i = 0; i < kNodes.size(); ++i) {
      watches_[i].lastHeard = world.now();
      watches_[i].nextProbe = world.now() + fromMillis(10) * static_cast<SimTime>(i + 1);
    }

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
      probe(world, *hosts[0]);
      world.runFor(std::min<SimTime>(fromMicros(250), end - world.now()));
      for (size_t i = 0; i < boards_.size(); ++i) checkDrive(world, i);
    }
    // The power goes: what the parts held is what the next cycle starts from.
    for (size_t i = 0; i < boards_.size(); ++i) {
      const Image before = images_[i];
      images_[i].assign(boards_[i]->eeprom->image().begin(), boards_[i]->eeprom->image().end());
      result_.dropped += boards_[i]->slot.node().ring.droppedFrames();
      result_.resets += world.node(i).resetCount();
      checkImage(i, before);
    }
    boards_.clear();
  }

  Node& node(size_t i) { return boards_[i]->slot.node(); }

  void sendRandom(sim::HostEndpoint& host) {
    const size_t i = std::uniform_int_distribution<size_t>(0, kNodes.size() - 1)(rng_);
    const auto n = static_cast<uint32_t>(kNodes[i]);
    const int pick = std::uniform_int_distribution<int>(0, 999)(rng_);
    const size_t t = std::uniform_int_distribution<size_t>(0, kTunable.size() - 1)(rng_);
    const uint8_t k = kTunable[t];
    const auto value = static_cast<uint16_t>(std::uniform_int_distribution<int>(100, 3000)(rng_));
    const int spread = std::uniform_int_distribution<int>(-2000, 2000)(rng_);
    const auto lo = static_cast<uint8_t>(value & 0xFF);
    const auto hi = static_cast<uint8_t>(value >> 8);
    sim::CanMessage m;
    if (node(i).ring.parseMode == 1) {
      m = canOpenCommand(n, pick, spread);
    } else if (pick < 400) {  // a get of any number
      m = frame(n, {static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 126)(rng_))});
    } else if (pick < 550) {
      m = frame(n, {static_cast<uint8_t>(0x80 | k), 0, lo, hi});
      watches_[i].candidates[t].insert(static_cast<int16_t>(value));
    } else if (pick < 620) {
      m = frame(n, {0x80 | prop::SAVE, 0, k, 0});
    } else if (pick < 660) {
      m = frame(0x400, {prop::NODE_ID});  // group: every node answers
    } else if (pick < 720) {
      m = frame(n, {0x80 | prop::MODE, 0, 4, 0});
    } else if (pick < 770) {
      m = set16(n, prop::VELOCITY, spread / 8);
    } else if (pick < 790) {
      m = frame(n, {0x80 | prop::MODE, 0, 2, 0});
    } else if (pick < 820) {
      m = set16(n, prop::TORQUE, spread);
    } else if (pick < 850) {
      m = frame(n, {0x80 | prop::MODE, 0, 3, 0});
    } else if (pick < 880) {
      m = set32(n, prop::POSITION, spread);  // a position command in mode 3
    } else if (pick < 900) {
      m = frame(n, {0x80 | prop::MODE, 0, 0, 0});
    } else if (pick < 915) {
      m = set32(n, prop::PROFILE_START, 1000 + spread / 2);  // a profile move
    } else if (pick < 930) {
      m = set16(n, prop::SCALED_TARGET, spread * 16);  // a scaled move, once homed
    } else if (pick < 955) {
      m = frame(n, {0x80 | prop::ACTION, 0, PropertyProtocol::kActionHome, 0});
    } else if (pick < 965) {
      m = frame(n, {0x80 | prop::MODE, 0, 5, 0});
    } else if (pick < 975) {
      m = frame(n, {0x5A, 0xA6});  // reset
    } else if (pick < 982) {
      m = frame(n, {0x01, static_cast<uint8_t>(n)});  // switch to CANopen (NMT start)
    } else {
      m = sdoUpload(n, kUploads[0]);  // not for a node in the property protocol
    }
    host.send(m);
    ++result_.framesSent;
  }

  // A command to a node that speaks CANopen: SDO reads and writes, NMT, now and then a frame of
  // the property protocol (which it must ignore) or a reset back to it.
  sim::CanMessage canOpenCommand(uint32_t n, int pick, int spread) {
    if (pick < 500) {
      return sdoUpload(n, kUploads[static_cast<size_t>(pick) % kUploads.size()]);
    }
    if (pick < 650) {
      static constexpr std::array<uint32_t, 4> kModes = {0, 4, 3, 2};
      return sdoDownload(n, {0x6060, 0}, kModes[static_cast<size_t>(pick) % kModes.size()]);
    }
    if (pick < 720) {
      return sdoDownload(n, {0x1017, 0}, static_cast<uint32_t>(50 + std::abs(spread) / 4));
    }
    if (pick < 800) return frame(n, {prop::FIRMWARE_ID});
    if (pick < 900) return frame(0, {0x01, static_cast<uint8_t>(n)});  // NMT start
    if (pick < 960) return frame(0, {0x80, static_cast<uint8_t>(n)});  // NMT pre-operational
    if (pick < 975) return frame(0, {0x81, static_cast<uint8_t>(n)});  // NMT reset node
    return sdoUpload(n, {0x60A1, 0});
  }

  // A get to each node in turn; a node that sent nothing kAnswerWithin after it has hung.
  void probe(sim::World& world, sim::HostEndpoint& host) {
    const SimTime now = world.now();
    for (size_t i = 0; i < kNodes.size(); ++i) {
      Watch& w = watches_[i];
      const uint32_t resets = world.node(i).resetCount();
      if (w.probeSent >= 0) {
        if (w.lastHeard >= w.probeSent) {
          w.probeSent = -1;
        } else if (resets != w.resetsAtProbe) {
          w.probeSent = -1;  // restarted meanwhile: ask again
          w.nextProbe = now + fromMillis(10);
        } else if (now - w.probeSent > kAnswerWithin) {
          fail("node " + std::to_string(kNodes[i]) + " silent 30 ms after a get");
        }
      }
      if (w.probeSent < 0 && now >= w.nextProbe) {
        const auto n = static_cast<uint32_t>(kNodes[i]);
        host.send(node(i).ring.parseMode == 1 ? sdoUpload(n, kUploads[0])
                                              : frame(n, {prop::FIRMWARE_ID}));
        w.probeSent = now;
        w.resetsAtProbe = resets;
        w.nextProbe = now + kProbeEvery;
        ++result_.probes;
      }
    }
  }

  // Every property reply and SDO response comes from one of the nodes, at its own identifier.
  void checkReceived(const sim::CanMessage& m, SimTime now) {
    if (m.extended) return fail("an extended frame from a node");
    int from = -1;
    if ((m.id & 0x41F) == 0x406) {
      ++result_.replies;
      from = static_cast<int>(m.id >> 5 & 0x1F);
      bool ours = false;
      for (int n : kNodes) ours = ours || m.id == replyId(n);
      if (!ours) fail("a reply at an identifier of no node: " + std::to_string(m.id));
    } else if (m.id >= 0x580 && m.id <= 0x5FF) {
      ++result_.replies;
      from = static_cast<int>(m.id & 0x7F);
      bool ours = false;
      for (int n : kNodes) ours = ours || m.id == (0x580u | static_cast<uint32_t>(n));
      if (!ours) fail("an SDO response for no node: " + std::to_string(m.id));
    }
    for (size_t i = 0; i < kNodes.size(); ++i) {
      if (kNodes[i] == from) watches_[i].lastHeard = now;
    }
  }

  // The bridge and the torque of node i (tests/soak/torque_bound.hpp explains the bound). While
  // a homing runs, the override it set from HOME_TORQUE replaces the limit: the node's own
  // override is taken, as a homing may be asked for just before a restart and run after it.
  void checkDrive(sim::World& world, size_t i) {
    tools::NodeBoard& board = *boards_[i];
    if (board.drive.shootThroughCount() != 0) fail("both switches of a phase on");
    const int16_t* property = node(i).property;
    const int32_t homeTorque = std::abs(static_cast<int32_t>(node(i).drive.limitedMT));
    board.drive.advanceTo(world.now());
    const sim::Pmsm& plant = board.drive.plant();
    const double bound =
        torqueBounds_[i]->update(world.now(), TorqueBound::limitUnits(property, homeTorque), plant);
    if (std::fabs(plant.torque()) > bound) {
      fail("node " + std::to_string(kNodes[i]) + ": torque " + std::to_string(plant.torque()) +
           " N m beyond the " + std::to_string(bound) + " N m the limit of " +
           std::to_string(torqueBounds_[i]->lastLimitUnits()) + " units allows (mode " +
           std::to_string(property[prop::MODE]) + ", status " +
           std::to_string(property[prop::STATUS]) + ", " + std::to_string(plant.shaftVelocity()) +
           " rad/s at " + std::to_string(plant.shaftAngle()) + " rad)");
    }
  }

  // After every start: each node at the number its image holds.
  void checkStarted() {
    for (size_t i = 0; i < boards_.size(); ++i) {
      const Node& n = boards_[i]->slot.node();
      if (n.property[prop::NODE_ID] != kNodes[i]) fail("a node restarted at another number");
      for (const uint8_t k : kTunable) {
        if (n.property[k] != word(images_[i], k)) {
          fail("a restored value differs from the image: property " + std::to_string(k));
        }
      }
    }
  }

  // After every cut: the image still holds the node's own number, each tunable word holds its
  // value from before or one a host set meanwhile (never a torn or foreign one), and no other
  // property word changed.
  void checkImage(size_t i, const Image& before) {
    const Image& image = images_[i];
    if ((image[2 * prop::NODE_ID] & 0x1F) != kNodes[i]) fail("a node number lost");
    for (size_t t = 0; t < kTunable.size(); ++t) {
      if (watches_[i].candidates[t].count(word(image, kTunable[t])) == 0) {
        fail("node " + std::to_string(kNodes[i]) + ": property " + std::to_string(kTunable[t]) +
             " saved as a value no host set: " + std::to_string(word(image, kTunable[t])));
      }
    }
    for (int k = 0; k < kPropertyCount; ++k) {
      if (std::find(kTunable.begin(), kTunable.end(), k) != kTunable.end()) continue;
      if (word(image, k) != word(before, k)) {
        fail("node " + std::to_string(kNodes[i]) + ": property " + std::to_string(k) +
             " changed in the EEPROM without a save");
      }
    }
  }

  SoakConfig config_;
  std::mt19937 rng_;
  tools::FactoryDefaults defaults_;
  std::vector<Image> images_;
  std::vector<std::unique_ptr<tools::NodeBoard>> boards_;
  std::vector<std::unique_ptr<TorqueBound>> torqueBounds_;
  std::array<Watch, kNodes.size()> watches_;
  DumpBuf dump_;
  std::ostream log_;
  SoakResult result_;
};

}  // namespace

SoakResult runSoak(const SoakConfig& config) {
  return Soak(config).run();
}

}  // namespace tavrix::soak
