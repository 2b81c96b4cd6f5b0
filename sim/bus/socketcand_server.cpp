#include "sim/bus/socketcand_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "sim/bus/can_frame.hpp"

namespace tavrix::sim {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) fail("cannot set O_NONBLOCK");
}

std::string peerName(const sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

}  // namespace

struct SocketcandServer::Client {
  enum class State : uint8_t { kGreeted, kOpen, kRaw };

  int fd = -1;
  std::string name;  // "client N (ADDR:PORT)"
  socketcand::MessageSplitter splitter;
  State state = State::kGreeted;
  std::unique_ptr<HostEndpoint> endpoint;  // from `open` on
  std::string out;                         // ready to be written
  size_t out_sent = 0;                     // bytes of `out` already written
  std::string held;                        // frames waiting for the quiet gap to end
  Clock::time_point quiet_until{};
  bool quiet = false;
  bool dead = false;        // to be closed at the next service()
  std::string dead_reason;  // for the log
  size_t poll_index = SIZE_MAX;

  size_t backlog() const { return out.size() - out_sent + held.size(); }
};

SocketcandServer::SocketcandServer(CanBus& bus, Config config)
    : bus_(bus), config_(std::move(config)) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(config_.port);
  const int rc = ::getaddrinfo(config_.address.c_str(), service.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    errno = EINVAL;
    fail("not a numeric IP address: " + config_.address);
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, ::freeaddrinfo);
  listen_fd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) fail("cannot create a TCP socket");
  const int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const std::string where = config_.address + " port " + service;
  if (::bind(listen_fd_, found->ai_addr, found->ai_addrlen) != 0 || ::listen(listen_fd_, 16) != 0) {
    const int saved = errno;
    ::close(listen_fd_);
    errno = saved;
    fail("cannot listen on " + where);
  }
  setNonBlocking(listen_fd_);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = bound.ss_family == AF_INET6
              ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
              : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

SocketcandServer::~SocketcandServer() {
  for (const auto& c : clients_) {
    if (c->fd >= 0) ::close(c->fd);
  }
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void SocketcandServer::note(const std::string& line) const {
  if (config_.log) config_.log(line);
}

void SocketcandServer::addPollFds(std::vector<pollfd>& fds) {
  listen_index_ = fds.size();
  fds.push_back({listen_fd_, POLLIN, 0});
  for (const auto& c : clients_) {
    if (c->fd < 0) continue;  // gone, its last frames still going out
    c->poll_index = fds.size();
    const short events = static_cast<short>(POLLIN | (c->out_sent < c->out.size() ? POLLOUT : 0));
    fds.push_back({c->fd, events, 0});
  }
}

std::optional<PolledIo::Clock::time_point> SocketcandServer::wakeAt() const {
  std::optional<Clock::time_point> at;
  for (const auto& c : clients_) {
    if (c->quiet && (!at || c->quiet_until < *at)) at = c->quiet_until;
  }
  return at;
}

size_t SocketcandServer::backlogBytes() const {
  size_t most = 0;
  for (const auto& c : clients_) {
    if (!c->dead) most = std::max(most, c->backlog());
  }
  return most;
}

void SocketcandServer::dropClientsBehind(size_t bytes) {
  for (const auto& c : clients_) {
    if (c->backlog() > bytes) drop(*c, "does not read its frames");
  }
  reap();
}

void SocketcandServer::service(const std::vector<pollfd>& fds) {
  if (listen_index_ < fds.size() && (fds[listen_index_].revents & POLLIN)) accept();
  const Clock::time_point now = Clock::now();
  // Clients accepted just now have no poll entry yet; they are served from the next round.
  for (size_t i = 0; i < clients_.size(); ++i) {
    Client& c = *clients_[i];
    if (c.quiet && now >= c.quiet_until) {
      c.quiet = false;
      c.out += c.held;
      c.held.clear();
    }
    if (c.poll_index < fds.size() && fds[c.poll_index].fd == c.fd) {
      const short revents = fds[c.poll_index].revents;
      if (revents & (POLLIN | POLLHUP | POLLERR)) readFrom(c);
    }
    if (!c.dead) writeTo(c);
  }
  reap();
  listen_index_ = SIZE_MAX;
  for (const auto& c : clients_) c->poll_index = SIZE_MAX;
}

void SocketcandServer::accept() {
  for (;;) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN, or a connection that died before we took it
    }
    const int one = 1;
    // Handshake replies go out one segment each; clients read them with one recv() apiece.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Client>();
    c->fd = fd;
    c->name = "client " + std::to_string(next_client_number_++) + " (" + peerName(addr) + ")";
    ++accepted_;
    note(c->name + " connected");
    reply(*c, "< hi >");
    writeTo(*c);
    clients_.push_back(std::move(c));
  }
}

