#include "sim/bus/can_recorder.hpp"

#include "sim/bus/candump.hpp"

namespace tavrix::sim {

CanRecorder::CanRecorder(CanBus& bus, std::ostream& out, std::string iface)
    : bus_(bus), out_(out), iface_(std::move(iface)) {
  bus_.attach(*this);
}

CanRecorder::~CanRecorder() {
  bus_.detach(*this);
}

void CanRecorder::onReceived(const CanMessage& m, SimTime end_clk) {
  out_ << formatCandumpLine(toMicros(end_clk), m, iface_) << '\n';
  ++lines_;
}

}  // namespace tavrix::sim
