// Fuzz harness: arbitrary frame sequences (any identifier, standard and extended, length codes
// 0..15, remote frames, any data) into node 5 on the simulated chip and, when the input's header
// asks for it, a second node on the same bus, in the property protocol and, after a switch frame,
// as CANopen slaves (SDO, NMT, PDO configuration with any mapping, SYNC). The header may also
// inject one fault: an EEPROM absent, stuck busy or flipping bits on read, an encoder absent or
// stuck, or a power cut after which both nodes start again from what their EEPROMs hold
// (frame_decoder.hpp has the layout).
//
// Checked along the run, at the end of every frame on the bus:
//  - every access in bounds and no undefined behaviour (the sanitizers); no hang (a node that
//    stops relaxing trips the world's runaway check, a run that never ends the fuzzer's time-out);
//  - the frame ring consistent, its drop count only growing; the CANopen slave's state,
//    identifiers and dictionary sound;
//  - every frame a node sends is its own and well formed: a property reply (group 6, the node's
//    number in the source field, 0x80 OR k then 0, length 6 for the 32-bit numbers and 4 for the
//    rest), a logger word (the node's number, a logger group, 4 bytes), or, once the slave runs,
//    its heartbeat, SDO response, EMCY or a transmit PDO on an identifier configured in its
//    dictionary. Nothing goes out under another node's number;
//  - a node's receive filters take exactly the frames addressed to it (see "Which gets are
//    answered");
//  - replies answer gets, in the order the gets arrived, and account for them: the gets the node
//    took that got no reply are at most the frames the node dropped (the ring's drop count) plus
//    those its controller lost by overwriting a full receive buffer.
// After the input: both nodes answer a get (liveness), and frames that cannot write the EEPROM
// leave each image unchanged.
//
// Which gets are answered. In the property protocol a node takes a standard frame (data or
// remote) whose identifier has group flag 0 and destination equal to its number or 0, or group
// flag 1 and group 0 or 1; the source field does not matter. It handles the frames it takes one
// at a time in arrival order. Every taken frame whose length code is not 2 and whose first data
// byte has bit 7 clear (a remote frame or one without data reads as a get of 0) is a get and is
// answered once, unless
//  - it never reached the ring: the ring was full and dropped it (counted), or the controller
//    overwrote it in a receive buffer before the receive interrupt read it (the harness counts
//    this from the controller's buffers);
//  - a two-byte frame was taken before it since the last start: that frame switched the node to
//    CANopen (from then on gets are CANopen frames and get no property reply) or restarted it
//    (a get still waiting then is lost with the restart). Such a get is answered only if that
//    two-byte frame was itself lost;
//  - the node restarted (a status set to 0, a reset frame, an NMT reset, a power cut) before
//    handling it;
//  - the node's controller did not take it: during its start-up, before the receive buffers are
//    set up, and during the switch's re-configuration.
// A node is never too busy to answer: a homing, a self-test or an EEPROM write handles further
// frames while it waits.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "firmware/canopen/canopen.hpp"
#include "tests/fuzz/frame_decoder.hpp"
#include "tests/fuzz/run_totals.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/faults.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace {

using tavrix::sim::CanMessage;
using tavrix::sim::fromMicros;
using tavrix::sim::fromMillis;
using tavrix::sim::SimTime;

// Long inputs add time, not new behaviour. An input's frames span at most kMaxSpan of simulated
// time: a longer sequence is compressed, every delay shortened in the same proportion (the
// node idles through long pauses, and its control interrupt makes idle time the costliest).
constexpr size_t kMaxFrames = 64;
constexpr SimTime kMaxSpan = fromMillis(20);
// How long a node may take to answer the liveness get (a self-test or a homing an input started
// keeps it busy, though it keeps serving) and to start up.
constexpr SimTime kAliveBound = fromMillis(400);
constexpr SimTime kStartBound = fromMillis(50);
constexpr SimTime kStep = fromMicros(100);
constexpr uint32_t kReplyGroup = 6;

// Totals over the process, printed at exit.
uint64_t gInputs = 0;
uint64_t gFramesSent = 0;
SimTime gSimulated = 0;  // simulated time of all runs
SimTime gStartUp = 0;    // of which the nodes' start-ups

void printTotals();

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    printTotals();
    std::abort();
  }
}

const tavrix::tools::FactoryDefaults& defaults() {
  static const tavrix::tools::FactoryDefaults d = [] {
    std::string error;
    auto parsed = tavrix::tools::shippedFactoryDefaults(&error);
    check(parsed.has_value(), "shipped factory defaults parse");
    return *parsed;
  }();
  return d;
}

// The factory image of each node number, built once.
const std::vector<uint8_t>& factoryImage(int nodeId) {
  static std::array<std::vector<uint8_t>, 32> images;
  std::vector<uint8_t>& image = images[static_cast<size_t>(nodeId & 31)];
  if (image.empty()) {
    image.assign(tavrix::sim::SerialEepromConfig{}.size_bytes,
                 tavrix::sim::SerialEeprom::kErasedByte);
    tavrix::tools::writeFactoryImage(defaults(), nodeId, image);
  }
  return image;
}

