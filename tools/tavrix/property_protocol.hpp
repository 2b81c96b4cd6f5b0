// The property protocol as a host speaks it: names and numbers from the firmware's own property
// table, request and reply frames, and a client that gets and sets over a Bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/properties/property_table.hpp"
#include "tools/tavrix/bus.hpp"

namespace tavrix::cli {

// Who a request goes to: one node (group flag 0, destination = node), every node (group flag 0,
// destination 0) or a group (group flag 1, group 0 or 1).
struct Destination {
  enum class Kind { kNode, kAll, kGroup } kind = Kind::kNode;
  int number = 0;  // node 0..31 or group 0..1

  uint32_t field() const { return kind == Kind::kAll ? 0u : static_cast<uint32_t>(number); }
  bool group() const { return kind == Kind::kGroup; }
  bool single() const { return kind == Kind::kNode; }
  std::string text() const;  // "node 5", "every node", "group 1"
};

// What -n / -g select: the destinations a verb addresses, one request each.
struct Selection {
  std::vector<Destination> destinations;
  bool explicit_choice = false;  // -n or -g was given
};

// Parses -n (`5`, `1,3-4`, `all`) and -g (`0`, `1`); nothing with a reason on error.
std::optional<Selection> parseSelection(const std::optional<std::string>& nodes,
                                        const std::optional<std::string>& group,
                                        std::string* error);

// A property by name (any case) or number. Throws Failure(kUsage) for an unknown one, naming
// the closest name.
int lookupProperty(std::string_view text);
// The property's name, or its number as text when it has none.
std::string propertyName(int k);
// 32 when a get answers with a 32-bit value; 16 otherwise.
int getWidth(int k);
// 32 when a set carries a 32-bit value (the pairs, and PROFILE_START which sets TRAVEL).
int setWidth(int k);

// Frame builders. `source` is the host's own address in the identifier (0 by default).
uint32_t requestId(int source, const Destination& d);
uint32_t replyId(int node);
CanMessage getRequest(int source, const Destination& d, int k);
// Throws Failure(kUsage) when the value does not fit the property's set width (16-bit
// properties take -32768..65535, the upper half read as the unsigned view).
CanMessage setRequest(int source, const Destination& d, int k, int64_t value);

struct Reply {
  int node = 0;
  int property = 0;
  int32_t value = 0;
  int width = 16;
};
// A property reply (identifier 0x400 | node << 5 | 6, length 4 or 6, byte 0 = 0x80 | k,
// byte 1 = 0); nothing for any other frame.
std::optional<Reply> parseReply(const CanMessage& m);

class PropertyClient {
 public:
  PropertyClient(Bus& bus, int source, std::chrono::milliseconds timeout)
      : bus_(bus), source_(source), timeout_(timeout) {}

  // Gets k from one node; throws Failure(kTimeout) naming what to check when no reply comes.
  int32_t get(int node, int k);
  // Gets k from every node the destination reaches; collects replies for the whole timeout.
  std::vector<Reply> getAll(const Destination& d, int k);
  void set(const Destination& d, int k, int64_t value);
  // Waits until `d` of the node's own time has passed, judged by the time stamps of its replies
  // (bus time: the twin's simulated clock, or the receiving host's clock on a real bus), so that
  // a twin running slower or faster than the wall clock is waited for correctly.
  void waitNodeTime(int node, std::chrono::milliseconds d);

  Bus& bus() { return bus_; }
  std::chrono::milliseconds timeout() const { return timeout_; }

 private:
  Bus& bus_;
  int source_;
  std::chrono::milliseconds timeout_;
  int64_t last_reply_micros_ = 0;
};

// Names of STATUS and MODE values: "ready", "torque", ...
std::string statusName(int status);
std::string modeName(int mode);
// A mode by name or number (0..5); nothing when unknown.
std::optional<int> parseMode(std::string_view text);

}  // namespace tavrix::cli
