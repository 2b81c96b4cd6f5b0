// What every verb of the command line works with: the global options, the bus (opened on first
// use and shared by the lines of a script), node selection and output helpers.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "tools/tavrix/bus.hpp"
#include "tools/tavrix/canopen.hpp"
#include "tools/tavrix/cli.hpp"
#include "tools/tavrix/property_protocol.hpp"

namespace tavrix::cli {

struct Globals {
  std::string bus;          // --bus, empty: TAVRIX_BUS or python-can's configuration
  bool verbose = false;     // -v: frame trace on stderr
  std::string nodes;        // -n
  std::string group;        // -g
  int timeout_ms = 100;     // answer timeout per request
  std::string format = "text";
  bool yes = false;         // answer yes to confirmations
  int source = 0;           // the host's own address in property identifiers
};

class Session {
 public:
  Session(Environment& env, std::ostream& out, std::ostream& err, Globals g,
          std::shared_ptr<std::unique_ptr<Bus>> shared_bus)
      : env_(env), out_(out), err_(err), g_(std::move(g)), bus_(std::move(shared_bus)) {}

  Environment& env() { return env_; }
  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }
  const Globals& globals() const { return g_; }
  bool json() const { return g_.format == "json"; }
  std::shared_ptr<std::unique_ptr<Bus>> sharedBus() { return bus_; }

  Bus& bus();
  PropertyClient properties() { return PropertyClient(bus(), g_.source, timeout()); }
  CanopenClient canopen() { return CanopenClient(bus(), timeout()); }
  std::chrono::milliseconds timeout() const { return std::chrono::milliseconds(g_.timeout_ms); }

  // The -n / -g selection; throws Failure(kUsage) when malformed.
  Selection selection() const;
  // For verbs that write or move: an explicit -n or -g, else Failure(kUsage) naming the verb.
  Selection explicitSelection(const std::string& verb) const;
  // Single node numbers only (verbs that talk to one node at a time); -n all and -g are refused.
  std::vector<int> explicitNodes(const std::string& verb) const;
  // The nodes a reading verb talks to: the -n list, or every node that answers a get of
  // FIRMWARE_ID (for -n all, -g, or nothing given).
  std::vector<int> nodesToRead();

  // Asks `question` on the terminal unless --yes; false when declined or no terminal.
  bool confirm(const std::string& question);

 private:
  Environment& env_;
  std::ostream& out_;
  std::ostream& err_;
  Globals g_;
  std::shared_ptr<std::unique_ptr<Bus>> bus_;
};

// Writes rows under a header with the columns aligned (text output).
void printTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows);

// Parses an integer (decimal or 0x hex, optionally negative); Failure(kUsage) otherwise.
int64_t parseInteger(const std::string& text, const std::string& what);

}  // namespace tavrix::cli