bool isPair(int k) {
  switch (k) {
    case 48:
    case 50:
    case 52:
    case 54:
    case 56:
    case 66:
    case 68:
    case 74:
    case 98:
      return true;
    default:
      return false;
  }
}

// Rows of the transmit PDOs' COB-IDs (0x1800 + n, sub-index 1) in the dictionary.
const std::array<int, 4>& tpdoCobRows() {
  static const std::array<int, 4> rows = [] {
    std::array<int, 4> r{-1, -1, -1, -1};
    for (int i = 0; i < tavrix::CanOpen::kRows; ++i) {
      const auto& row = tavrix::canopen::kObjectDictionary[static_cast<size_t>(i)];
      if (row.idx >= 0x1800 && row.idx <= 0x1803 && row.subIdx == 1) r[row.idx - 0x1800u] = i;
    }
    return r;
  }();
  return rows;
}

// True when no frame of the input can write the EEPROM: in the property protocol only gets and
// sets of numbers that neither save, nor run an action, a calibration or a mode change (which
// may store the electrical offset); and no two-byte frame (the switch to CANopen, whose store
// writes, and the reset frame).
bool mustNotWrite(const std::vector<tavrix::fuzz::TimedFrame>& frames) {
  using namespace tavrix;
  for (const auto& f : frames) {
    const CanMessage& m = f.message;
    if (m.extended) continue;  // never reaches the standard receive buffers
    if (m.length == 2) return false;
    const uint8_t b = m.remote || m.length == 0 ? 0 : m.data[0];
    if ((b & 0x80) == 0) continue;
    switch (b & 0x7F) {
      case prop::MODE:
      case prop::SAVE:
      case prop::ACTION:
      case prop::SAVE_ALT:
      case prop::CALIBRATE:
        return false;
      default:
        break;
    }
  }
  return true;
}

// The CANopen slave, once started: a valid NMT state, identifiers fixed at its start, the
// dictionary in its order with the terminator in place, SYNC counters in range.
void checkCanOpen(tavrix::Node& node) {
  using tavrix::CanOpen;
  const CanOpen& co = node.canopen;
  if (node.ring.parseMode != 1) {
    check(co.initCount == 0, "the slave starts only with CANopen mode");
    return;
  }
  check(co.initCount <= 1, "the slave starts once per reset");
  const uint8_t st = co.m_co_state;
  // Not started yet, or state 0: the switch (controller re-configuration, EEPROM reads) is still
  // running in the main context that this check interrupts.
  if (co.initCount == 0 || st == tavrix::CO_STATE_INIT) return;
  check(st == tavrix::CO_STATE_STOPPED || st == tavrix::CO_STATE_OPERATIONAL ||
            st == tavrix::CO_STATE_PREOPERATIONAL,
        "NMT state stopped, operational or pre-operational");
  const auto id = static_cast<uint32_t>(static_cast<int32_t>(node.property[tavrix::prop::NODE_ID]));
  check(co.sdoRx == (id | 0x600u) && co.sdoTx == (id | 0x580u) && co.emcy == (id | 0x80u),
        "SDO and EMCY identifiers from the node-ID");
  check(co.co_data[CanOpen::kRows].idx == 0 && co.co_data[CanOpen::kRows].readFunc == nullptr &&
            co.co_data[CanOpen::kRows].writeFunc == nullptr,
        "dictionary terminator intact");
  for (int i = 0; i < CanOpen::kRows; ++i) {
    check(co.co_data[i].idx == tavrix::canopen::kObjectDictionary[static_cast<size_t>(i)].idx,
          "dictionary rows keep their order");
  }
  for (int n = 0; n < 4; ++n) {
    // A counter goes back to 0 when it reaches its type (at most 240).
    check(co.syncRxCt[n] < 240 && co.syncTxCt[n] < 240, "SYNC counters below 240");
  }
}

// Whether the property protocol addresses a frame to node `own` (0..31).
bool addressedTo(const CanMessage& m, int own) {
  if (m.extended) return false;
  const uint32_t dest = m.id & 0x1F;
  if ((m.id & 0x400) == 0) return dest == static_cast<uint32_t>(own) || dest == 0;
  return dest <= 1;
}

struct PendingGet {
  uint8_t k;
  bool behindTwoByte;  // a two-byte frame was taken before it
  bool liveness;       // the harness's own get after the input
};

// Storage reused from input to input for the boards (each holds a node, whose construction
// would otherwise fault in fresh pages every time) and for the rig.
template <typename T, size_t N>
class Slots {
 public:
  template <typename... Args>
  T* make(size_t i, Args&&... args) {
    return new (storage_[i].bytes) T(std::forward<Args>(args)...);
  }

 private:
  struct alignas(T) Bytes {
    std::byte bytes[sizeof(T)];
  };
  std::array<Bytes, N> storage_;
};

