#include "sim/bus/socketcand_client.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace tavrix::sim {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

SocketcandClient::SocketcandClient(const std::string& address, uint16_t port,
                                   const std::string& channel, std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    errno = EINVAL;
    fail("not a numeric IP address: " + address);
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, ::freeaddrinfo);
  fd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) fail("cannot create a TCP socket");
  if (::connect(fd_, found->ai_addr, found->ai_addrlen) != 0) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
    fail("cannot connect to " + address + " port " + service);
  }
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  try {
    if (expectMessage(timeout) != "hi") throw std::runtime_error("server did not greet");
    sendRaw("< open " + channel + " >");
    if (expectMessage(timeout) != "ok") throw std::runtime_error("server refused the channel");
    sendRaw("< rawmode >");
    if (expectMessage(timeout) != "ok") throw std::runtime_error("server refused raw mode");
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

SocketcandClient::~SocketcandClient() {
  if (fd_ >= 0) ::close(fd_);
}

std::string SocketcandClient::expectMessage(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto item = splitter_.next()) {
      if (item->kind != socketcand::MessageSplitter::Kind::kMessage) {
        throw std::runtime_error("server sent something that is not a message");
      }
      const auto words = socketcand::tokens(item->text);
      std::string joined;
      for (const auto w : words) joined += (joined.empty() ? "" : " ") + std::string(w);
      return joined;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || closed_) throw std::runtime_error("no answer to the handshake");
    fill(left);
  }
}

void SocketcandClient::send(const CanMessage& m) {
  sendRaw(socketcand::formatSend(m));
}

void SocketcandClient::sendRaw(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("connection to the socketcand server lost");
    }
    done += static_cast<size_t>(n);
  }
}

bool SocketcandClient::fill(std::chrono::milliseconds timeout) {
  if (closed_) return false;
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  char buf[4096];
  const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return true;
    if (errno == ECONNRESET) {
      closed_ = true;
      return true;
    }
    fail("cannot read from the socketcand server");
  }
  if (n == 0) {
    closed_ = true;
    return true;
  }
  splitter_.feed(std::string_view(buf, static_cast<size_t>(n)));
  return true;
}

void SocketcandClient::sortMessages() {
  while (auto item = splitter_.next()) {
    if (item->kind != socketcand::MessageSplitter::Kind::kMessage) continue;
    const auto words = socketcand::tokens(item->text);
    if (!words.empty() && words[0] == "frame") {
      if (auto f = socketcand::parseFrame(words)) frames_.push_back(*f);
      continue;
    }
    std::string joined;
    for (const auto w : words) joined += (joined.empty() ? "" : " ") + std::string(w);
    replies_.push_back(std::move(joined));
  }
}

std::optional<socketcand::ReceivedFrame> SocketcandClient::receive(
    std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    sortMessages();
    if (!frames_.empty()) {
      const socketcand::ReceivedFrame f = frames_.front();
      frames_.pop_front();
      return f;
    }
    if (closed_) throw std::runtime_error("the socketcand server closed the connection");
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    fill(left);
  }
}

std::optional<std::string> SocketcandClient::receiveReply(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    sortMessages();
    if (!replies_.empty()) {
      std::string r = std::move(replies_.front());
      replies_.pop_front();
      return r;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || closed_) return std::nullopt;
    fill(left);
  }
}

}  // namespace tavrix::sim
