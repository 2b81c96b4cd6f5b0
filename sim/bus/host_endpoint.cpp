#include "sim/bus/host_endpoint.hpp"

#include <stdexcept>

#include "sim/bus/can_frame.hpp"

namespace tavrix::sim {

HostEndpoint::HostEndpoint(CanBus& bus, std::string name) : bus_(bus), name_(std::move(name)) {
  bus_.attach(*this);
}

HostEndpoint::~HostEndpoint() {
  bus_.detach(*this);
}

void HostEndpoint::send(const CanMessage& m) {
  if (!canMessageValid(m)) throw std::invalid_argument("CAN frame out of range");
  tx_queue_.push_back(m);
  bus_.requestSend();
}

const CanMessage* HostEndpoint::pendingFrame() {
  return tx_queue_.empty() ? nullptr : &tx_queue_.front();
}

void HostEndpoint::onTransmitted(const CanMessage& m, SimTime end_clk) {
  tx_queue_.pop_front();
  if (keep_history_) transmitted_.push_back(Frame{m, end_clk});
  if (on_transmit_) on_transmit_(m, end_clk);
}

void HostEndpoint::onReceived(const CanMessage& m, SimTime end_clk) {
  if (keep_history_) received_.push_back(Frame{m, end_clk});
  if (on_receive_) on_receive_(m, end_clk);
}

}  // namespace tavrix::sim