struct BoardDeleter {
  void operator()(tavrix::tools::NodeBoard* b) const { b->~NodeBoard(); }
};

Slots<tavrix::tools::NodeBoard, 2>& boardSlots() {
  static auto* slots = new Slots<tavrix::tools::NodeBoard, 2>;
  return *slots;
}

// One node on the bus and what the harness knows of its present run (since its last start).
struct Station {
  int firstId = 0;  // the number its factory image gives it
  std::unique_ptr<tavrix::tools::NodeBoard, BoardDeleter> board;
  tavrix::sim::SimNode* sim = nullptr;
  bool eepromFlips = false;  // the bit-flip fault is on this node's part at some time

  uint64_t framesSeen = 0;  // frames its controller has seen end on the bus
  uint32_t resets = 0;
  uint32_t dropped = 0;
  std::deque<PendingGet> pending;  // gets taken and not yet answered, oldest first
  bool twoByteTaken = false;
  bool numberLoaded = false;  // a load of NODE_ID was taken: the property and the filter may differ
  uint32_t overruns = 0;      // frames its controller lost in a full receive buffer
  uint32_t unanswered = 0;    // gets passed over by the reply to a later one
  uint32_t sources = 0;       // bit n: its number has had n in its five-bit field
  std::vector<uint32_t> heartbeatIds;
  std::vector<uint32_t> pdoIds;  // bit 31: extended

  // Liveness: the get asked (property protocol) or the SDO answer awaited, and whether the
  // answer came.
  bool awaiting = false;
  bool askTaken = false;  // the liveness get has reached the node
  uint32_t askId = 0;
  uint32_t awaitSdoId = 0;
  bool answered = false;

  tavrix::Node& node() { return board->slot.node(); }
  tavrix::sim::FlexCan& can() { return sim->chip().can(); }
  // The address the node's own receive buffer listens to, or -1 when that is not an address.
  int listensAt() {
    const uint32_t id = can().bufferId(1);
    return id <= 31 ? static_cast<int>(id) : -1;
  }
  bool started() { return sim->chip().motorTimer().running(); }

  void newRun() {
    pending.clear();
    twoByteTaken = false;
    numberLoaded = false;
    overruns = 0;
    unanswered = 0;
    dropped = 0;
    sources = 0;
    heartbeatIds.clear();
    pdoIds.clear();
  }
};

void addOnce(std::vector<uint32_t>& v, uint32_t x) {
  if (std::find(v.begin(), v.end(), x) == v.end()) v.push_back(x);
}

class Rig;

// Sees every frame at its end on the bus before the nodes take it (attached first).
class ArrivalObserver final : public tavrix::sim::CanEndpoint {
 public:
  explicit ArrivalObserver(Rig& rig) : rig_(rig) {}
  void onReceived(const CanMessage& m, SimTime end_clk) override;

 private:
  Rig& rig_;
};

struct Run {
  std::vector<int> ids;                      // first numbers of the nodes
  std::vector<std::vector<uint8_t>> images;  // what each EEPROM holds at power-on
  std::vector<tavrix::tools::Fault> faults;  // faults other than the power cut
};

// One power-on of the bus: the nodes, a host that sends the input's frames, and the checks.
class Rig {
 public:
  explicit Rig(const Run& run) : observer_(*this) {
    world_.bus().attach(observer_);
    tavrix::sim::SerialEepromConfig eeprom;
    // A short write cycle keeps saves and the EEPROM test (three writes for each of 1024 bytes)
    // cheap in simulated time; still longer than one status poll, so writes wait for the part.
    eeprom.write_cycle_clk = fromMicros(10);
    for (size_t i = 0; i < run.ids.size(); ++i) {
      auto s = std::make_unique<Station>();
      s->firstId = run.ids[i];
      s->board.reset(boardSlots().make(i, std::make_unique<tavrix::sim::SerialEeprom>(eeprom)));
      s->board->eeprom->preload(0, run.images[i]);
      s->sim = &s->board->attach(world_, "node" + std::to_string(run.ids[i]));
      stations_.push_back(std::move(s));
    }
    host_ = &world_.addHostEndpoint();
    host_->keepHistory(false);
    host_->onTransmit([this](const CanMessage& m, SimTime) { frameEnded(m, true); });
    host_->onReceive([this](const CanMessage& m, SimTime) { frameEnded(m, false); });
    std::vector<tavrix::tools::FaultBoard> boards;
    for (auto& s : stations_) {
      boards.push_back({s->firstId, s->board.get()});
      for (const auto& f : run.faults) {
        if (f.kind == tavrix::tools::FaultKind::kEepromBitFlips &&
            (!f.node || *f.node == s->firstId)) {
          s->eepromFlips = true;
        }
      }
    }
    std::string error;
    check(tavrix::tools::applyFaults(run.faults, world_, boards, applied_, &error), "faults apply");
  }

