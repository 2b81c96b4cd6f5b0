// Verbs that read or write files: monitor, config dump/restore, log record/dump.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "firmware/properties/property_table.hpp"
#include "sim/bus/candump.hpp"
#include "tools/tavrix/config_file.hpp"
#include "tools/tavrix/errors.hpp"
#include "tools/tavrix/json.hpp"
#include "tools/tavrix/log_record.hpp"
#include "tools/tavrix/monitor.hpp"
#include "tools/tavrix/verbs_detail.hpp"

namespace tavrix::cli {

namespace {

std::string padded(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  else s += ' ';
  return s;
}

TrafficDecoder::Protocol protocolOf(const std::string& p) {
  if (p == "property") return TrafficDecoder::Protocol::kProperty;
  if (p == "canopen") return TrafficDecoder::Protocol::kCanopen;
  return TrafficDecoder::Protocol::kAuto;
}

int singleNode(Session& s, const std::string& verb) {
  const std::vector<int> nodes = s.explicitNodes(verb);
  if (nodes.size() != 1) throw Failure(Exit::kUsage, "`" + verb + "` works on one node: give -n NODE");
  return nodes.front();
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char b[32];
  std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return b;
}

}  // namespace

void verbMonitor(Session& s, VerbArgs& a) {
  TrafficDecoder decoder(protocolOf(a.protocol));
  int64_t shown = 0;
  const auto show = [&](int64_t micros, const CanMessage& m, const std::string& iface) {
    if (s.json()) {
      s.out() << decoder.describeJson(m, micros) << "\n";
    } else {
      s.out() << padded(sim::formatCandumpLine(micros, m, iface), 46) << decoder.describe(m) << "\n";
    }
    ++shown;
  };
  if (!a.inputs.empty()) {
    for (const std::string& file : a.inputs) {
      std::ifstream in(file);
      if (!in) throw Failure(Exit::kUsage, "cannot read " + file);
      std::string line;
      int lineno = 0;
      while (std::getline(in, line)) {
        ++lineno;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        const auto l = sim::parseCandumpLine(line);
        if (!l) {
          throw Failure(Exit::kUsage, file + ":" + std::to_string(lineno) +
                                          ": not a candump line (expected \"(SECONDS.MICROS) "
                                          "IFACE ID#DATA\")");
        }
        show(l->micros, l->message, l->iface);
        if (a.count >= 0 && shown >= a.count) return;
      }
    }
    return;
  }
  Bus& bus = s.bus();
  const auto end = a.duration_ms >= 0 ? Clock::now() + std::chrono::milliseconds(a.duration_ms)
                                      : Clock::time_point::max();
  while (a.count < 0 || shown < a.count) {
    const auto now = Clock::now();
    if (now >= end) break;
    const auto left = end == Clock::time_point::max()
                          ? std::chrono::milliseconds(200)
                          : std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    const auto r = bus.receive(left);
    if (!r) continue;
    show(r->micros, r->message, "can0");
    s.out() << std::flush;
  }
}

void verbConfigDump(Session& s, VerbArgs& a) {
  const int node = singleNode(s, "config dump");
  PropertyClient pc = s.properties();
  ConfigHeader h{node, pc.get(node, prop::FIRMWARE_ID), utcNow()};
  std::vector<ConfigEntry> entries;
  std::set<int> seen;
  for (int k : configProperties()) {
    if (!seen.insert(k).second) continue;
    entries.push_back({k, pc.get(node, k)});
  }
  const std::string text = s.json() ? formatConfigJson(h, entries) : formatConfigText(h, entries);
  if (a.output.empty()) {
    s.out() << text;
    return;
  }
  std::ofstream f(a.output);
  if (!(f << text)) throw Failure(Exit::kUsage, "cannot write " + a.output);
  s.err() << "node " << node << ": " << entries.size() << " properties written to " << a.output << "\n";
}

void verbConfigRestore(Session& s, VerbArgs& a) {
  int node = singleNode(s, "config restore");
  std::ifstream in(a.name);
  if (!in) throw Failure(Exit::kUsage, "cannot read configuration " + a.name);
  const std::vector<ConfigEntry> entries = parseConfig(in, a.name);
  PropertyClient pc = s.properties();
  std::vector<ConfigEntry> todo;
  for (const ConfigEntry& e : entries) {
    if (isNodeIdentity(e.number) && !a.with_node_id) {
      s.err() << "skipping NODE_ID (give --with-node-id to restore it)\n";
    } else if (isCalibration(e.number) && !a.with_calibration) {
      s.err() << "skipping " << propertyName(e.number)
              << " (this axis's own calibration; give --with-calibration to restore it)\n";
    } else {
      todo.push_back(e);
    }
  }
  if (a.dry_run) {
    std::vector<std::vector<std::string>> rows;
    for (const ConfigEntry& e : todo) {
      const int32_t now = pc.get(node, e.number);
      if (now == e.value) continue;
      if (s.json()) {
        s.out() << JsonObject().str("property", propertyName(e.number)).num("number", e.number)
                       .num("drive", static_cast<int64_t>(now)).num("file", e.value).text() << "\n";
      } else {
        rows.push_back({propertyName(e.number), std::to_string(now), std::to_string(e.value)});
      }
    }
    if (!s.json()) {
      if (rows.empty()) s.out() << "node " << node << " matches " << a.name << "\n";
      else printTable(s.out(), {"property", "drive", "file"}, rows);
    }
    return;
  }
  std::vector<std::string> failures;
  for (const ConfigEntry& e : todo) {
    const Destination d{Destination::Kind::kNode, node};
    pc.set(d, e.number, e.value);
    // A new node number takes effect at once: the save and read-back go to the new address.
    if (e.number == prop::NODE_ID) node = static_cast<int>(e.value & 0x1F);
    const Destination nd{Destination::Kind::kNode, node};
    pc.set(nd, prop::SAVE, e.number);
    pc.set(nd, prop::LOAD, e.number);
    try {
      // The node answers again once its EEPROM has taken the save and given the value back,
      // which a slow or failing part may take longer than one answer timeout.
      pc.waitNodeTime(node, std::chrono::milliseconds(0));
      const int32_t back = pc.get(node, e.number);
      if (back != e.value) {
        failures.push_back(propertyName(e.number) + ": wrote " + std::to_string(e.value) +
                           ", the EEPROM gives back " + std::to_string(back));
      }
    } catch (const Failure& f) {
      failures.push_back(propertyName(e.number) + ": " + f.what());
    }
  }
  for (const std::string& f : failures) s.err() << "failed: " << f << "\n";
  if (!failures.empty()) {
    throw Failure(Exit::kRefused, std::to_string(failures.size()) + " of " +
                                      std::to_string(todo.size()) + " properties did not restore; "
                                      "test the EEPROM (`tavrix -n " + std::to_string(node) +
                                      " selftest eeprom`), then restore again");
  }
  s.err() << "node " << node << ": " << todo.size() << " properties set, saved and read back\n";
}

void verbLogRecord(Session& s, VerbArgs& a) {
  const int node = singleNode(s, "log record");
  if (a.step <= 2 || a.step > 32767) {
    throw Failure(Exit::kUsage, "--step must be 3..32767: 2 would start a dump, lower values stop");
  }
  PropertyClient pc = s.properties();
  const int32_t mode = pc.get(node, prop::MODE);
  if (mode != 2) {
    s.err() << "note: node " << node << " is in mode " << modeName(mode)
            << "; the step acts as a torque command in mode torque only\n";
  }
  pc.set({Destination::Kind::kNode, node}, prop::STEP_CURRENT, a.step);
  s.err() << "node " << node << ": recording; the node makes " << a.step
          << " the torque command about 15 ms from now\n";
  // 834 records at one per 150 us control cycle: about 125 ms.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (pc.get(node, prop::STEP_CURRENT) != 0) {
    if (Clock::now() > deadline) {
      throw Failure(Exit::kTimeout, "node " + std::to_string(node) +
                                        " did not finish recording within 5 s (STEP_CURRENT "
                                        "still set); is the control interrupt running?");
    }
    pause(std::chrono::milliseconds(20));
  }
  s.err() << "node " << node << ": buffer full; fetch it with `tavrix -n " << node
          << " log dump --csv FILE`\n";
}

