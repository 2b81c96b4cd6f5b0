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
  }

  void send(const CanMessage& m) override {
    try {
      client_->send(m);
    } catch (const std::exception& e) {
      unavailable(e.what());
    }
  }

  std::optional<Received> receive(milliseconds timeout) override {
    // In slices, so that Ctrl-C ends a long wait promptly.
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      checkInterrupted();
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      const auto slice = std::max(milliseconds(0), std::min(left, milliseconds(100)));
      try {
        if (auto f = client_->receive(slice)) return Received{f->message, f->micros};
      } catch (const std::exception& e) {
        unavailable(e.what());
      }
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
  BusAddress address_;
  std::unique_ptr<sim::SocketcandClient> client_;
};

}  // namespace

std::unique_ptr<Bus> openSocketcand(const BusAddress& address, milliseconds connect_timeout) {
  return std::make_unique<SocketcandBus>(address, connect_timeout);
}

}  // namespace tavrix::cli