  tavrix::sim::World& world() { return world_; }
  tavrix::sim::HostEndpoint& host() { return *host_; }
  std::vector<std::unique_ptr<Station>>& stations() { return stations_; }

  // Runs until every node runs its main loop (bounded: a node that never gets there is still
  // fed frames).
  void runUntilStarted() {
    const SimTime limit = world_.now() + kStartBound;
    auto allStarted = [this] {
      for (auto& s : stations_) {
        if (!s->started()) return false;
      }
      return true;
    };
    while (!allStarted() && world_.now() < limit) world_.runFor(kStep);
    gStartUp += world_.now();
  }

  ~Rig() { gSimulated += world_.now(); }

  void send(const CanMessage& m) { host_->send(m); }

  // A frame has ended on the bus; the nodes have not taken it yet.
  void frameArrives(const CanMessage& m) {
    for (auto& s : stations_) arrive(*s, m);
  }

  // Ring, CANopen and sequence checks of every node at this instant.
  void checkNodes() {
    for (auto& s : stations_) {
      newRunIfRestarted(*s);
      observe(*s);
    }
  }

  // The liveness check of one node; false when its number is not an address (nothing to ask).
  void checkAlive(Station& s);

  // After the liveness check: the gets left without a reply are accounted for. Replies are
  // matched to the earliest waiting get of their number; when several gets of one number wait
  // and some are lost, that may pair a reply with an earlier get than the one it answers, but
  // the number left without a reply is the same. The gets before the last liveness get are
  // all settled once it is answered.
  void checkAccounting(Station& s) {
    newRunIfRestarted(s);
    uint32_t unanswered = s.unanswered;
    auto last = std::find_if(s.pending.rbegin(), s.pending.rend(),
                             [](const PendingGet& g) { return g.liveness; });
    if (last != s.pending.rend()) {
      for (auto p = s.pending.begin(); p != last.base() - 1; ++p) {
        if (!p->behindTwoByte) ++unanswered;
      }
    }
    check(unanswered <= s.node().ring.droppedFrames() + s.overruns,
          "replies account for the gets taken, less the frames dropped or overwritten");
  }

 private:
  void newRunIfRestarted(Station& s) {
    if (s.sim->resetCount() == s.resets) return;
    // A restart loses what waited in the ring and the controller: the new run starts clean.
    s.resets = s.sim->resetCount();
    s.newRun();
  }

  // Samples what a node's frames may carry: its number, its CANopen identifiers.
  void observe(Station& s) {
    tavrix::Node& node = s.node();
    const auto number =
        static_cast<uint32_t>(static_cast<int32_t>(node.property[tavrix::prop::NODE_ID]));
    s.sources |= 1u << (number & 31);
    addOnce(s.heartbeatIds, (number | 0x700u) & 0x7FFu);
    tavrix::CommRing& ring = node.ring;
    check(ring.headSlot() < tavrix::CommRing::kSlots, "head inside the ring");
    check(ring.tailSlot() < tavrix::CommRing::kSlots, "tail inside the ring");
    check(ring.unreadFrames() <= tavrix::CommRing::kSlots, "never more unread frames than slots");
    check((ring.tailSlot() + ring.unreadFrames()) % tavrix::CommRing::kSlots == ring.headSlot(),
          "head is tail plus the unread frames");
    check(ring.droppedFrames() >= s.dropped, "drop count only grows");
    s.dropped = ring.droppedFrames();
    check(ring.parseMode == 0 || ring.parseMode == 1, "protocol mode 0 or 1");
    checkCanOpen(node);
    if (ring.parseMode == 1 && node.canopen.initCount > 0) {
      for (int row : tpdoCobRows()) {
        if (row < 0) continue;
        const uint32_t cob = node.canopen.co_data[row].value;
        if ((cob & 0x80000000u) != 0) continue;  // not valid: never sent
        addOnce(s.pdoIds,
                (cob & 0x20000000u) != 0 ? 0x80000000u | (cob & 0x1FFFFFFFu) : cob & 0x7FFu);
      }
    }
  }

