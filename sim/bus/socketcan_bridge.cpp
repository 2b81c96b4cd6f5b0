#include "sim/bus/socketcan_bridge.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tavrix::sim {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

bool SocketcanBridge::available() {
  const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

SocketcanBridge::SocketcanBridge(CanBus& bus, const std::string& iface)
    : iface_(iface), endpoint_(bus, "socketcan " + iface) {
  fd_ = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
  if (fd_ < 0) {
    const int e = errno;
    if (e == EAFNOSUPPORT || e == EPROTONOSUPPORT) {
      fail(e, "SocketCAN is not available on this host (the kernel has no CAN support), so " +
                  iface + " cannot be bridged");
    }
    fail(e, "cannot open a CAN socket for " + iface);
  }
  ifreq ifr{};
  if (iface.empty() || iface.size() >= sizeof ifr.ifr_name) {
    ::close(fd_);
    fail(EINVAL, "not a network interface name: '" + iface + "'");
  }
  std::memcpy(ifr.ifr_name, iface.c_str(), iface.size() + 1);
  if (::ioctl(fd_, SIOCGIFINDEX, &ifr) != 0) {
    const int e = errno;
    ::close(fd_);
    fail(e, "no CAN interface " + iface + " (create a virtual one with: ip link add dev " + iface +
                " type vcan && ip link set up " + iface + ")");
  }
  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = ifr.ifr_ifindex;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    ::close(fd_);
    fail(e, "cannot bind to CAN interface " + iface);
  }
  endpoint_.keepHistory(false);
  endpoint_.onReceive([this](const CanMessage& m, SimTime) { forward(m); });
}

SocketcanBridge::~SocketcanBridge() {
  if (fd_ >= 0) ::close(fd_);
}

void SocketcanBridge::addPollFds(std::vector<pollfd>& fds) {
  poll_index_ = fds.size();
  fds.push_back({fd_, POLLIN, 0});
}

void SocketcanBridge::forward(const CanMessage& m) {
  can_frame f{};
  f.can_id = m.id | (m.extended ? CAN_EFF_FLAG : 0u) | (m.remote ? CAN_RTR_FLAG : 0u);
  f.can_dlc = m.length > 8 ? 8 : m.length;
  std::memcpy(f.data, m.data.data(), m.dataBytes());
  const ssize_t n = ::write(fd_, &f, sizeof f);
  if (n == static_cast<ssize_t>(sizeof f)) {
    ++frames_out_;
  } else {
    ++frames_dropped_;  // the interface's queue is full: a real controller would lose it too
  }
}

void SocketcanBridge::service(const std::vector<pollfd>& fds) {
  if (poll_index_ >= fds.size() || !(fds[poll_index_].revents & POLLIN)) return;
  poll_index_ = SIZE_MAX;
  for (;;) {
    can_frame f{};
    const ssize_t n = ::read(fd_, &f, sizeof f);
    if (n != static_cast<ssize_t>(sizeof f)) return;  // EAGAIN, or not a classic CAN frame
    if (f.can_id & CAN_ERR_FLAG) continue;
    CanMessage m;
    m.extended = (f.can_id & CAN_EFF_FLAG) != 0;
    m.remote = (f.can_id & CAN_RTR_FLAG) != 0;
    m.id = f.can_id & (m.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    m.length = f.can_dlc > 8 ? 8 : f.can_dlc;
    if (!m.remote) std::memcpy(m.data.data(), f.data, m.length);
    endpoint_.send(m);
    ++frames_in_;
  }
}

}  // namespace tavrix::sim
