#include "tools/tavrix-sim/faults.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "sim/bus/can_message.hpp"

namespace tavrix::tools {

const char* const kFaultHelp =
    "Faults (--fault KIND[@START[+DURATION]][:NODE], repeatable; times like 250ms, 1.5s, 40us;\n"
    "START defaults to 0, DURATION to the end of the run, NODE to every node):\n"
    "  eeprom-absent   nothing answers on the EEPROM's chip select: reads give 0xFF, writes are\n"
    "                  lost after a bounded wait; the node keeps serving\n"
    "  eeprom-stuck    the EEPROM's busy bit never clears: every write costs about 26 ms of\n"
    "                  main loop and may be lost; the node keeps serving\n"
    "  eeprom-flips    one bit flipped in every 5th byte read from the EEPROM (cells intact)\n"
    "  encoder-absent  the encoder's data line floats: every reading is 0xFFFF\n"
    "  encoder-stuck   the encoder keeps answering the angle it had\n"
    "  no-hard-stop    the axis loses both hard stops (homing finds nothing to stop at)\n"
    "  bus-flood       a host sends gets back to back at top priority, 100 % bus load, for\n"
    "                  60 s unless a DURATION is given; with NODE they are addressed to it\n"
    "  power-cut       the run ends at START; each EEPROM image is what the part held\n";

namespace {

struct KindName {
  FaultKind kind;
  std::string_view name;
};
constexpr KindName kKinds[] = {
    {FaultKind::kEepromAbsent, "eeprom-absent"},  {FaultKind::kEepromStuck, "eeprom-stuck"},
    {FaultKind::kEepromBitFlips, "eeprom-flips"}, {FaultKind::kEncoderAbsent, "encoder-absent"},
    {FaultKind::kEncoderStuck, "encoder-stuck"},  {FaultKind::kNoHardStop, "no-hard-stop"},
    {FaultKind::kBusFlood, "bus-flood"},          {FaultKind::kPowerCut, "power-cut"},
};

std::optional<sim::SimTime> parseTime(std::string_view text, std::string* error) {
  struct Unit {
    std::string_view suffix;
    double clocks;
  };
  constexpr Unit kUnits[] = {{"us", static_cast<double>(sim::kClocksPerUs)},
                             {"ms", static_cast<double>(sim::kClocksPerMs)},
                             {"s", static_cast<double>(sim::kBusClockHz)}};
  for (const Unit& u : kUnits) {
    if (text.size() <= u.suffix.size() || !text.ends_with(u.suffix)) continue;
    const std::string_view number = text.substr(0, text.size() - u.suffix.size());
    if (number.find_first_not_of("0123456789.") != std::string_view::npos) break;
    double value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc() || end != number.data() + number.size()) break;
    const double clocks = std::round(value * u.clocks);
    // A day of simulated time is far beyond any run; it also keeps the sum of start and
    // duration inside the clock's range.
    if (!(clocks <= 86400.0 * static_cast<double>(sim::kBusClockHz))) {
      *error = "time '" + std::string(text) + "' is beyond a day";
      return std::nullopt;
    }
    return static_cast<sim::SimTime>(clocks);
  }
  *error = "time '" + std::string(text) + "' is not a number with a unit us, ms or s";
  return std::nullopt;
}

std::string timeText(sim::SimTime t) {
  if (t % sim::kClocksPerMs == 0) return std::to_string(t / sim::kClocksPerMs) + "ms";
  if (t % sim::kClocksPerUs == 0) return std::to_string(t / sim::kClocksPerUs) + "us";
  return std::to_string(static_cast<double>(t) / static_cast<double>(sim::kClocksPerUs)) + "us";
}

// Keeps a host's transmit queue full for the flood's length, so the bus never idles.
class Flood : public std::enable_shared_from_this<Flood> {
 public:
  // Four frames last longer on the bus (at least 4 x 44 bits) than a refill period, so the bus
  // never idles; few enough that the flood is over soon after its end (no long tail queued).
  static constexpr size_t kQueued = 4;
  static constexpr sim::SimTime kRefill = sim::fromMicros(100);

  Flood(sim::World& world, sim::HostEndpoint& host, uint32_t id, sim::SimTime end, uint64_t& queued)
      : world_(world), host_(host), id_(id), end_(end), queued_(queued) {}

  void tick() {
    if (world_.now() >= end_) return;
    sim::CanMessage m;
    m.id = id_;
    m.length = 1;
    m.data[0] = 0;  // a get of property 0
    while (host_.pendingCount() < kQueued) {
      host_.send(m);
      ++queued_;
    }
    auto self = shared_from_this();
    world_.queue().scheduleAfter(kRefill, [self] { self->tick(); });
  }