void SocketcandServer::readFrom(Client& c) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.splitter.feed(std::string_view(buf, static_cast<size_t>(n)));
      continue;
    }
    if (n == 0) {
      drop(c, "disconnected");
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      drop(c, std::string("lost: ") + std::strerror(errno));
    break;
  }
  // Complete messages are handled even when the peer has closed after sending them.
  while (auto item = c.splitter.next()) {
    switch (item->kind) {
      case socketcand::MessageSplitter::Kind::kMessage:
        handle(c, item->text);
        break;
      case socketcand::MessageSplitter::Kind::kGarbage:
        error(c, "data outside a message");
        break;
      case socketcand::MessageSplitter::Kind::kOverlong:
        error(c, "message too long");
        writeTo(c);
        drop(c, "sent a message too long to be one");
        return;
    }
  }
}

void SocketcandServer::handle(Client& c, std::string_view message) {
  const std::vector<std::string_view> words = socketcand::tokens(message);
  if (words.empty()) {
    error(c, "empty message");
    return;
  }
  const std::string_view command = words[0];
  if (command == "send") {
    if (!c.endpoint) {
      error(c, "no channel open");
      return;
    }
    const socketcand::SendParse parsed = socketcand::parseSend(words);
    if (parsed.remote) return;  // remote requests are not carried on this path
    if (!parsed.frame) {
      error(c, parsed.error);
      return;
    }
    if (c.endpoint->pendingCount() >= config_.max_queued_frames) {
      error(c, "too many frames queued for the bus");
      return;
    }
    c.endpoint->send(*parsed.frame);
  } else if (command == "open") {
    if (words.size() != 2) {
      error(c, "open needs a channel name");
    } else if (c.endpoint) {
      error(c, "channel already open");
    } else {
      // One bus is served, under whatever name the client knows it by.
      c.endpoint = std::make_unique<HostEndpoint>(bus_, c.name);
      c.endpoint->keepHistory(false);
      Client* self = &c;
      c.endpoint->onReceive(
          [this, self](const CanMessage& m, SimTime end_clk) { deliver(*self, m, end_clk); });
      c.state = Client::State::kOpen;
      reply(c, "< ok >");
    }
  } else if (command == "rawmode") {
    if (!c.endpoint) {
      error(c, "no channel open");
    } else {
      c.state = Client::State::kRaw;
      reply(c, "< ok >");
      c.quiet = true;
      c.quiet_until = Clock::now() + config_.quiet_after_rawmode;
    }
  } else if (command == "bcmmode") {
    if (!c.endpoint) {
      error(c, "no channel open");
    } else {
      c.state = Client::State::kOpen;
      reply(c, "< ok >");
    }
  } else if (command == "echo") {
    reply(c, c.state == Client::State::kRaw ? " < echo >" : "< echo >");
  } else {
    error(c, "unknown command");
  }
}

void SocketcandServer::deliver(Client& c, const CanMessage& m, SimTime end_clk) {
  if (c.state != Client::State::kRaw || c.dead || m.remote) return;
  // In raw mode every message is preceded by one blank, so that consecutive messages are
  // always separated: some clients drop the byte after the last message of each read, which
  // must not be the '<' of the next one.
  std::string& to = c.quiet ? c.held : c.out;
  to += ' ';
  to += socketcand::formatFrame(m, toMicros(end_clk));
  if (c.backlog() > config_.max_backlog_bytes) drop(c, "does not read its frames");
}

void SocketcandServer::reply(Client& c, std::string_view text) {
  c.out += text;
}

void SocketcandServer::error(Client& c, const std::string& why) {
  note(c.name + ": " + why);
  if (c.state == Client::State::kRaw) c.out += ' ';
  c.out += "< error " + why + " >";
}

void SocketcandServer::writeTo(Client& c) {
  while (c.out_sent < c.out.size()) {
    const ssize_t n =
        ::send(c.fd, c.out.data() + c.out_sent, c.out.size() - c.out_sent, MSG_NOSIGNAL);
    if (n > 0) {
      c.out_sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    drop(c, std::string("lost: ") + std::strerror(errno));
    return;
  }
  if (c.out_sent == c.out.size()) {
    c.out.clear();
    c.out_sent = 0;
  } else if (c.out_sent > 65536) {
    c.out.erase(0, c.out_sent);
    c.out_sent = 0;
  }
}

void SocketcandServer::drop(Client& c, const std::string& why) {
  if (c.dead) return;
  c.dead = true;
  c.dead_reason = why;
}

void SocketcandServer::reap() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client& c = **it;
    if (!c.dead) {
      ++it;
      continue;
    }
    if (c.fd >= 0) {
      note(c.name + " " + c.dead_reason);
      ::close(c.fd);
      c.fd = -1;
    }
    // Frames the client sent before it went are still put on the bus: a script that sends and
    // closes at once loses nothing. Its endpoint leaves the bus once they are out.
    if (c.endpoint && c.endpoint->pendingCount() > 0) {
      ++it;
      continue;
    }
    it = clients_.erase(it);
  }
}

}  // namespace tavrix::sim
