// A socketcand client: connects to a server (the twin's, or a daemon on a real bus), completes
// the handshake into raw mode and exchanges frames. Blocking calls with time-outs; one thread.
//
//   SocketcandClient bus("127.0.0.1", 29536);
//   bus.send(frame);
//   if (auto f = bus.receive(std::chrono::milliseconds(100))) use(f->message, f->micros);
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "sim/bus/can_message.hpp"
#include "sim/bus/socketcand_wire.hpp"

namespace tavrix::sim {

class SocketcandClient {
 public:
  // Connects to `address` (numeric IPv4/IPv6) and `port`, opens `channel` and enters raw mode.
  // Throws std::system_error when the connection fails and std::runtime_error when the server
  // does not answer the handshake as expected within `timeout`.
  SocketcandClient(const std::string& address, uint16_t port, const std::string& channel = "can0",
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~SocketcandClient();
  SocketcandClient(const SocketcandClient&) = delete;
  SocketcandClient& operator=(const SocketcandClient&) = delete;

  // Sends one data frame. Throws std::system_error when the connection is lost.
  void send(const CanMessage& m);
  // Writes bytes as they stand (for tests of what a server does with malformed input).
  void sendRaw(std::string_view bytes);

  // The next frame from the server, waiting up to `timeout`; nothing when none came in time.
  // Throws std::runtime_error when the server has closed the connection and nothing is left.
  std::optional<socketcand::ReceivedFrame> receive(std::chrono::milliseconds timeout);
  // The next message that is not a frame (`error ...`, `echo`), waiting up to `timeout`; frames
  // read meanwhile are kept for receive().
  std::optional<std::string> receiveReply(std::chrono::milliseconds timeout);
  // Whether the server has closed the connection (known after a receive found the end).
  bool closedByServer() const { return closed_; }

 private:
  // Reads what is there, waiting up to `timeout` for the first bytes; false on time-out.
  bool fill(std::chrono::milliseconds timeout);
  void sortMessages();
  std::string expectMessage(std::chrono::milliseconds timeout);

  int fd_ = -1;
  socketcand::MessageSplitter splitter_;
  std::deque<socketcand::ReceivedFrame> frames_;
  std::deque<std::string> replies_;
  bool closed_ = false;
};

}  // namespace tavrix::sim
