// One firmware node's board in the digital twin: the storage the node is (re)constructed in, its
// serial EEPROM, rotor encoder and analog inputs. The simulator, the scenario tests and the fuzz
// harness build their worlds from these.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "firmware/node/node.hpp"
#include "sim/board/rotor_encoder.hpp"
#include "sim/board/serial_eeprom.hpp"
#include "sim/mcu/analog_source.hpp"
#include "sim/world/world.hpp"
#include "tools/tavrix-sim/factory.hpp"

namespace tavrix::tools {

// Storage for one firmware node; every system reset constructs a fresh Node over it.
class NodeSlot {
 public:
  sim::AppFactory factory() {
    return [this](platform::Platform& p) -> platform::Application& {
      node_ = new (storage_) Node(p);
      return *node_;
    };
  }
  // The node as last constructed.
  Node& node() { return *node_; }

 private:
  alignas(Node) std::byte storage_[sizeof(Node)];
  Node* node_ = nullptr;
};

struct NodeBoard {
  explicit NodeBoard(std::unique_ptr<sim::SerialEeprom> part) : eeprom(std::move(part)) {}

  std::unique_ptr<sim::SerialEeprom> eeprom;
  sim::RotorEncoder encoder;
  sim::ConstantAnalogSource analog{2048};  // mid-scale on every input until the plant exists
  NodeSlot slot;

  // Writes the default set with NODE_ID = nodeId into the EEPROM if it is blank; true if it did.
  bool writeFactorySetIfBlank(const FactoryDefaults& defaults, int nodeId) {
    std::vector<uint8_t> image(eeprom->image().begin(), eeprom->image().end());
    if (!isBlankImage(image)) return false;
    writeFactoryImage(defaults, nodeId, image);
    eeprom->preload(0, image);
    return true;
  }

  // Adds this board's node to `world` under `name`.
  sim::SimNode& attach(sim::World& world, const std::string& name) {
    return world.addNode({.name = name,
                          .factory = slot.factory(),
                          .spi0 = eeprom.get(),
                          .spi1 = &encoder,
                          .analog = &analog});
  }
};

}  // namespace tavrix::tools
