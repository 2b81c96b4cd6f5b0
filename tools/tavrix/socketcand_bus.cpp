// The socketcand transport: the twin's socketcand client, with failures turned into the tool's
// errors that say what to do.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <stdexcept>
#include <system_error>

#include "sim/bus/socketcand_client.hpp"
#include "tools/tavrix/bus.hpp"
#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {

namespace {

// The client takes numeric addresses; names ("localhost", a host on the network) are resolved
// here.
std::string numericAddress(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return host;
  char text[INET6_ADDRSTRLEN] = {};
  ::getnameinfo(res->ai_addr, res->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
  ::freeaddrinfo(res);
  return text[0] ? std::string(text) : host;
}

class SocketcandBus final : public Bus {
 public:
  SocketcandBus(const BusAddress& a, milliseconds connect_timeout) : address_(a) {
    try {
      client_ = std::make_unique<sim::SocketcandClient>(
          numericAddress(a.host), static_cast<uint16_t>(a.port), a.channel, connect_timeout);
    } catch (const std::system_error& e) {
      unavailable(e.code().message());
    } catch (const std::exception& e) {
      unavailable(std::string(e.what()) + " (is it a socketcand server serving channel " +
                  a.channel + "?)");
    }
    // Servers hold back bus traffic for a short while after the handshake (some clients need the
    // `ok` alone in its read); waiting that out keeps the first answer within the usual timeout.
    const auto until = Clock::now() + kQuietAfterHandshake;
    while (Clock::now() < until) {
      const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
      if (auto f = receiveOnce(left)) early_.push_back(*f);
    }
  }

  // Frames handed to the server are put on the bus by it afterwards; a connection closed at once
  // could lose the last ones, so the tool lingers briefly after a recent send.
  ~SocketcandBus() override {
    const auto until = last_send_ + kLingerAfterSend;
    while (Clock::now() < until) {
      const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
      try {
        client_->receive(std::max(left, milliseconds(1)));
      } catch (const std::exception&) {
        break;
      }
    }
  }

  void send(const CanMessage& m) override {
    try {
      client_->send(m);
    } catch (const std::exception& e) {
      unavailable(e.what());
    }
    last_send_ = Clock::now();
  }

  std::optional<Received> receive(milliseconds timeout) override {
    // In slices, so that Ctrl-C ends a long wait promptly.
    if (!early_.empty()) {
      const Received r = early_.front();
      early_.erase(early_.begin());
      return r;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      checkInterrupted();
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      const auto slice = std::max(milliseconds(0), std::min(left, milliseconds(100)));
      if (auto f = receiveOnce(slice)) return f;
      if (left <= slice) return std::nullopt;
    }
  }

  std::string describe() const override { return address_.text(); }

 private:
  [[noreturn]] void unavailable(const std::string& why) const {
    throw Failure(Exit::kBusUnavailable,
                  "cannot use " + address_.text() + " (from " + address_.origin + "): " + why +
                      "; is the twin running? `tavrix-sim serve --node 5` serves 127.0.0.1:29536; "
                      "for a real bus start socketcand on the machine with the CAN interface");
  }
  std::optional<Received> receiveOnce(milliseconds timeout) {
    try {
      if (auto f = client_->receive(timeout)) return Received{f->message, f->micros};
    } catch (const std::exception& e) {
      unavailable(e.what());
    }
    return std::nullopt;
  }

  static constexpr milliseconds kQuietAfterHandshake{60};
  static constexpr milliseconds kLingerAfterSend{50};
  BusAddress address_;
  std::unique_ptr<sim::SocketcandClient> client_;
  std::vector<Received> early_;
  Clock::time_point last_send_{};
};

}  // namespace

std::unique_ptr<Bus> openSocketcand(const BusAddress& address, milliseconds connect_timeout) {
  return std::make_unique<SocketcandBus>(address, connect_timeout);
}

}  // namespace tavrix::cli
