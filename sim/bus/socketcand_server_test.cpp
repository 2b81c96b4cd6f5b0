// The socketcand server on loopback, driven by a thread that plays the twin's loop (poll, serve,
// run the bus) while the test thread acts as the clients.
#include "sim/bus/socketcand_server.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "sim/bus/can_frame.hpp"
#include "sim/bus/socketcand_client.hpp"

namespace tavrix::sim {
namespace {

using namespace std::chrono_literals;

CanMessage frame(uint32_t id, std::initializer_list<uint8_t> bytes) {
  CanMessage m;
  m.id = id;
  m.length = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), m.data.begin());
  return m;
}

// A bus with one node that answers every frame with identifier 0x100 by the same bytes on 0x200,
// served on a free loopback port. Simulated time follows the wall clock from the start.
class ServedBus : public ::testing::Test {
 protected:
  void SetUp() override {
    SocketcandServer::Config config;
    config.port = 0;
    config.log = [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      log_.push_back(line);
    };
    server_ = std::make_unique<SocketcandServer>(bus_, config);
    node_.onReceive([this](const CanMessage& m, SimTime) {
      if (m.id == 0x100) {
        CanMessage answer = m;
        answer.id = 0x200;
        node_.send(answer);
      }
    });
    thread_ = std::thread([this] { loop(); });
  }
  void TearDown() override {
    stop_ = true;
    thread_.join();
  }

  void loop() {
    const auto start = std::chrono::steady_clock::now();
    while (!stop_) {
      std::vector<pollfd> fds;
      server_->addPollFds(fds);
      ::poll(fds.data(), fds.size(), 2);
      const auto wall = std::chrono::steady_clock::now() - start;
      const SimTime now =
          std::chrono::duration_cast<std::chrono::microseconds>(wall).count() * kClocksPerUs;
      runUntil(now);
      {
        std::lock_guard lock(mutex_);
        for (const CanMessage& m : inject_) node_.send(m);
        inject_.clear();
      }
      server_->service(fds);
      clients_ = server_->clientCount();
    }
  }
  void runUntil(SimTime t) {
    while (!queue_.empty() && queue_.nextTime() <= t) queue_.runNext();
    queue_.advanceTo(std::max(t, queue_.now()));
  }
  // The node sends a frame (from the loop's thread).
  void nodeSends(const CanMessage& m) {
    std::lock_guard lock(mutex_);
    inject_.push_back(m);
  }
  bool logHas(const std::string& text) {
    std::lock_guard lock(mutex_);
    for (const auto& l : log_) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }
  // Waits until the server holds `n` clients.
  bool waitForClients(size_t n) {
    for (int i = 0; i < 500 && clients_ != n; ++i) std::this_thread::sleep_for(2ms);
    return clients_ == n;
  }

  // A raw TCP connection, for byte-exact checks.
  int connectRaw() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server_->port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
  }
  static std::string recvOnce(int fd) {
    char buf[1024];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  static void sendText(int fd, const std::string& s) { ::send(fd, s.data(), s.size(), 0); }

  EventQueue queue_;
  CanBus bus_{queue_};
  HostEndpoint node_{bus_, "node"};
  std::unique_ptr<SocketcandServer> server_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> clients_{0};
  std::mutex mutex_;
  std::vector<CanMessage> inject_;
  std::vector<std::string> log_;
};

TEST_F(ServedBus, HandshakeRepliesAreExactAndRawModeStartsWithAQuietGap) {
  const int fd = connectRaw();
  EXPECT_EQ(recvOnce(fd), "< hi >");
  sendText(fd, "< open can0 >");
  EXPECT_EQ(recvOnce(fd), "< ok >");
  // Traffic on the bus all the time: none of it may share the read of the rawmode answer.
  std::atomic<bool> chatter{true};
  std::thread noise([&] {
    while (chatter) {
      nodeSends(frame(0x7FF, {1}));
      std::this_thread::sleep_for(1ms);
    }
  });
  sendText(fd, "< rawmode >");
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(recvOnce(fd), "< ok >");
  const std::string first = recvOnce(fd);
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 40ms);
  chatter = false;
  noise.join();
  // Each frame message is followed by one blank.
  // Each frame message is preceded by one blank, so messages are always separated.
  EXPECT_EQ(first.substr(0, 13), " < frame 7FF ");
  const size_t end = first.find('>');
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(first.substr(end - 4, 7), " 01 > <");
  ::close(fd);
}

TEST_F(ServedBus, ClientsSeeNodesAndEachOtherButNeverThemselves) {
  SocketcandClient a("127.0.0.1", server_->port());
  SocketcandClient b("127.0.0.1", server_->port());
  std::this_thread::sleep_for(80ms);  // both past their quiet gap
  a.send(frame(0x100, {1, 2, 3}));
  // b sees a's request and the node's answer; a sees only the answer.
  const auto b1 = b.receive(2s), b2 = b.receive(2s);
  ASSERT_TRUE(b1 && b2);
  EXPECT_EQ(b1->message, frame(0x100, {1, 2, 3}));
  EXPECT_EQ(b2->message, frame(0x200, {1, 2, 3}));
  // Stamped with the end of each frame on the bus: the answer follows the request back to back.
  EXPECT_EQ(b2->micros - b1->micros, toMicros(canFrameDuration_clk(b2->message)));
  const auto a1 = a.receive(2s);
  ASSERT_TRUE(a1);
  EXPECT_EQ(a1->message, frame(0x200, {1, 2, 3}));
  EXPECT_EQ(a1->micros, b2->micros);
  EXPECT_FALSE(a.receive(100ms));
  EXPECT_FALSE(b.receive(10ms));
}

