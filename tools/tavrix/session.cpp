#include "tools/tavrix/session.hpp"

#include <charconv>
#include <istream>
#include <ostream>

#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {

Bus& Session::bus() {
  if (!*bus_) {
    const std::optional<std::string> option =
        g_.bus.empty() ? std::nullopt : std::optional<std::string>(g_.bus);
    const BusAddress address = chooseBus(option, env_.env, env_.config_files);
    std::unique_ptr<Bus> b = env_.open ? env_.open(address) : openBus(address, milliseconds(1000));
    if (g_.verbose) b = traced(std::move(b), err_);
    *bus_ = std::move(b);
  }
  return **bus_;
}

Selection Session::selection() const {
  std::string error;
  const auto s = parseSelection(g_.nodes.empty() ? std::nullopt : std::optional(g_.nodes),
                                g_.group.empty() ? std::nullopt : std::optional(g_.group), &error);
  if (!s) throw Failure(Exit::kUsage, error);
  return *s;
}

Selection Session::explicitSelection(const std::string& verb) const {
  Selection s = selection();
  if (!s.explicit_choice) {
    throw Failure(Exit::kUsage, "`" + verb + "` writes to nodes: name them with -n (e.g. `tavrix -n 5 " +
                                    verb + " ...`, -n 1,3-4, -n all) or -g 0|1");
  }
  return s;
}

std::vector<int> Session::explicitNodes(const std::string& verb) const {
  const Selection s = selection();
  std::vector<int> nodes;
  for (const Destination& d : s.destinations) {
    if (!d.single()) {
      throw Failure(Exit::kUsage, "`" + verb + "` talks to one node at a time: give node numbers, "
                                      "e.g. -n 5 or -n 1,3-4");
    }
    nodes.push_back(d.number);
  }
  if (nodes.empty()) {
    throw Failure(Exit::kUsage, "`" + verb + "` needs the node: give -n NODE (e.g. `tavrix -n 5 " +
                                    verb + " ...`; `tavrix scan` lists the nodes)");
  }
  return nodes;
}

std::vector<int> Session::nodesToRead() {
  const Selection s = selection();
  std::vector<int> nodes;
  bool broadcast = s.destinations.empty();
  for (const Destination& d : s.destinations) {
    if (d.single()) nodes.push_back(d.number);
    else broadcast = true;
  }
  if (!broadcast) return nodes;
  const Destination d = s.destinations.empty() ? Destination{Destination::Kind::kAll, 0}
                                               : s.destinations.front();
  PropertyClient pc = properties();
  for (const Reply& r : pc.getAll(d, prop::FIRMWARE_ID)) nodes.push_back(r.node);
  if (nodes.empty()) {
    throw Failure(Exit::kTimeout,
                  "no node answered a get of FIRMWARE_ID sent to " + d.text() + " within " +
                      std::to_string(g_.timeout_ms) + " ms on " + bus().describe() +
                      ": is the twin running? `tavrix-sim serve --node 5`; nodes in CANopen "
                      "mode show in `tavrix scan`");
  }
  return nodes;
}

bool Session::confirm(const std::string& question) {
  if (g_.yes) return true;
  if (!env_.stdin_is_terminal || !env_.in) return false;
  err_ << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(*env_.in, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

void printTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> w(header.size());
  for (size_t c = 0; c < header.size(); ++c) w[c] = header[c].size();
  for (const auto& r : rows) {
    for (size_t c = 0; c < r.size() && c < w.size(); ++c) w[c] = std::max(w[c], r[c].size());
  }
  const auto line = [&](const std::vector<std::string>& r) {
    std::string s;
    for (size_t c = 0; c < r.size(); ++c) {
      s += r[c];
      if (c + 1 < r.size()) s += std::string(w[c] - r[c].size() + 2, ' ');
    }
    while (!s.empty() && s.back() == ' ') s.pop_back();
    out << s << "\n";
  };
  line(header);
  for (const auto& r : rows) line(r);
}

int64_t parseInteger(const std::string& text, const std::string& what) {
  std::string_view s(text);
  bool neg = false;
  if (s.starts_with('-')) {
    neg = true;
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.starts_with("0x") || s.starts_with("0X")) {
    base = 16;
    s.remove_prefix(2);
  }
  int64_t v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (s.empty() || ec != std::errc() || p != s.data() + s.size()) {
    throw Failure(Exit::kUsage, what + " must be an integer (decimal or 0x hex), not \"" + text + "\"");
  }
  return neg ? -v : v;
}

}  // namespace tavrix::cli
