#include "sim/bus/can_bus.hpp"

#include <algorithm>

#include "sim/bus/can_frame.hpp"

namespace tavrix::sim {

void CanBus::attach(CanEndpoint& endpoint) {
  if (std::find(endpoints_.begin(), endpoints_.end(), &endpoint) != endpoints_.end()) return;
  endpoints_.push_back(&endpoint);
  requestSend();
}

void CanBus::detach(CanEndpoint& endpoint) {
  abortTransmission(endpoint);
  endpoints_.erase(std::remove(endpoints_.begin(), endpoints_.end(), &endpoint), endpoints_.end());
}

void CanBus::requestSend() {
  if (busy() || queue_.pending(arbitration_event_)) return;
  // Arbitration runs as an event of its own, after everything else due at this instant, so every
  // endpoint that gets a frame ready at the same instant takes part.
  arbitration_event_ = queue_.schedule(queue_.now(), [this] {
    arbitration_event_ = EventId{};
    arbitrate();
  });
}

void CanBus::abortTransmission(CanEndpoint& endpoint) {
  if (transmitter_ != &endpoint) return;
  queue_.cancel(end_event_);
  busy_clk_ += queue_.now() - frame_start_clk_;
  transmitter_ = nullptr;
  ++frames_aborted_;
  requestSend();
}

void CanBus::arbitrate() {
  if (busy()) return;
  CanEndpoint* winner = nullptr;
  const CanMessage* best = nullptr;
  uint32_t best_key = 0;
  for (CanEndpoint* endpoint : endpoints_) {
    const CanMessage* m = endpoint->pendingFrame();
    if (m == nullptr) continue;
    const uint32_t key = canArbitrationKey(*m);
    if (best == nullptr || key < best_key) {
      winner = endpoint;
      best = m;
      best_key = key;
    }
  }
  if (winner == nullptr) return;
  transmitter_ = winner;
  current_ = *best;
  frame_start_clk_ = queue_.now();
  const SimTime end = frame_start_clk_ + canFrameDuration_clk(current_);
  end_event_ = queue_.schedule(end, [this] {
    end_event_ = EventId{};
    endOfFrame();
  });
  winner->onTransmitStarted(frame_start_clk_, end);
}

void CanBus::endOfFrame() {
  CanEndpoint* sender = transmitter_;
  const CanMessage m = current_;
  const SimTime end = queue_.now();
  busy_clk_ += end - frame_start_clk_;
  transmitter_ = nullptr;
  ++frames_completed_;
  sender->onTransmitted(m, end);
  // A receiver may detach itself or others while being called: walk a copy and skip whoever
  // has left meanwhile.
  const std::vector<CanEndpoint*> receivers = endpoints_;
  for (CanEndpoint* endpoint : receivers) {
    if (endpoint == sender) continue;
    if (std::find(endpoints_.begin(), endpoints_.end(), endpoint) == endpoints_.end()) continue;
    endpoint->onReceived(m, end);
  }
  requestSend();
}

}  // namespace tavrix::sim