  void arrive(Station& s, const CanMessage& m) {
    newRunIfRestarted(s);
    observe(s);
    tavrix::sim::FlexCan& can = s.can();
    if (!can.enabled() || can.frozen()) return;
    // Which receive buffers take the frame, as the controller will decide in a moment.
    bool taken = false;
    bool emptyBuffer = false;
    for (uint8_t i = 1; i <= 4; ++i) {
      using Code = tavrix::sim::FlexCan::Code;
      const Code code = can.bufferCode(i);
      if (code != Code::kRxEmpty && code != Code::kRxFull && code != Code::kRxOverrun) continue;
      const uint32_t id = can.bufferId(i);
      const bool extended = (id & 0x80000000u) != 0;
      if (extended != m.extended) continue;
      const uint32_t bufferReg = extended ? id & 0x1FFFFFFFu : (id & 0x7FFu) << 18;
      const uint32_t frameReg = m.extended ? m.id : m.id << 18;
      if (((bufferReg ^ frameReg) & can.acceptanceMask() & 0x1FFFFFFFu) != 0) continue;
      taken = true;
      emptyBuffer = emptyBuffer || code == Code::kRxEmpty;
    }
    tavrix::Node& node = s.node();
    const int16_t number = node.property[tavrix::prop::NODE_ID];
    if (s.started() && node.ring.parseMode == 0 && number >= 0 && number <= 31) {
      // The filter takes the number when it is set and at the start; a load of the number
      // changes the property only, like every value a load brings back.
      if (!s.numberLoaded) {
        check(s.listensAt() == number, "the node's own receive buffer holds its number");
      }
      if (s.listensAt() >= 0) {
        check(taken == addressedTo(m, s.listensAt()),
              "the receive filters take exactly the frames addressed to the node");
      }
    }
    if (!taken) return;
    if (!emptyBuffer) ++s.overruns;  // the frame waiting in the buffer is overwritten
    if (node.ring.parseMode != 0) return;
    if (m.length == 2) {
      s.twoByteTaken = true;
      return;
    }
    const auto byte = [&m](size_t i) -> uint8_t { return i < m.dataBytes() ? m.data[i] : 0; };
    const uint8_t b0 = byte(0);
    if ((b0 & 0x80) == 0) {
      const bool liveness =
          s.awaiting && !m.extended && m.id == s.askId && b0 == tavrix::prop::FIRMWARE_ID;
      s.pending.push_back({b0, s.twoByteTaken, liveness});
      s.askTaken = s.askTaken || liveness;
      return;
    }
    // Sets that give the node a number it may answer under before the harness samples it.
    const auto value = static_cast<int16_t>(byte(2) | byte(3) << 8);
    if ((b0 & 0x7F) == tavrix::prop::NODE_ID) s.sources |= 1u << (value & 31);
    if ((b0 & 0x7F) == tavrix::prop::LOAD && value == tavrix::prop::NODE_ID) {
      s.numberLoaded = true;
      const auto image = s.board->eeprom->image();
      s.sources |= 1u << (image[2 * tavrix::prop::NODE_ID] & 31);
      // A load nested in the EEPROM self-test reads the word under test at its pattern.
      s.sources |= 1u << (0x5555 & 31) | 1u << (0xAAAA & 31);
    }
  }

  void frameEnded(const CanMessage& m, bool fromHost) {
    // The sender is the one node whose controller did not see the frame. The host hears of its
    // own frame before the nodes take it; it hears of another's after them.
    Station* sender = nullptr;
    for (auto& s : stations_) {
      const uint64_t seen = s->can().framesReceived() + s->can().framesIgnored();
      const uint64_t delta = seen - s->framesSeen;
      if (fromHost) {
        check(delta == 0, "every controller sees every frame of another");
        s->framesSeen = seen + 1;
        continue;
      }
      check(delta <= 1, "every controller sees every frame of another");
      s->framesSeen = seen;
      if (delta == 0) {
        check(sender == nullptr, "a frame has one sender");
        sender = s.get();
      }
    }
    if (!fromHost) check(sender != nullptr, "a frame the host receives comes from a node");
    checkNodes();
    if (sender != nullptr) checkSent(*sender, m);
  }

  bool holdsSource(const Station& s, uint32_t id) const {
    // Under bit flips a load may give the node any number the part returns.
    return s.eepromFlips || (s.sources & (1u << ((id >> 5) & 31))) != 0;
  }

