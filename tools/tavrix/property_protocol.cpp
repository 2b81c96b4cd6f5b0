#include "tools/tavrix/property_protocol.hpp"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <thread>

#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {

namespace {

std::optional<int> parseInt(std::string_view s, int lo, int hi) {
  int v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
  return v;
}

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string Destination::text() const {
  switch (kind) {
    case Kind::kNode: return "node " + std::to_string(number);
    case Kind::kAll: return "every node";
    case Kind::kGroup: return "group " + std::to_string(number);
  }
  return "";
}

std::optional<Selection> parseSelection(const std::optional<std::string>& nodes,
                                        const std::optional<std::string>& group,
                                        std::string* error) {
  Selection sel;
  const auto fail = [error](const std::string& why) -> std::optional<Selection> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (nodes && group) return fail("give either -n or -g, not both");
  if (group) {
    const auto g = parseInt(*group, 0, 1);
    if (!g) return fail("-g takes group 0 or 1 (the groups every node listens to), not " + *group);
    sel.destinations.push_back({Destination::Kind::kGroup, *g});
    sel.explicit_choice = true;
    return sel;
  }
  if (!nodes) return sel;
  sel.explicit_choice = true;
  if (*nodes == "all") {
    sel.destinations.push_back({Destination::Kind::kAll, 0});
    return sel;
  }
  std::vector<bool> seen(32, false);
  std::string_view rest(*nodes);
  while (true) {
    const size_t comma = rest.find(',');
    const std::string_view part = rest.substr(0, comma);
    const size_t dash = part.find('-');
    const auto lo = parseInt(part.substr(0, dash), 1, 31);
    const auto hi = dash == std::string_view::npos ? lo : parseInt(part.substr(dash + 1), 1, 31);
    if (!lo || !hi || *hi < *lo) {
      return fail("-n takes node numbers 1..31 as 5, 1,3-4 or all; \"" + std::string(part) +
                  "\" is none of these (node 0 is everybody: use -n all)");
    }
    for (int n = *lo; n <= *hi; ++n) {
      if (!seen[static_cast<size_t>(n)]) sel.destinations.push_back({Destination::Kind::kNode, n});
      seen[static_cast<size_t>(n)] = true;
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return sel;
}

int lookupProperty(std::string_view text) {
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
    if (const auto k = parseInt(text, 0, kPropertyCount - 1)) return *k;
    throw Failure(Exit::kUsage, "property number " + std::string(text) +
                                    " is outside 0..126; `tavrix props` lists the table");
  }
  const std::string u = upper(text);
  std::string best;
  size_t best_d = 1000;
  for (const PropertyInfo& p : kPropertyInfo) {
    if (!p.name) continue;
    if (u == p.name) return p.number;
    const size_t d = editDistance(u, p.name);
    if (d < best_d) {
      best_d = d;
      best = p.name;
    }
  }
  std::string msg = "unknown property " + std::string(text) + "; `tavrix props` lists the table";
  if (best_d <= 3) msg += " (did you mean " + best + "?)";
  throw Failure(Exit::kUsage, msg);
}

std::string propertyName(int k) {
  if (k >= 0 && k < kPropertyCount && kPropertyInfo[static_cast<size_t>(k)].name) {
    return kPropertyInfo[static_cast<size_t>(k)].name;
  }
  return std::to_string(k);
}

int getWidth(int k) { return isPair32(k) ? 32 : 16; }
int setWidth(int k) { return isPair32(k) || k == prop::PROFILE_START ? 32 : 16; }

uint32_t requestId(int source, const Destination& d) {
  return (d.group() ? 0x400u : 0u) | (static_cast<uint32_t>(source & 0x1F) << 5) | d.field();
}
uint32_t replyId(int node) { return 0x400u | (static_cast<uint32_t>(node & 0x1F) << 5) | 6u; }

CanMessage getRequest(int source, const Destination& d, int k) {
  CanMessage m;
  m.id = requestId(source, d);
  // One data byte: a two-byte frame would switch the node to CANopen for good.
  m.length = 1;
  m.data[0] = static_cast<uint8_t>(k & 0x7F);
  return m;
}

CanMessage setRequest(int source, const Destination& d, int k, int64_t value) {
  const int w = setWidth(k);
  const int64_t lo = w == 32 ? INT32_MIN : -32768;
  const int64_t hi = w == 32 ? INT64_C(0xFFFFFFFF) : 65535;
  if (value < lo || value > hi) {
    throw Failure(Exit::kUsage, propertyName(k) + " takes a " + std::to_string(w) +
                                    "-bit value (" + std::to_string(lo) + ".." +
                                    std::to_string(hi) + "), not " + std::to_string(value));
  }
  const auto v = static_cast<uint32_t>(value);
  CanMessage m;
  m.id = requestId(source, d);
  m.length = w == 32 ? 6 : 4;
  m.data[0] = static_cast<uint8_t>(0x80 | (k & 0x7F));
  m.data[1] = 0;
  for (int i = 0; i < m.length - 2; ++i) m.data[2 + i] = static_cast<uint8_t>(v >> (8 * i));
  return m;
}

std::optional<Reply> parseReply(const CanMessage& m) {
  if (m.extended || m.remote || (m.id & 0x41F) != 0x406) return std::nullopt;
  if ((m.length != 4 && m.length != 6) || !(m.data[0] & 0x80) || m.data[1] != 0) {
    return std::nullopt;
  }
  Reply r;
  r.node = static_cast<int>((m.id >> 5) & 0x1F);
  r.property = m.data[0] & 0x7F;
  r.width = m.length == 6 ? 32 : 16;
  if (r.width == 32) {
    r.value = static_cast<int32_t>(static_cast<uint32_t>(m.data[2]) | m.data[3] << 8 |
                                   m.data[4] << 16 | static_cast<uint32_t>(m.data[5]) << 24);
  } else {
    r.value = static_cast<int16_t>(m.data[2] | m.data[3] << 8);
  }
  return r;
}

int32_t PropertyClient::get(int node, int k) {
  const Destination d{Destination::Kind::kNode, node};
  bus_.send(getRequest(source_, d, k));
  const auto deadline = Clock::now() + timeout_;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const auto r = bus_.receive(left.count() > 0 ? left : std::chrono::milliseconds(0));
    if (!r) break;
    if (const auto reply = parseReply(r->message); reply && reply->node == node) {
      if (reply->property != k) continue;  // a late reply to an earlier request
      last_reply_micros_ = r->micros;
      return reply->value;
    }
  }
  throw Failure(Exit::kTimeout,
                "node " + std::to_string(node) + " did not answer a get of " + propertyName(k) +
                    " within " + std::to_string(timeout_.count()) + " ms on " + bus_.describe() +
                    ": is the twin running? `tavrix-sim serve --node " + std::to_string(node) +
                    "`; on a real bus check the node number (`tavrix scan`); a node switched to "
                    "CANopen answers only there until `tavrix -n " +
                    std::to_string(node) + " canopen nmt reset-node`");
}

std::vector<Reply> PropertyClient::getAll(const Destination& d, int k) {
  bus_.send(getRequest(source_, d, k));
  std::vector<Reply> out;
  const auto deadline = Clock::now() + timeout_;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const auto r = bus_.receive(left);
    if (!r) break;
    const auto reply = parseReply(r->message);
    if (!reply || reply->property != k) continue;
    if (d.single() && reply->node != d.number) continue;
    const bool dup = std::any_of(out.begin(), out.end(),
                                 [&](const Reply& x) { return x.node == reply->node; });
    if (!dup) out.push_back(*reply);
  }
  std::sort(out.begin(), out.end(), [](const Reply& a, const Reply& b) { return a.node < b.node; });
  return out;
}

