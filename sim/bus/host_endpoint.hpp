// An in-process endpoint for tests and host tools: sends frames onto the simulated bus like any
// controller (one at a time, in the order given, each arbitrating when it reaches the head of
// the queue) and collects every frame other endpoints complete.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/bus/can_bus.hpp"
#include "sim/bus/can_message.hpp"

namespace tavrix::sim {

class HostEndpoint final : public CanEndpoint {
 public:
  struct Frame {
    CanMessage message;
    SimTime end_clk = 0;  // end of the frame on the bus
  };
  using Callback = std::function<void(const CanMessage&, SimTime end_clk)>;

  HostEndpoint(CanBus& bus, std::string name);
  ~HostEndpoint() override;
  HostEndpoint(const HostEndpoint&) = delete;
  HostEndpoint& operator=(const HostEndpoint&) = delete;

  const std::string& name() const { return name_; }

  // Queues a frame. Throws std::invalid_argument for an identifier too wide for its kind or a
  // length code above 15.
  void send(const CanMessage& m);
  size_t pendingCount() const { return tx_queue_.size(); }

  // Frames received so far (kept unless history is turned off), and the frames this endpoint
  // sent, both with their end-of-frame times.
  const std::vector<Frame>& received() const { return received_; }
  const std::vector<Frame>& transmitted() const { return transmitted_; }
  void clearReceived() { received_.clear(); }
  // Long runs that only use the callbacks turn the history off.
  void keepHistory(bool keep) { keep_history_ = keep; }

  // Called at the end of every received frame / every frame of this endpoint, in scheduler
  // context; the callback may send.
  void onReceive(Callback callback) { on_receive_ = std::move(callback); }
  void onTransmit(Callback callback) { on_transmit_ = std::move(callback); }

  const CanMessage* pendingFrame() override;
  void onTransmitted(const CanMessage& m, SimTime end_clk) override;
  void onReceived(const CanMessage& m, SimTime end_clk) override;

 private:
  CanBus& bus_;
  std::string name_;
  std::deque<CanMessage> tx_queue_;
  std::vector<Frame> received_;
  std::vector<Frame> transmitted_;
  bool keep_history_ = true;
  Callback on_receive_;
  Callback on_transmit_;
};

}  // namespace tavrix::sim
