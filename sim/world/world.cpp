#include "sim/world/world.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tavrix::sim {

SimNode::SimNode(EventQueue& queue, CanBus& bus, size_t index, TouchSet& touched, NodeConfig config,
                 const WorldConfig& world)
    : name_(config.name.empty() ? "node" + std::to_string(index) : std::move(config.name)),
      index_(index),
      factory_(std::move(config.factory)),
      chip_(std::make_unique<SimChip>(
          queue, &bus,
          SimChipConfig{name_, config.spi0, config.spi1, config.analog, world.runaway_call_limit})),
      fiber_(world.stack_bytes) {
  chip_->setHost(this);
  // Not entered yet: the first run starts it.
  chip_->joinTouchSet(touched, index_);
  touched.mark(index_);
  construct();
}

void SimNode::construct() {
  app_ = &factory_(chip_->platform());
  chip_->setApplication(app_);
  fiber_.start(&SimNode::entry, this);
}

void SimNode::entry(void* self) {
  static_cast<SimNode*>(self)->app_->main();
}

void SimNode::park() {
  if (!fiber_.running()) {  // only its own fiber runs while it is resumed
    std::fprintf(stderr, "%s: waits outside its own code (no fiber to park)\n", name_.c_str());
    std::abort();
  }
  fiber_.yield();
}

void SimNode::systemReset() {
  if (Fiber::current() != &fiber_) {
    std::fprintf(stderr, "%s: system reset outside its own code\n", name_.c_str());
    std::abort();
  }
  reset_requested_ = true;
  fiber_.abandon();
}

void SimNode::run() {
  for (;;) {
    fiber_.resume();
    if (!reset_requested_) return;
    // The chip restarts from its power-on state and the application is built afresh over its
    // old storage; board parts (the EEPROM's cells) keep their state.
    reset_requested_ = false;
    ++resets_;
    chip_->powerOnReset();
    construct();
  }
}

World::World(WorldConfig config) : config_(config) {}

World::~World() = default;

SimNode& World::addNode(NodeConfig config) {
  if (!config.factory) throw std::invalid_argument("node without an application factory");
  const size_t index = touched_.add();
  nodes_.push_back(std::unique_ptr<SimNode>(
      new SimNode(queue_, bus_, index, touched_, std::move(config), config_)));
  return *nodes_.back();
}

HostEndpoint& World::addHostEndpoint(std::string name) {
  hosts_.push_back(std::make_unique<HostEndpoint>(bus_, std::move(name)));
  return *hosts_.back();
}

CanRecorder& World::addRecorder(std::ostream& out, std::string iface) {
  recorders_.push_back(std::make_unique<CanRecorder>(bus_, out, std::move(iface)));
  return *recorders_.back();
}

void World::runTouchedNodes() {
  // Passes over the nodes in the order they were added, running each whose chip is touched
  // (or that has not started), until a whole pass runs none. A node touched by a run later in
  // the order runs in the same pass, one earlier in the order in the next pass.
  if (!touched_.any()) return;  // an internal step of a peripheral touches no chip
  size_t from = 0;
  for (;;) {
    const size_t i = touched_.next(from);
    if (i == TouchSet::kNone) {
      // A pass that ran nothing ends it; so does one after which nothing is touched (the pass
      // from the start that would follow could run nothing).
      if (from == 0 || !touched_.any()) return;
      from = 0;
      continue;
    }
    SimNode& node = *nodes_[i];
    node.chip_->takeTouched();
    node.run();
    from = i + 1;
  }
}

void World::runUntil(SimTime t) {
  if (Fiber::current() != nullptr || running_) {
    std::fprintf(stderr, "world: run from inside a run (a node's code or an event callback)\n");
    std::abort();
  }
  running_ = true;
  struct Done {
    bool& running;
    ~Done() { running = false; }
  } done{running_};  // also when an event callback throws
  runTouchedNodes();
  while (queue_.runNextUpTo(t)) runTouchedNodes();
  queue_.advanceTo(t);
}

}  // namespace tavrix::sim
