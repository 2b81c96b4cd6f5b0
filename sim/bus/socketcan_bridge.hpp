// Joins the simulated bus to a Linux SocketCAN interface (a real controller or a virtual bus
// such as vcan0), both ways: frames completed on the simulated bus are written to the interface,
// frames read from it are put on the simulated bus by an endpoint of their own, at the simulated
// time they are read. Remote frames cross too; error frames and CAN FD frames do not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/bus/can_bus.hpp"
#include "sim/bus/host_endpoint.hpp"
#include "sim/bus/polled_io.hpp"

namespace tavrix::sim {

class SocketcanBridge final : public PolledIo {
 public:
  // Opens a raw CAN socket bound to `iface`. Throws std::system_error with a message that says
  // what is missing: SocketCAN itself (a kernel without CAN support), or the interface.
  SocketcanBridge(CanBus& bus, const std::string& iface);
  ~SocketcanBridge() override;
  SocketcanBridge(const SocketcanBridge&) = delete;
  SocketcanBridge& operator=(const SocketcanBridge&) = delete;

  void addPollFds(std::vector<pollfd>& fds) override;
  void service(const std::vector<pollfd>& fds) override;

  uint64_t framesIn() const { return frames_in_; }
  uint64_t framesOut() const { return frames_out_; }
  // Frames from the simulated bus the interface would not take (its queue was full).
  uint64_t framesDropped() const { return frames_dropped_; }

  // Whether this host's kernel offers SocketCAN at all.
  static bool available();

 private:
  void forward(const CanMessage& m);

  int fd_ = -1;
  std::string iface_;
  HostEndpoint endpoint_;
  size_t poll_index_ = SIZE_MAX;
  uint64_t frames_in_ = 0;
  uint64_t frames_out_ = 0;
  uint64_t frames_dropped_ = 0;
};

}  // namespace tavrix::sim
