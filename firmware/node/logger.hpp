// Data logger: records the current loop's inner signals and dumps them over CAN.
//
// Placeholder until the logger itself is built: logDump keeps its two-tick rhythm (it registers
// itself again every time it runs) and does nothing else yet; there is no recording.
#pragma once

namespace tavrix {

class Node;

class Logger {
 public:
  explicit Logger(Node& node) : node_(node) {}

  // Context: main loop (software-timer callback, every second tick).
  void logDump();

 private:
  Node& node_;
};

namespace callbacks {
// Software-timer callback: Logger::logDump of the node.
void logDump(Node& node);
}  // namespace callbacks

}  // namespace tavrix