void PropertyClient::set(const Destination& d, int k, int64_t value) {
  bus_.send(setRequest(source_, d, k, value));
}

void PropertyClient::waitNodeTime(int node, std::chrono::milliseconds d) {
  // A node busy with a blocking command may leave gets unanswered for a while: ask again, up to
  // a generous limit, before giving up.
  const auto give_up = Clock::now() + std::chrono::seconds(30) + d * 4;
  const auto ask = [&] {
    for (;;) {
      try {
        get(node, prop::FIRMWARE_ID);
        return;
      } catch (const Failure& f) {
        if (f.code() != Exit::kTimeout || Clock::now() > give_up) throw;
      }
    }
  };
  ask();
  const int64_t start = last_reply_micros_;
  while (last_reply_micros_ - start < d.count() * 1000) {
    checkInterrupted();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ask();
  }
}

std::string statusName(int status) {
  switch (status) {
    case STATUS_RESET: return "restart";
    case STATUS_READY: return "ready";
    case STATUS_HOMING: return "homing";
    case STATUS_TEST: return "test";
    case STATUS_HALT: return "halted";
    default: return "unknown (" + std::to_string(status) + ")";
  }
}

namespace {
constexpr const char* kModeNames[] = {"idle", "hold-torque", "torque", "position", "velocity",
                                      "profile"};
}

std::string modeName(int mode) {
  if (mode >= 0 && mode <= 5) return kModeNames[mode];
  return "unknown (" + std::to_string(mode) + ")";
}

std::optional<int> parseMode(std::string_view text) {
  for (int i = 0; i <= 5; ++i) {
    if (text == kModeNames[i]) return i;
  }
  return parseInt(text, 0, 5);
}

}  // namespace tavrix::cli
