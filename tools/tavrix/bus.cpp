#include "tools/tavrix/bus.hpp"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim/bus/candump.hpp"
#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {

namespace {

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return std::string(s);
}

std::optional<int> parsePort(std::string_view s) {
  int v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < 1 || v > 65535) return std::nullopt;
  return v;
}

const char* const kHowToChoose =
    "choose the bus in one of three ways:\n"
    "  1. --bus socketcand://127.0.0.1:29536/can0  (the twin: `tavrix-sim serve --node 5`)\n"
    "     or --bus socketcan:can0                   (a Linux SocketCAN interface)\n"
    "  2. the environment: export TAVRIX_BUS=socketcand://HOST:PORT/CHANNEL\n"
    "  3. python-can's [default] section in ~/can.conf (or /etc/can.conf, ~/.can, ~/.canrc):\n"
    "       [default]\n"
    "       interface = socketcand\n"
    "       host = 127.0.0.1\n"
    "       port = 29536\n"
    "       channel = can0";

}  // namespace

std::string BusAddress::text() const {
  if (kind == Kind::kSocketcan) return "socketcan:" + channel;
  return "socketcand://" + host + ":" + std::to_string(port) + "/" + channel;
}

std::optional<BusAddress> parseBusAddress(std::string_view text) {
  BusAddress a;
  constexpr std::string_view kCand = "socketcand://";
  constexpr std::string_view kCan = "socketcan:";
  if (text.starts_with(kCand)) {
    text.remove_prefix(kCand.size());
    const size_t slash = text.find('/');
    std::string_view hostport = text.substr(0, slash);
    if (slash != std::string_view::npos) {
      const std::string_view ch = text.substr(slash + 1);
      if (ch.empty() || ch.find_first_of(" /<>") != std::string_view::npos) return std::nullopt;
      a.channel = std::string(ch);
    }
    const size_t colon = hostport.rfind(':');
    if (colon != std::string_view::npos) {
      const auto port = parsePort(hostport.substr(colon + 1));
      if (!port) return std::nullopt;
      a.port = *port;
      hostport = hostport.substr(0, colon);
    }
    if (!hostport.empty()) a.host = std::string(hostport);
    return a;
  }
  if (text.starts_with(kCan)) {
    text.remove_prefix(kCan.size());
    if (text.empty() || text.size() > 15 || text.find_first_of(" /") != std::string_view::npos) {
      return std::nullopt;
    }
    a.kind = BusAddress::Kind::kSocketcan;
    a.channel = std::string(text);
    return a;
  }
  return std::nullopt;
}

std::map<std::string, std::string> readPythonCanDefault(const std::vector<std::string>& files) {
  std::map<std::string, std::string> out;
  for (const std::string& file : files) {
    std::ifstream in(file);
    if (!in) continue;
    std::string line;
    bool in_default = false;
    while (std::getline(in, line)) {
      const std::string t = trim(line);
      if (t.empty() || t[0] == '#' || t[0] == ';') continue;
      if (t.front() == '[') {
        in_default = t == "[default]";
        continue;
      }
      if (!in_default) continue;
      const size_t eq = t.find_first_of("=:");
      if (eq == std::string::npos) continue;
      std::string key = trim(std::string_view(t).substr(0, eq));
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      out[key] = trim(std::string_view(t).substr(eq + 1));
    }
  }
  // python-can's old spelling of the interface key.
  if (out.count("bustype") && (!out.count("interface") || out["interface"].empty())) {
    out["interface"] = out["bustype"];
  }
  return out;
}

std::vector<std::string> pythonCanConfigFiles() {
  const char* home = std::getenv("HOME");
  const std::string h = home ? home : "";
  std::vector<std::string> files;
  if (!h.empty()) files.push_back(h + "/can.conf");
  files.push_back("/etc/can.conf");
  if (!h.empty()) {
    files.push_back(h + "/.can");
    files.push_back(h + "/.canrc");
  }
  return files;
}

BusAddress chooseBus(const std::optional<std::string>& option,
                     const std::function<std::optional<std::string>(const char*)>& env,
                     const std::vector<std::string>& config_files) {
  const auto parse = [](const std::string& text, const std::string& origin) {
    auto a = parseBusAddress(text);
    if (!a) {
      throw Failure(Exit::kUsage, "cannot use bus \"" + text + "\" from " + origin +
                                      ": write socketcand://HOST:PORT/CHANNEL or "
                                      "socketcan:IFACE\n" + kHowToChoose);
    }
    a->origin = origin;
    return *a;
  };
  if (option) return parse(*option, "--bus");
  if (const auto e = env("TAVRIX_BUS"); e && !e->empty()) return parse(*e, "TAVRIX_BUS");

  const auto cfg = readPythonCanDefault(config_files);
  const auto get = [&](const char* key) -> std::string {
    const auto it = cfg.find(key);
    return it == cfg.end() ? "" : it->second;
  };
  const std::string iface = get("interface");
  if (iface.empty()) {
    throw Failure(Exit::kBusUnavailable, std::string("no bus configured; ") + kHowToChoose);
  }
  BusAddress a;
  a.origin = "python-can's [default] section";
  if (iface == "socketcand") {
    if (!get("host").empty()) a.host = get("host");
    if (!get("port").empty()) {
      const auto port = parsePort(get("port"));
      if (!port) {
        throw Failure(Exit::kUsage, "python-can's [default] section has port = " + get("port") +
                                        ": give a TCP port 1..65535");
      }
      a.port = *port;
    }
    if (!get("channel").empty()) a.channel = get("channel");
    return a;
  }
  if (iface == "socketcan") {
    a.kind = BusAddress::Kind::kSocketcan;
    if (!get("channel").empty()) a.channel = get("channel");
    return a;
  }
  throw Failure(Exit::kUsage, "python-can's [default] section names interface = " + iface +
                                  ", which tavrix does not speak (socketcand or socketcan); " +
                                  kHowToChoose);
}

std::unique_ptr<Bus> openBus(const BusAddress& address, milliseconds connect_timeout) {
  if (address.kind == BusAddress::Kind::kSocketcan) return openSocketcan(address);
  return openSocketcand(address, connect_timeout);
}

namespace {

class TracingBus final : public Bus {
 public:
  TracingBus(std::unique_ptr<Bus> inner, std::ostream& trace)
      : inner_(std::move(inner)), trace_(trace), start_(Clock::now()) {}

  void send(const CanMessage& m) override {
    inner_->send(m);
    line(m, "T");
  }
  std::optional<Received> receive(milliseconds timeout) override {
    auto r = inner_->receive(timeout);
    if (r) line(r->message, "R");
    return r;
  }
  std::string describe() const override { return inner_->describe(); }

 private:
  void line(const CanMessage& m, const char* dir) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
    trace_ << sim::formatCandumpLine(us, m, "can0") << " " << dir << "\n" << std::flush;
  }
  std::unique_ptr<Bus> inner_;
  std::ostream& trace_;
  Clock::time_point start_;
};

}  // namespace

std::unique_ptr<Bus> traced(std::unique_ptr<Bus> inner, std::ostream& trace) {
  return std::make_unique<TracingBus>(std::move(inner), trace);
}

std::string frameText(const CanMessage& m) {
  const std::string line = sim::formatCandumpLine(0, m, "can0");
  return line.substr(line.find(' ', line.find(')') + 2) + 1);
}

std::optional<CanMessage> parseFrameText(std::string_view text) {
  if (text.empty() || text.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
  const auto line = sim::parseCandumpLine("(0.000000) can0 " + std::string(text));
  if (!line) return std::nullopt;
  return line->message;
}

}  // namespace tavrix::cli