 private:
  sim::World& world_;
  sim::HostEndpoint& host_;
  uint32_t id_;
  sim::SimTime end_;
  uint64_t& queued_;
};

void setFault(NodeBoard& b, FaultKind kind, bool on, const sim::AxisParams& shipped) {
  switch (kind) {
    case FaultKind::kEepromAbsent:
      b.eeprom->setFault(on ? sim::EepromFault::kAbsent : sim::EepromFault::kNone);
      break;
    case FaultKind::kEepromStuck:
      b.eeprom->setFault(on ? sim::EepromFault::kStuckBusy : sim::EepromFault::kNone);
      break;
    case FaultKind::kEepromBitFlips:
      b.eeprom->setReadBitFlips(on ? kBitFlipEvery : 0);
      break;
    case FaultKind::kEncoderAbsent:
      b.drive.encoder().setPresent(!on);
      break;
    case FaultKind::kEncoderStuck:
      b.drive.encoder().setStuck(on);
      break;
    case FaultKind::kNoHardStop: {
      // The plant has been brought to the instant first, so the change acts from now on only.
      constexpr double kInf = std::numeric_limits<double>::infinity();
      b.drive.plant().setHardStops(on ? -kInf : shipped.lower_stop_rad,
                                   on ? kInf : shipped.upper_stop_rad);
      break;
    }
    case FaultKind::kBusFlood:
    case FaultKind::kPowerCut:
      break;
  }
}

}  // namespace

std::optional<Fault> parseFault(std::string_view text, std::string* error) {
  Fault f;
  std::string_view rest = text;
  if (const size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
    const std::string_view node = rest.substr(colon + 1);
    int n = -1;
    const auto [end, ec] = std::from_chars(node.data(), node.data() + node.size(), n);
    if (node.empty() || ec != std::errc() || end != node.data() + node.size() || n < 0 || n > 31) {
      *error = "node '" + std::string(node) + "' is not a node number 0..31";
      return std::nullopt;
    }
    f.node = n;
    rest = rest.substr(0, colon);
  }
  std::string_view when;
  if (const size_t at = rest.find('@'); at != std::string_view::npos) {
    when = rest.substr(at + 1);
    rest = rest.substr(0, at);
    if (when.empty()) {
      *error = "'@' without a time in '" + std::string(text) + "'";
      return std::nullopt;
    }
  }
  bool known = false;
  for (const KindName& k : kKinds) {
    if (k.name == rest) {
      f.kind = k.kind;
      known = true;
    }
  }
  if (!known) {
    *error = "unknown fault '" + std::string(rest) + "'";
    return std::nullopt;
  }
  if (!when.empty()) {
    const size_t plus = when.find('+');
    const auto start = parseTime(when.substr(0, plus), error);
    if (!start) return std::nullopt;
    f.start = *start;
    if (plus != std::string_view::npos) {
      const auto duration = parseTime(when.substr(plus + 1), error);
      if (!duration) return std::nullopt;
      f.duration = *duration;
    }
  }
  if (f.kind == FaultKind::kPowerCut) {
    if (f.duration || f.node) {
      *error = "a power cut is an instant of the whole run: no duration, no node";
      return std::nullopt;
    }
  }
  return f;
}

std::string formatFault(const Fault& fault) {
  std::string out;
  for (const KindName& k : kKinds) {
    if (k.kind == fault.kind) out = std::string(k.name);
  }
  out += "@" + timeText(fault.start);
  if (fault.duration) out += "+" + timeText(*fault.duration);
  if (fault.node) out += ":" + std::to_string(*fault.node);
  return out;
}

bool applyFaults(std::span<const Fault> faults, sim::World& world,
                 std::span<const FaultBoard> boards, AppliedFaults& applied, std::string* error) {
  // Everything is checked before anything is scheduled.
  for (const Fault& f : faults) {
    if (!f.node || f.kind == FaultKind::kBusFlood) continue;
    bool found = false;
    for (const FaultBoard& b : boards) found = found || b.nodeId == *f.node;
    if (!found) {
      *error = "fault " + formatFault(f) + ": no node " + std::to_string(*f.node);
      return false;
    }
  }
  sim::EventQueue& queue = world.queue();
  const sim::SimTime base = world.now();
  for (const Fault& f : faults) {
    const sim::SimTime start = base + f.start;
    if (f.kind == FaultKind::kPowerCut) {
      if (!applied.powerCut || start < *applied.powerCut) applied.powerCut = start;
      continue;
    }
    if (f.kind == FaultKind::kBusFlood) {
      if (applied.flooder == nullptr) {
        applied.flooder = &world.addHostEndpoint("flood");
        applied.flooder->keepHistory(false);
      }
      const sim::SimTime end = start + f.duration.value_or(kFloodDefault);
      auto flood = std::make_shared<Flood>(world, *applied.flooder,
                                           static_cast<uint32_t>(f.node.value_or(0)), end,
                                           applied.floodFramesQueued);
      queue.schedule(start, [flood] { flood->tick(); });
      continue;
    }
    for (const FaultBoard& b : boards) {
      if (f.node && *f.node != b.nodeId) continue;
      NodeBoard* board = b.board;
      const FaultKind kind = f.kind;
      const sim::AxisParams axis = board->drive.plant().params().axis;  // as built
      queue.schedule(start, [board, kind, axis, &world] {
        board->drive.advanceTo(world.now());
        setFault(*board, kind, true, axis);
      });
      if (f.duration) {
        queue.schedule(start + *f.duration, [board, kind, axis, &world] {
          board->drive.advanceTo(world.now());
          setFault(*board, kind, false, axis);
        });
      }
    }
  }
  return true;
}

}  // namespace tavrix::tools
