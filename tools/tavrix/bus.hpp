// The tool's view of a CAN bus: send a frame, wait for the next one. Two transports implement it
// (a socketcand server over TCP, Linux SocketCAN); a tracing wrapper prints every frame.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bus/can_message.hpp"

namespace tavrix::cli {

using sim::CanMessage;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Received {
  CanMessage message;
  int64_t micros = 0;  // the transport's time stamp (server time, or host wall clock)
};

class Bus {
 public:
  virtual ~Bus() = default;
  // Sends one frame; throws Failure(kBusUnavailable) when the bus is gone.
  virtual void send(const CanMessage& m) = 0;
  // The next frame from the bus, or nothing when `timeout` passes first. Throws
  // Failure(kInterrupted) on SIGINT and Failure(kBusUnavailable) when the bus is gone.
  virtual std::optional<Received> receive(milliseconds timeout) = 0;
  // The bus as the user names it, for messages: "socketcand://127.0.0.1:29536/can0".
  virtual std::string describe() const = 0;
};

// Where the bus is. Written as `socketcand://HOST:PORT/CHANNEL` or `socketcan:IFACE`.
struct BusAddress {
  enum class Kind { kSocketcand, kSocketcan } kind = Kind::kSocketcand;
  std::string host = "127.0.0.1";
  int port = 29536;
  std::string channel = "can0";  // socketcand channel or SocketCAN interface
  std::string origin;            // how it was chosen: "--bus", "TAVRIX_BUS", a config file

  std::string text() const;
};

// Parses `socketcand://HOST[:PORT][/CHANNEL]` and `socketcan:IFACE`; missing parts take the
// defaults above. Nothing for anything else.
std::optional<BusAddress> parseBusAddress(std::string_view text);

// The `[default]` section of python-can's configuration files, read in python-can's order
// (later files override earlier keys).
std::map<std::string, std::string> readPythonCanDefault(const std::vector<std::string>& files);
// python-can's files for this user: ~/can.conf, /etc/can.conf, ~/.can, ~/.canrc.
std::vector<std::string> pythonCanConfigFiles();

// Chooses the bus: the --bus text if given, else TAVRIX_BUS, else python-can's [default]
// section (`interface` socketcand or socketcan, with `channel`, `host`, `port`). Throws
// Failure(kUsage) naming the three ways when none is configured or a setting is malformed.
// `env` looks up an environment variable.
BusAddress chooseBus(const std::optional<std::string>& option,
                     const std::function<std::optional<std::string>(const char*)>& env,
                     const std::vector<std::string>& config_files);

// Opens the bus; throws Failure(kBusUnavailable) with what to do when it cannot be reached.
std::unique_ptr<Bus> openBus(const BusAddress& address, milliseconds connect_timeout);
std::unique_ptr<Bus> openSocketcand(const BusAddress& address, milliseconds connect_timeout);
std::unique_ptr<Bus> openSocketcan(const BusAddress& address);

// Wraps a bus and writes every frame sent and received to `trace` in candump form, sent frames
// marked T and received ones R.
std::unique_ptr<Bus> traced(std::unique_ptr<Bus> inner, std::ostream& trace);

// The candump text of a frame without time and interface: `123#DEADBEEF`.
std::string frameText(const CanMessage& m);
// Parses `ID#DATA` (candump frame syntax); nothing when malformed.
std::optional<CanMessage> parseFrameText(std::string_view text);

}  // namespace tavrix::cli
