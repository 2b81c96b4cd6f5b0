// The SocketCAN bridge needs a kernel with CAN support and a virtual bus `vcan0`; where either is
// missing the round trip skips and only the refusal is checked.
#include "sim/bus/socketcan_bridge.hpp"

#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <system_error>

namespace tavrix::sim {
namespace {

TEST(SocketcanBridge, RefusesClearlyWhatItCannotReach) {
  EventQueue queue;
  CanBus bus{queue};
  try {
    SocketcanBridge bridge(bus, "tavrix-none0");
    FAIL() << "bridged an interface that does not exist";
  } catch (const std::system_error& e) {
    const std::string what = e.what();
    if (SocketcanBridge::available()) {
      EXPECT_NE(what.find("no CAN interface tavrix-none0"), std::string::npos) << what;
    } else {
      EXPECT_NE(what.find("SocketCAN is not available"), std::string::npos) << what;
    }
  }
}

TEST(SocketcanBridge, FramesCrossBothWaysOnVcan0) {
  if (!SocketcanBridge::available()) GTEST_SKIP() << "this kernel has no SocketCAN";
  if (::if_nametoindex("vcan0") == 0) GTEST_SKIP() << "no vcan0 interface";
  EventQueue queue;
  CanBus bus{queue};
  HostEndpoint node(bus, "node");
  SocketcanBridge bridge(bus, "vcan0");

  // A second socket on vcan0 plays the outside world.
  const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
  ASSERT_GE(fd, 0);
  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(::if_nametoindex("vcan0"));
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  CanMessage out;
  out.id = 0x4A6;
  out.length = 2;
  out.data = {0x88, 0x01};
  node.send(out);
  while (queue.runNext()) {
  }
  can_frame got{};
  ASSERT_EQ(::read(fd, &got, sizeof got), static_cast<ssize_t>(sizeof got));
  EXPECT_EQ(got.can_id, 0x4A6u);
  EXPECT_EQ(got.can_dlc, 2);
  EXPECT_EQ(got.data[0], 0x88);

  can_frame in{};
  in.can_id = 0x12345678 | CAN_EFF_FLAG;
  in.can_dlc = 1;
  in.data[0] = 7;
  ASSERT_EQ(::write(fd, &in, sizeof in), static_cast<ssize_t>(sizeof in));
  std::vector<pollfd> fds;
  bridge.addPollFds(fds);
  ASSERT_EQ(::poll(fds.data(), fds.size(), 2000), 1);
  bridge.service(fds);
  while (queue.runNext()) {
  }
  ASSERT_EQ(node.received().size(), 1u);
  EXPECT_TRUE(node.received()[0].message.extended);
  EXPECT_EQ(node.received()[0].message.id, 0x12345678u);
  EXPECT_EQ(node.received()[0].message.data[0], 7);
  ::close(fd);
}

}  // namespace
}  // namespace tavrix::sim
