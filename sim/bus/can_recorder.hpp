// Writes every frame that completes on the bus as one candump log line, stamped with its
// end-of-frame time relative to the start of the run.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "sim/bus/can_bus.hpp"

namespace tavrix::sim {

class CanRecorder final : public CanEndpoint {
 public:
  CanRecorder(CanBus& bus, std::ostream& out, std::string iface = "can0");
  ~CanRecorder() override;
  CanRecorder(const CanRecorder&) = delete;
  CanRecorder& operator=(const CanRecorder&) = delete;

  uint64_t linesWritten() const { return lines_; }

  void onReceived(const CanMessage& m, SimTime end_clk) override;

 private:
  CanBus& bus_;
  std::ostream& out_;
  std::string iface_;
  uint64_t lines_ = 0;
};

}  // namespace tavrix::sim