  // A frame node `s` sent: its own, well formed, and a reply answers a get it took.
  void checkSent(Station& s, const CanMessage& m) {
    tavrix::Node& node = s.node();
    if (s.awaiting && !m.extended && m.id == s.awaitSdoId && m.length == 8 && m.data[0] == 0x42 &&
        m.data[1] == 0x00 && m.data[2] == 0x10 && m.data[3] == 0) {
      s.answered = true;
    }
    const bool standard = !m.extended && !m.remote;
    const uint32_t group = m.id & 0x1F;
    if (standard && (m.id & 0x400) != 0 && group == kReplyGroup && holdsSource(s, m.id)) {
      // A property reply: the first get still waiting for it with its number.
      const uint8_t k = m.data[0] & 0x7F;
      auto it = std::find_if(s.pending.begin(), s.pending.end(),
                             [k](const PendingGet& g) { return g.k == k; });
      if (it != s.pending.end()) {
        check((m.data[0] & 0x80) != 0 && m.data[1] == 0, "a reply carries 0x80 OR k, then 0");
        check(m.length == (isPair(k) ? 6 : 4), "a reply is 6 bytes for a pair, else 4");
        if (it->behindTwoByte) {
          check(node.ring.droppedFrames() + s.overruns > 0,
                "a get behind a switch or reset frame is answered only if that frame was lost");
        }
        for (auto p = s.pending.begin(); p != it; ++p) {
          if (!p->behindTwoByte) ++s.unanswered;
        }
        // Replies go out in the order of the gets, and the liveness get was sent once the node
        // had sent every earlier reply: a reply of its number after it arrived answers it.
        if (s.awaiting && s.askTaken && k == tavrix::prop::FIRMWARE_ID) s.answered = true;
        s.pending.erase(s.pending.begin(), it + 1);
        return;
      }
    }
    // A logger word: groups 16..31 for the first sixteen words of a record, 14 and 15 for the
    // last two.
    if (standard && (m.id & 0x400) != 0 && group >= 14 && holdsSource(s, m.id) && m.length == 4) {
      return;
    }
    if (node.ring.parseMode == 1 && node.canopen.initCount > 0) {
      const tavrix::CanOpen& co = node.canopen;
      if (standard && m.length == 1 &&
          std::find(s.heartbeatIds.begin(), s.heartbeatIds.end(), m.id) != s.heartbeatIds.end()) {
        check(m.data[0] == tavrix::CO_STATE_STOPPED || m.data[0] == tavrix::CO_STATE_OPERATIONAL ||
                  m.data[0] == tavrix::CO_STATE_PREOPERATIONAL,
              "a heartbeat carries stopped, operational or pre-operational");
        return;
      }
      if (standard && m.id == (co.sdoTx & 0x7FFu)) {
        check(m.length == 8 && (m.data[0] == 0x42 || m.data[0] == 0x60 || m.data[0] == 0x80),
              "an SDO response is 8 bytes: upload, download or abort");
        return;
      }
      if (standard && m.id == (co.emcy & 0x7FFu)) return;
      const uint32_t key = m.extended ? 0x80000000u | m.id : m.id;
      if (!m.remote && m.length >= 1 && m.length <= 8 &&
          std::find(s.pdoIds.begin(), s.pdoIds.end(), key) != s.pdoIds.end()) {
        return;
      }
    }
    std::fprintf(stderr, "frame %s%03X len %u data %02X %02X from the node numbered %d\n",
                 m.extended ? "ext " : "", m.id, m.length, m.data[0], m.data[1],
                 node.property[tavrix::prop::NODE_ID]);
    check(false,
          "a node sends only replies to gets it took, logger words and its own CANopen frames, "
          "under its own number");
  }

  // Destroyed in reverse: the world first (it refers to the boards and the observer).
  ArrivalObserver observer_;
  std::vector<std::unique_ptr<Station>> stations_;
  tavrix::tools::AppliedFaults applied_;
  tavrix::sim::World world_;
  tavrix::sim::HostEndpoint* host_ = nullptr;
};

void ArrivalObserver::onReceived(const CanMessage& m, SimTime) {
  rig_.frameArrives(m);
}

struct RigDeleter {
  void operator()(Rig* r) const { r->~Rig(); }
};
using RigPtr = std::unique_ptr<Rig, RigDeleter>;

// One rig at a time: a power cut ends the first before the second is built.
RigPtr makeRig(const Run& run) {
  static auto* slots = new Slots<Rig, 1>;
  return RigPtr(slots->make(0, run));
}

