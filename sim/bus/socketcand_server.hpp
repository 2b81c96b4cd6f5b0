// Serves the simulated bus over TCP in the socketcand protocol, so that python-can
// (`interface='socketcand'`), our own tools and CANopen masters attach to the twin as to a real
// bus.
//
// Every client that opens the channel becomes a controller of its own on the simulated bus (a
// HostEndpoint): its frames arbitrate like any node's, it receives every frame of the nodes and
// of the other clients at the end of that frame on the bus, and never its own. A client that
// misbehaves (unknown commands, malformed frames, stray bytes, vanishing mid-stream, not reading)
// costs only its own connection or gets an `< error ... >` answer; the others go on.
//
// Single-threaded: the owner polls the descriptors and calls service() between runs of the
// world, so the twin stays deterministic for a given arrival order of client frames.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/bus/can_bus.hpp"
#include "sim/bus/host_endpoint.hpp"
#include "sim/bus/polled_io.hpp"
#include "sim/bus/socketcand_wire.hpp"

namespace tavrix::sim {

class SocketcandServer final : public PolledIo {
 public:
  struct Config {
    // Numeric IPv4 or IPv6 address to listen on. Loopback unless the user asks otherwise: the
    // protocol has no authentication.
    std::string address = "127.0.0.1";
    uint16_t port = socketcand::kDefaultPort;  // 0: a free port the system picks
    // No bus traffic reaches a client for this long after its rawmode `< ok >`, which some
    // clients read with one recv() that must hold nothing else.
    std::chrono::milliseconds quiet_after_rawmode{50};
    // A client this far behind in reading its frames is disconnected.
    size_t max_backlog_bytes = 8u << 20;
    // Frames a client may have queued for the bus before further sends are refused.
    size_t max_queued_frames = 4096;
    // Connection events and protocol errors, one line each; may be empty.
    std::function<void(const std::string&)> log;
  };

  // Binds and listens at once. Throws std::system_error when the address cannot be used (in use,
  // not an address of this host, not numeric).
  SocketcandServer(CanBus& bus, Config config);
  ~SocketcandServer() override;
  SocketcandServer(const SocketcandServer&) = delete;
  SocketcandServer& operator=(const SocketcandServer&) = delete;

  uint16_t port() const { return port_; }
  const std::string& address() const { return config_.address; }
  size_t clientCount() const { return clients_.size(); }
  uint64_t acceptedCount() const { return accepted_; }

  void addPollFds(std::vector<pollfd>& fds) override;
  void service(const std::vector<pollfd>& fds) override;
  std::optional<Clock::time_point> wakeAt() const override;
  size_t backlogBytes() const override;
  // Disconnects every client whose backlog exceeds `bytes` (a loop that waited long enough for
  // a reader that does not read).
  void dropClientsBehind(size_t bytes);

 private:
  struct Client;

  void accept();
  void readFrom(Client& c);
  void handle(Client& c, std::string_view message);
  void writeTo(Client& c);
  void deliver(Client& c, const CanMessage& m, SimTime end_clk);
  void reply(Client& c, std::string_view text);
  void error(Client& c, const std::string& why);
  void drop(Client& c, const std::string& why);
  void reap();
  void note(const std::string& line) const;

  CanBus& bus_;
  Config config_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<Client>> clients_;
  // Descriptor positions handed to the last poll.
  size_t listen_index_ = SIZE_MAX;
  uint64_t accepted_ = 0;
  uint64_t next_client_number_ = 1;
};

}  // namespace tavrix::sim
