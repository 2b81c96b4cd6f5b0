// The digital twin's world: simulated time, the CAN bus, and the nodes whose firmware runs on
// simulated chips, one fiber per node.
//
// The world always advances to the earliest event on its queue; after each event it resumes
// every node whose chip the event touched (an interrupt request, or a peripheral state its code
// may be polling), in the order the nodes were added. A node's code runs until it relaxes with
// nothing left to deliver. Runs are deterministic: the same inputs give the same bytes out.
//
//   World world;
//   TestAppSlot app(...);                       // or a factory constructing a firmware node
//   SimNode& n = world.addNode({.name = "node5", .factory = app.factory(), .spi0 = &eeprom});
//   HostEndpoint& host = world.addHostEndpoint();
//   world.addRecorder(std::cout);
//   host.send(frame);
//   world.runFor(fromMillis(10));
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "firmware/platform/platform.hpp"
#include "sim/bus/can_bus.hpp"
#include "sim/bus/can_recorder.hpp"
#include "sim/bus/host_endpoint.hpp"
#include "sim/mcu/analog_source.hpp"
#include "sim/mcu/sim_chip.hpp"
#include "sim/mcu/spi_device.hpp"
#include "sim/world/event_queue.hpp"
#include "sim/world/fiber.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

// Constructs the application over storage the factory owns (placement new) and returns it; it
// is called again after every system reset, over the same storage. The world never deletes an
// application.
using AppFactory = std::function<platform::Application&(platform::Platform&)>;

struct NodeConfig {
  std::string name;                // for logs and diagnostics
  AppFactory factory;              // required
  SpiDevice* spi0 = nullptr;       // the serial EEPROM; not owned, outlives the world
  SpiDevice* spi1 = nullptr;       // the rotor encoder; not owned
  AnalogSource* analog = nullptr;  // the converters' inputs; not owned; null reads 0
};

struct WorldConfig {
  size_t stack_bytes = Fiber::defaultStackBytes();
  uint64_t runaway_call_limit = 50'000'000;
};

class SimNode final : private CpuHost {
 public:
  const std::string& name() const { return name_; }
  size_t index() const { return index_; }
  SimChip& chip() { return *chip_; }
  platform::Application& application() { return *app_; }
  // System resets since the node was added.
  uint32_t resetCount() const { return resets_; }

 private:
  friend class World;
  // `index` is the node's member of `touched`, the world's set of touched chips.
  SimNode(EventQueue& queue, CanBus& bus, size_t index, TouchSet& touched, NodeConfig config,
          const WorldConfig& world);

  void park() override;
  [[noreturn]] void systemReset() override;
  void construct();
  void run();
  static void entry(void* self);

  std::string name_;
  size_t index_;
  AppFactory factory_;
  std::unique_ptr<SimChip> chip_;
  Fiber fiber_;
  platform::Application* app_ = nullptr;
  bool reset_requested_ = false;
  uint32_t resets_ = 0;
};

class World {
 public:
  explicit World(WorldConfig config = {});
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // The node's application is constructed at once; its main() starts at the next run.
  // Throws std::invalid_argument without a factory.
  SimNode& addNode(NodeConfig config);
  HostEndpoint& addHostEndpoint(std::string name = "host");
  // Every frame completing on the bus from now on, as candump lines.
  CanRecorder& addRecorder(std::ostream& out, std::string iface = "can0");

  // Runs every event up to and including `t`, then leaves the clock at `t`. Scheduler context
  // only: neither from inside a node's code nor from a callback of a run in progress.
  void runUntil(SimTime t);
  void runFor(SimTime duration_clk) { runUntil(now() + duration_clk); }

  SimTime now() const { return queue_.now(); }
  EventQueue& queue() { return queue_; }
  CanBus& bus() { return bus_; }
  size_t nodeCount() const { return nodes_.size(); }
  SimNode& node(size_t index) { return *nodes_.at(index); }

 private:
  void runTouchedNodes();

  WorldConfig config_;
  bool running_ = false;
  EventQueue queue_;
  CanBus bus_{queue_};
  TouchSet touched_;  // nodes whose chips an event touched, by index
  std::vector<std::unique_ptr<SimNode>> nodes_;
  std::vector<std::unique_ptr<HostEndpoint>> hosts_;
  std::vector<std::unique_ptr<CanRecorder>> recorders_;
};

}  // namespace tavrix::sim