// After the input: a get is answered. In the property protocol a get of FIRMWARE_ID at the node's
// present number; as a CANopen slave an NMT command to pre-operational, then an SDO upload of the
// device type. The get is sent once the node has taken and answered everything before it (its
// number and protocol are then those the input left), and again if the node lost it (dropped,
// overwritten, a restart) or changed its number or protocol meanwhile. Long operations the input
// started (the EEPROM test, homing) are waited for, up to a bound.
void Rig::checkAlive(Station& s) {
  using namespace tavrix;
  const SimTime limit = world_.now() + kAliveBound;
  s.answered = false;
  s.awaiting = true;
  while (!s.answered && world_.now() < limit) {
    while (world_.now() < limit &&
           (s.node().ring.unreadFrames() != 0 || host_->pendingCount() != 0 ||
            s.can().bufferCode(0) == sim::FlexCan::Code::kTxPending ||
            s.can().bufferCode(0) == sim::FlexCan::Code::kTxOnBus)) {
      world_.runFor(kStep);
    }
    // Asked at the address its own receive buffer listens to (the number as last set or
    // restored at the start; a load changes the property only). A node whose number is not a
    // standard identifier cannot be addressed; the frames that set such a number are plain
    // sets, accepted as the protocol has them. A slave is asked at its SDO identifier, fixed
    // when it started; one that its filter does not take cannot be asked.
    const int number = s.listensAt();
    const int8_t mode = s.node().ring.parseMode;
    const uint32_t sdoRx = s.node().canopen.sdoRx;
    // (An SDO identifier is compared whole: a node number beyond 0x7F makes one no standard
    // frame carries.)
    const bool reachable = number >= 0 && (mode == 0 || (sdoRx & ~0x7Fu) == 0x600u);
    const uint32_t slave = sdoRx & 0x7Fu;
    if (!reachable || (mode == 1 && slave != static_cast<uint32_t>(number) && slave > 1)) {
      s.awaiting = false;
      return;
    }
    const auto id = static_cast<uint32_t>(number);
    const uint32_t lostBefore = s.node().ring.droppedFrames() + s.overruns;
    const uint32_t resetsBefore = s.sim->resetCount();
    s.askTaken = false;
    CanMessage m;
    if (mode == 0) {
      m.id = id;
      m.length = 1;
      m.data[0] = static_cast<uint8_t>(prop::FIRMWARE_ID);
      s.askId = id;
      s.awaitSdoId = 0xFFFFFFFFu;
    } else {
      CanMessage nmt;
      nmt.id = 0;
      nmt.length = 2;
      nmt.data[0] = 0x80;
      nmt.data[1] = 0;  // every node: the slave compares with its number property
      host_->send(nmt);
      m.id = sdoRx & 0x7FFu;
      m.length = 8;
      m.data[0] = 0x40;
      m.data[2] = 0x10;  // 0x1000, sub-index 0
      s.askId = 0xFFFFFFFFu;
      s.awaitSdoId = s.node().canopen.sdoTx & 0x7FFu;
    }
    host_->send(m);
    while (!s.answered && world_.now() < limit) {
      world_.runFor(kStep);
      if (s.node().ring.droppedFrames() + s.overruns != lostBefore ||
          s.sim->resetCount() != resetsBefore || s.listensAt() != number ||
          s.node().ring.parseMode != mode) {
        break;  // the get may have been lost, or went to what the node no longer is: ask again
      }
    }
  }
  s.awaiting = false;
  s.askId = s.awaitSdoId = 0xFFFFFFFFu;
  if (!s.answered) {
    std::fprintf(stderr, "node numbered %d (first %d), protocol %d, %zu gets waiting, %u dropped\n",
                 s.node().property[prop::NODE_ID], s.firstId, s.node().ring.parseMode,
                 s.pending.size(), s.node().ring.droppedFrames());
  }
  check(s.answered, "a get after the input is answered");
}

// The fault the header names, for the nodes it targets.
std::vector<tavrix::tools::Fault> faultsOf(const tavrix::fuzz::InputHeader& h) {
  using tavrix::fuzz::FaultCode;
  using tavrix::tools::FaultKind;
  std::vector<tavrix::tools::Fault> out;
  FaultKind kind;
  switch (h.fault) {
    case FaultCode::kEepromAbsent:
      kind = FaultKind::kEepromAbsent;
      break;
    case FaultCode::kEepromStuck:
      kind = FaultKind::kEepromStuck;
      break;
    case FaultCode::kEepromBitFlips:
      kind = FaultKind::kEepromBitFlips;
      break;
    case FaultCode::kEncoderAbsent:
      kind = FaultKind::kEncoderAbsent;
      break;
    case FaultCode::kEncoderStuck:
      kind = FaultKind::kEncoderStuck;
      break;
    default:
      return out;  // none, or the power cut (the harness itself cuts)
  }
  tavrix::tools::Fault f;
  f.kind = kind;
  f.start = h.faultStart_clk;
  if (h.faultDuration_clk > 0) f.duration = h.faultDuration_clk;
  const int second = h.secondNode ? h.secondNodeId : tavrix::fuzz::InputHeader::kFirstNode;
  if (h.faultTarget == 0) f.node = tavrix::fuzz::InputHeader::kFirstNode;
  if (h.faultTarget == 1) f.node = second;
  out.push_back(f);
  return out;
}

bool faultOn(const tavrix::fuzz::InputHeader& h, tavrix::fuzz::FaultCode code, int nodeId) {
  if (h.fault != code) return false;
  const int second = h.secondNode ? h.secondNodeId : tavrix::fuzz::InputHeader::kFirstNode;
  return h.faultTarget == 2 ||
         (h.faultTarget == 0 && nodeId == tavrix::fuzz::InputHeader::kFirstNode) ||
         (h.faultTarget == 1 && nodeId == second);
}

// Whether a fault of the header is on at some time in [from, to) (from power-on).
bool onDuring(const tavrix::fuzz::InputHeader& h, SimTime from, SimTime to) {
  return h.faultStart_clk < to &&
         (h.faultDuration_clk == 0 || h.faultStart_clk + h.faultDuration_clk > from);
}