TEST_F(ServedBus, MalformedInputCostsOnlyAnErrorAnswer) {
  SocketcandClient bad("127.0.0.1", server_->port());
  SocketcandClient good("127.0.0.1", server_->port());
  std::this_thread::sleep_for(80ms);
  bad.sendRaw("< frobnicate >");
  EXPECT_EQ(bad.receiveReply(2s), "error unknown command");
  bad.sendRaw("< send 123 2 1 >stray bytes< send qqq 1 1 >< >");
  EXPECT_EQ(bad.receiveReply(2s), "error length does not match the data");
  EXPECT_EQ(bad.receiveReply(2s), "error data outside a message");
  EXPECT_EQ(bad.receiveReply(2s), "error bad identifier");
  EXPECT_EQ(bad.receiveReply(2s), "error empty message");
  bad.sendRaw("< echo >");
  EXPECT_EQ(bad.receiveReply(2s), "echo");
  EXPECT_TRUE(logHas("unknown command"));
  // The same connection still carries frames, and the other client saw nothing of the garbage.
  bad.send(frame(0x100, {9}));
  const auto g1 = good.receive(2s);
  ASSERT_TRUE(g1);
  EXPECT_EQ(g1->message, frame(0x100, {9}));
  EXPECT_FALSE(good.receiveReply(50ms));
  EXPECT_EQ(clients_.load(), 2u);
}

TEST_F(ServedBus, AMessageWithoutEndClosesOnlyThatConnection) {
  SocketcandClient bad("127.0.0.1", server_->port());
  SocketcandClient good("127.0.0.1", server_->port());
  bad.sendRaw("< send 123 1 " + std::string(2000, '1'));
  EXPECT_EQ(bad.receiveReply(2s), "error message too long");
  EXPECT_THROW(
      {
        for (int i = 0; i < 100; ++i) bad.receive(20ms);
      },
      std::runtime_error);
  EXPECT_TRUE(waitForClients(1));
  std::this_thread::sleep_for(60ms);
  nodeSends(frame(0x300, {4}));
  const auto g = good.receive(2s);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->message, frame(0x300, {4}));
}

TEST_F(ServedBus, AClientVanishingMidStreamLeavesTheOthersServed) {
  SocketcandClient stays("127.0.0.1", server_->port());
  {
    SocketcandClient vanishes("127.0.0.1", server_->port());
    std::this_thread::sleep_for(60ms);
    for (int i = 0; i < 50; ++i) nodeSends(frame(0x300, {static_cast<uint8_t>(i)}));
    vanishes.sendRaw("< send 100 2 1");  // half a message, then gone with frames unread
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(waitForClients(1));
  EXPECT_TRUE(logHas("client 2"));
  for (int i = 0; i < 50; ++i) {
    const auto f = stays.receive(2s);
    ASSERT_TRUE(f) << i;
    EXPECT_EQ(f->message, frame(0x300, {static_cast<uint8_t>(i)}));
  }
  // The half message never reached the bus.
  EXPECT_FALSE(stays.receive(50ms));
}

TEST_F(ServedBus, FramesSentJustBeforeADisconnectStillReachTheBus) {
  SocketcandClient watcher("127.0.0.1", server_->port());
  {
    SocketcandClient sender("127.0.0.1", server_->port());
    std::this_thread::sleep_for(80ms);
    for (uint8_t i = 0; i < 20; ++i) sender.send(frame(0x123, {i}));
  }  // closed at once, most of its frames still queued for the bus
  for (uint8_t i = 0; i < 20; ++i) {
    const auto f = watcher.receive(2s);
    ASSERT_TRUE(f) << int{i};
    EXPECT_EQ(f->message, frame(0x123, {i}));
  }
  EXPECT_TRUE(waitForClients(1));
}

TEST(SocketcandServer, RefusesAnAddressItCannotUse) {
  EventQueue queue;
  CanBus bus{queue};
  SocketcandServer::Config config;
  config.port = 0;
  config.address = "localhost";  // names are not looked up
  EXPECT_THROW(SocketcandServer(bus, config), std::system_error);
  config.address = "192.0.2.1";  // not an address of this host
  EXPECT_THROW(SocketcandServer(bus, config), std::system_error);
  config.address = "127.0.0.1";
  SocketcandServer first(bus, config);
  config.port = first.port();
  EXPECT_THROW(SocketcandServer(bus, config), std::system_error);  // in use
}

}  // namespace
}  // namespace tavrix::sim
