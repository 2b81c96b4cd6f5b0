#include "firmware/node/logger.hpp"

#include "firmware/node/node.hpp"

namespace tavrix {

// Context: main loop (software-timer callback, every second tick).
void Logger::logDump() {
  // First, every time: a one-tick delay makes it run on every second tick.
  node_.timers.timerAddEvent(callbacks::logDump, 1);
}

namespace callbacks {
void logDump(Node& node) {
  node.logger.logDump();
}
}  // namespace callbacks

}  // namespace tavrix
