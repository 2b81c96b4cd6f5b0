// Something the live twin's loop polls between slices of simulated time: the socketcand server,
// the SocketCAN bridge. Each owns non-blocking descriptors and a way onto the simulated bus.
#pragma once

#include <poll.h>

#include <chrono>
#include <optional>
#include <vector>

namespace tavrix::sim {

class PolledIo {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~PolledIo() = default;
  // Appends the descriptors to wait on, with the events wanted now (POLLOUT only while output
  // is pending).
  virtual void addPollFds(std::vector<pollfd>& fds) = 0;
  // After poll(): accepts, reads and writes what is ready, never blocking. Frames read from
  // outside are queued on the bus at the simulated time of the call. Scheduler context, between
  // runs of the world.
  virtual void service(const std::vector<pollfd>& fds) = 0;
  // A wall-clock instant at which service() has work even without descriptor activity.
  virtual std::optional<Clock::time_point> wakeAt() const { return std::nullopt; }
  // Bytes waiting for the slowest reader: a loop that is not paced by the wall clock waits for
  // them rather than piling up more.
  virtual size_t backlogBytes() const { return 0; }
};

}  // namespace tavrix::sim
