// The Linux SocketCAN transport: a raw CAN socket bound to one interface.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/tavrix/bus.hpp"
#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {

namespace {

class SocketcanBus final : public Bus {
 public:
  explicit SocketcanBus(const BusAddress& a) : address_(a) {
    fd_ = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd_ < 0) {
      unavailable(std::string("this kernel offers no CAN sockets (") + std::strerror(errno) +
                  "); load the can and can_raw modules, or use the twin with --bus "
                  "socketcand://127.0.0.1:29536/can0");
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, address_.channel.c_str(), IFNAMSIZ - 1);
    if (::ioctl(fd_, SIOCGIFINDEX, &ifr) < 0) {
      unavailable("no interface " + address_.channel + " (" + std::strerror(errno) +
                  "); list them with `ip link show type can` (or create a virtual one: `ip link "
                  "add dev vcan0 type vcan && ip link set up vcan0`)");
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
      unavailable(std::string("cannot bind (") + std::strerror(errno) + ")");
    }
  }
  ~SocketcanBus() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void send(const CanMessage& m) override {
    can_frame f{};
    f.can_id = m.id | (m.extended ? CAN_EFF_FLAG : 0) | (m.remote ? CAN_RTR_FLAG : 0);
    f.can_dlc = m.length > 8 ? 8 : m.length;
    std::memcpy(f.data, m.data.data(), 8);
    for (;;) {
      if (::write(fd_, &f, sizeof f) == static_cast<ssize_t>(sizeof f)) return;
      if (errno == EINTR) {
        checkInterrupted();
        continue;
      }
      if (errno == ENOBUFS || errno == EAGAIN) {
        // The interface queue is full: wait for room, as a controller would.
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 10);
        continue;
      }
      unavailable(std::string("send failed (") + std::strerror(errno) +
                  "); is the interface up? `ip link set up " + address_.channel + "`");
    }
  }

  std::optional<Received> receive(milliseconds timeout) override {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      checkInterrupted();
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left < 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      const int rc = ::poll(&p, 1, static_cast<int>(left));
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) unavailable(std::strerror(errno));
      if (rc == 0) return std::nullopt;
      can_frame f{};
      const ssize_t n = ::read(fd_, &f, sizeof f);
      if (n != static_cast<ssize_t>(sizeof f)) continue;
      if (f.can_id & CAN_ERR_FLAG) continue;
      Received r;
      r.message.extended = (f.can_id & CAN_EFF_FLAG) != 0;
      r.message.remote = (f.can_id & CAN_RTR_FLAG) != 0;
      r.message.id = f.can_id & (r.message.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
      r.message.length = f.can_dlc;
      std::memcpy(r.message.data.data(), f.data, 8);
      r.micros = std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
      return r;
    }
  }

  std::string describe() const override { return address_.text(); }

 private:
  [[noreturn]] void unavailable(const std::string& why) const {
    throw Failure(Exit::kBusUnavailable,
                  "cannot use " + address_.text() + " (from " + address_.origin + "): " + why);
  }
  BusAddress address_;
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<Bus> openSocketcan(const BusAddress& address) {
  return std::make_unique<SocketcanBus>(address);
}

}  // namespace tavrix::cli