void verbLogDump(Session& s, VerbArgs& a) {
  const int node = singleNode(s, "log dump");
  PropertyClient pc = s.properties();
  Bus& bus = s.bus();
  pc.set({Destination::Kind::kNode, node}, prop::STEP_CURRENT, 2);
  std::vector<LogWord> words;
  const bool bar = s.env().stderr_is_terminal;
  // One word every 2 ms; the dump has ended when the node stays quiet for half a second.
  auto last = Clock::now();
  const auto quiet = std::chrono::milliseconds(500);
  const auto first_wait = std::chrono::milliseconds(1000 + s.globals().timeout_ms);
  for (;;) {
    const auto limit = words.empty() ? first_wait : quiet;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(last + limit - Clock::now());
    if (left.count() <= 0) break;
    const auto r = bus.receive(left);
    if (!r) continue;
    const auto pos = logWordPosition(r->message, node);
    if (!pos) continue;
    const auto& d = r->message.data;
    words.push_back({*pos, static_cast<int32_t>(static_cast<uint32_t>(d[0]) | d[1] << 8 | d[2] << 16 |
                                                static_cast<uint32_t>(d[3]) << 24)});
    last = Clock::now();
    if (bar && words.size() % 180 == 0) {
      const int pct = static_cast<int>(words.size() * 100 / kBufferWords);
      s.err() << "\rdump: " << std::string(static_cast<size_t>(pct / 4), '#')
              << std::string(static_cast<size_t>(25 - std::min(25, pct / 4)), '.') << " " << words.size()
              << " words" << std::flush;
    }
  }
  if (bar) s.err() << "\n";
  if (words.empty()) {
    throw Failure(Exit::kRefused, "node " + std::to_string(node) + " sent no log words: record "
                                  "first (`tavrix -n " + std::to_string(node) + " log record --step 400`)");
  }
  const LogRecords rec = rebuildRecords(words);
  std::ofstream csv(a.output);
  if (!csv) throw Failure(Exit::kUsage, "cannot write " + a.output);
  writeCsv(csv, rec, a.scaled);
  csv.close();
  const StepMetrics m = stepMetrics(rec);
  if (s.json()) {
    JsonObject o;
    o.num("node", node).num("words", static_cast<int64_t>(words.size()))
        .num("records", static_cast<int64_t>(rec.records.size())).num("lost_words", rec.missing_words)
        .boolean("step", m.valid);
    if (m.valid) {
      o.num("rise_time_s", m.rise_time_s).num("overshoot_pct", m.overshoot_pct)
          .num("settling_time_s", m.settling_time_s).num("steady_state_error", m.steady_state_error);
    }
    s.out() << o.text() << "\n";
  } else {
    s.out() << "node " << node << ": " << words.size() << " words, " << rec.records.size()
            << " records, " << rec.missing_words << " words lost; " << metricsTitle(m) << "\n";
  }
  for (const std::string& p : a.plots) plotCsv(a.output, p, "node " + std::to_string(node) + ": " + metricsTitle(m));
  // Lost frames anywhere, a cut first or last record included, fail the dump.
  if (rec.missing_words > 0 && !a.allow_gaps) {
    throw Failure(Exit::kRefused, std::to_string(rec.missing_words) + " words were lost in " +
                                      std::to_string(rec.damaged.size()) +
                                      " records (empty fields in the CSV); check the bus load, or "
                                      "give --allow-gaps to accept the record");
  }
}

}  // namespace tavrix::cli
