// The simulated 1 Mbit/s CAN bus and the interface of everything attached to it.
//
// When the bus is idle and endpoints hold frames, all frames pending at that instant arbitrate:
// the lowest arbitration field wins (can_frame.hpp), equal fields go to the endpoint attached
// first. The winner occupies the bus for its exact bit length, stuff bits and intermission
// included; at the end of the frame every other endpoint receives it (never the sender) and the
// next arbitration follows at once. No bus errors are simulated: every frame is acknowledged and
// arrives intact.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/bus/can_message.hpp"
#include "sim/world/event_queue.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

class CanBus;

// A node controller, a host program's interface, a recorder, a bridge. Context: the event queue
// (scheduler), never a node's fiber.
class CanEndpoint {
 public:
  virtual ~CanEndpoint() = default;

  // The frame this endpoint would start now, or null. Asked at every arbitration; the pointer
  // must stay valid until the next call or until the frame has been reported transmitted.
  virtual const CanMessage* pendingFrame() { return nullptr; }
  // The pending frame won arbitration at `start_clk` and ends at `end_clk`.
  virtual void onTransmitStarted(SimTime /*start_clk*/, SimTime /*end_clk*/) {}
  // The pending frame has completed on the bus.
  virtual void onTransmitted(const CanMessage& /*m*/, SimTime /*end_clk*/) {}
  // A frame of another endpoint has completed on the bus at `end_clk`.
  virtual void onReceived(const CanMessage& m, SimTime end_clk) = 0;
};

class CanBus {
 public:
  explicit CanBus(EventQueue& queue) : queue_(queue) {}
  CanBus(const CanBus&) = delete;
  CanBus& operator=(const CanBus&) = delete;

  // Endpoints are not owned. Attach order breaks arbitration ties and orders deliveries.
  void attach(CanEndpoint& endpoint);
  // Aborts the endpoint's frame in progress, if any.
  void detach(CanEndpoint& endpoint);

  // An endpoint has a new pending frame: it joins the arbitration at the next idle instant.
  void requestSend();
  // The endpoint's frame in progress is cut off (its controller was reset): nobody receives it and
  // the bus is free at once.
  void abortTransmission(CanEndpoint& endpoint);

  bool busy() const { return transmitter_ != nullptr; }
  const CanEndpoint* transmitter() const { return transmitter_; }
  uint64_t framesCompleted() const { return frames_completed_; }
  uint64_t framesAborted() const { return frames_aborted_; }
  // Bus clocks the bus has carried frames (aborted ones up to their abort).
  SimTime busyTime_clk() const { return busy_clk_; }

 private:
  void arbitrate();
  void endOfFrame();

  EventQueue& queue_;
  std::vector<CanEndpoint*> endpoints_;
  CanEndpoint* transmitter_ = nullptr;
  CanMessage current_{};
  SimTime frame_start_clk_ = 0;
  EventId end_event_{};
  EventId arbitration_event_{};
  uint64_t frames_completed_ = 0;
  uint64_t frames_aborted_ = 0;
  SimTime busy_clk_ = 0;
};

}  // namespace tavrix::sim
