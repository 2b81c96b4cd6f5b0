// One firmware node's board in the digital twin: the storage the node is (re)constructed in, its
// serial EEPROM, and the reference drive's power stage, sensors, encoder and motor (the plant).
// The simulator, the scenario tests and the fuzz harness build their worlds from these.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "firmware/node/node.hpp"
#include "sim/board/drive_board.hpp"
#include "sim/board/reference_drive.hpp"
#include "sim/board/serial_eeprom.hpp"
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
  // The shipped reference drive unless another is given.
  explicit NodeBoard(std::unique_ptr<sim::SerialEeprom> part,
                     const sim::ReferenceDrive& reference = shippedReferenceDrive())
      : eeprom(std::move(part)), drive(reference.plant, reference.board) {}

  std::unique_ptr<sim::SerialEeprom> eeprom;
  sim::DriveBoard drive;  // bridge, sensors, encoder and the motor behind them
  NodeSlot slot;

  // Writes the default set with NODE_ID = nodeId into the EEPROM if it is blank; true if it did.
  bool writeFactorySetIfBlank(const FactoryDefaults& defaults, int nodeId) {
    std::vector<uint8_t> image(eeprom->image().begin(), eeprom->image().end());
    if (!isBlankImage(image)) return false;
    writeFactoryImage(defaults, nodeId, image);
    eeprom->preload(0, image);
    return true;
  }

  // Adds this board's node to `world` under `name`, with the bridge on its PWM timer and gate
  // pins.
  sim::SimNode& attach(sim::World& world, const std::string& name) {
    sim::SimNode& node = world.addNode({.name = name,
                                        .factory = slot.factory(),
                                        .spi0 = eeprom.get(),
                                        .spi1 = &drive.encoderPort(),
                                        .analog = &drive});
    drive.attach(node.chip().motorTimer(), node.chip().gpio(), world.queue());
    return node;
  }
};

}  // namespace tavrix::tools