void printTotals() {
  char line[200];
  std::snprintf(line, sizeof line,
                "node_frames_fuzz: %llu inputs, %llu frames sent, %.1f s simulated (%.1f s of "
                "start-ups)",
                static_cast<unsigned long long>(gInputs),
                static_cast<unsigned long long>(gFramesSent),
                static_cast<double>(gSimulated) / static_cast<double>(tavrix::sim::kBusClockHz),
                static_cast<double>(gStartUp) / static_cast<double>(tavrix::sim::kBusClockHz));
  tavrix::fuzz::reportTotals(line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(printTotals);
  (void)defaults();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrix;
  using fuzz::FaultCode;
  const fuzz::Input input = fuzz::decodeInput(data, size);
  if (input.frames.size() > kMaxFrames) return 0;
  ++gInputs;
  const fuzz::InputHeader& h = input.header;

  Run run;
  run.ids.push_back(fuzz::InputHeader::kFirstNode);
  if (h.secondNode) run.ids.push_back(h.secondNodeId);
  for (int id : run.ids) run.images.push_back(factoryImage(id));
  run.faults = faultsOf(h);
  const std::vector<std::vector<uint8_t>> imagesBefore = run.images;

  RigPtr rig = makeRig(run);
  rig->runUntilStarted();
  const SimTime firstStart = rig->world().now();

  // The frames, from the nodes' start on; a power cut splits them between two power-ons.
  std::vector<fuzz::TimedFrame> frames = input.frames;
  if (!frames.empty() && frames.back().at_clk > kMaxSpan) {
    const SimTime span = frames.back().at_clk;
    for (auto& f : frames) f.at_clk = f.at_clk * kMaxSpan / span;
  }
  // Frames [from, to) at `base` plus their offset less `skip`.
  auto schedule = [&frames](Rig& r, size_t from, size_t to, SimTime base, SimTime skip) {
    for (size_t i = from; i < to; ++i) {
      r.world().queue().schedule(base + frames[i].at_clk - skip, [&r, m = frames[i].message] {
        ++gFramesSent;
        r.send(m);
      });
    }
  };
  SimTime lastAt = frames.empty() ? firstStart : firstStart + frames.back().at_clk;
  std::optional<SimTime> cut;
  if (h.fault == FaultCode::kPowerCut) {
    cut = std::max(h.faultStart_clk, firstStart);  // a cut during the start-up waits for its end
    if (*cut >= lastAt) cut.reset();               // a cut after the input changes nothing
  }
  if (cut) {
    // The frames before the cut go to the first power-on, the rest to the second, which starts
    // from what each EEPROM held at the cut.
    size_t split = 0;
    while (split < frames.size() && firstStart + frames[split].at_clk < *cut) ++split;
    schedule(*rig, 0, split, firstStart, 0);
    rig->world().runUntil(*cut);
    rig->checkNodes();
    Run again = run;
    for (size_t i = 0; i < again.images.size(); ++i) {
      const auto image = rig->stations()[i]->board->eeprom->image();
      again.images[i].assign(image.begin(), image.end());
    }
    const SimTime skip = *cut - firstStart;
    rig.reset();
    rig = makeRig(again);
    rig->runUntilStarted();
    const SimTime start = rig->world().now();
    schedule(*rig, split, frames.size(), start, skip);
    lastAt = start + frames.back().at_clk - skip;
  } else {
    schedule(*rig, 0, frames.size(), firstStart, 0);
  }

  // The input: every frame sent (the run ends as soon as the last one is on its way: the
  // liveness gets queue behind it and wait for the nodes to handle everything before).
  rig->world().runUntil(lastAt);
  while (rig->host().pendingCount() != 0) rig->world().runFor(kStep);
  rig->checkNodes();

  const bool quiet = mustNotWrite(frames);
  const SimTime end = rig->world().now();
  // Nodes in the property protocol first: a slave's liveness check begins with an NMT command
  // to every node, a two-byte frame that would switch them.
  std::vector<Station*> order;
  for (auto& sp : rig->stations()) order.push_back(sp.get());
  std::stable_sort(order.begin(), order.end(), [](Station* a, Station* b) {
    return a->node().ring.parseMode < b->node().ring.parseMode;
  });
  for (Station* sp : order) {
    Station& s = *sp;
    // A part that is absent or stuck busy makes every write wait its full bound (some 26 ms);
    // an input that saves or runs the EEPROM self-test (thousands of writes) keeps the node in
    // those waits far beyond any bound while the fault lasts. Gets are still served in
    // between, but the liveness get may wait behind them, so it is not asked for when the
    // fault is on at some time while the liveness check would wait.
    const bool eepromDown = (faultOn(h, FaultCode::kEepromAbsent, s.firstId) ||
                             faultOn(h, FaultCode::kEepromStuck, s.firstId)) &&
                            onDuring(h, end, end + kAliveBound);
    if (!(eepromDown && !quiet)) {
      rig->checkAlive(s);
      rig->checkAccounting(s);
    }
  }
  rig->checkNodes();

  if (quiet) {
    for (size_t i = 0; i < rig->stations().size(); ++i) {
      Station& s = *rig->stations()[i];
      // Bit flips on read during a start-up can make the node take a self-test as cut short
      // and put back the bytes it read (flipped): a start-up under flips may write.
      if (s.eepromFlips && (h.faultStart_clk <= firstStart || s.sim->resetCount() > 0)) {
        continue;
      }
      const auto image = s.board->eeprom->image();
      check(std::equal(imagesBefore[i].begin(), imagesBefore[i].end(), image.begin()),
            "frames that cannot write the EEPROM leave its image unchanged");
    }
  }
  return 0;
}
