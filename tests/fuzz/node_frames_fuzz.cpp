// Fuzz harness: arbitrary frame sequences (any identifier, standard and extended, length codes
// 0..15, remote frames, any data) into one node on the simulated chip, in the property protocol
// and, after a switch frame, as a CANopen slave (SDO, NMT, PDO configuration with any mapping,
// SYNC). The node must keep its invariants: every access in bounds (the sanitizers), the frame
// ring consistent, the CANopen slave's state and dictionary sound, simulated time advancing, no
// hang (a node that stops relaxing trips the world's runaway check; a run that never ends trips
// the fuzzer's time-out).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "firmware/canopen/canopen.hpp"
#include "tests/fuzz/frame_decoder.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace {

using tavrix::sim::fromMillis;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
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

// True when no frame of the input can write the EEPROM: in the property protocol only gets and
// sets of numbers that neither save, nor run an action, a calibration or a mode change (which
// may store the electrical offset); and no two-byte frame (the switch to CANopen, whose store
// writes, and the reset frame).
bool mustNotWrite(const std::vector<tavrix::fuzz::TimedFrame>& frames) {
  using namespace tavrix;
  for (const auto& f : frames) {
    const sim::CanMessage& m = f.message;
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

// After the input: a get is answered. In the property protocol a get of FIRMWARE_ID at the node's
// present number; as a CANopen slave an NMT command to pre-operational, then an SDO upload of the
// device type. Long operations an input may have started (the EEPROM test, homing) are waited for,
// up to a bound.
void checkAlive(tavrix::sim::World& world, tavrix::sim::HostEndpoint& host, tavrix::Node& node) {
  using namespace tavrix;
  const auto id = static_cast<uint32_t>(node.property[prop::NODE_ID]) & 0x7FFu;
  sim::CanMessage m;
  uint32_t expect = 0;
  if (node.ring.parseMode == 0) {
    m.id = id;
    m.length = 1;
    m.data[0] = prop::FIRMWARE_ID;
    expect = (0x400u | id << 5 | 6u) & 0x7FFu;
  } else {
    sim::CanMessage nmt;
    nmt.id = 0;
    nmt.length = 2;
    nmt.data[0] = 0x80;
    nmt.data[1] = static_cast<uint8_t>(id);
    host.send(nmt);
    m.id = 0x600u | (id & 0x7Fu);
    m.length = 8;
    m.data[0] = 0x40;
    m.data[2] = 0x10;  // 0x1000, sub-index 0
    expect = 0x580u | (id & 0x7Fu);
  }
  bool answered = false;
  host.onReceive([&](const sim::CanMessage& r, sim::SimTime) { answered |= r.id == expect; });
  host.send(m);
  const sim::SimTime limit = world.now() + fromMillis(400);
  while (!answered && world.now() < limit) world.runFor(sim::fromMicros(250));
  host.onReceive({});
  check(answered, "a get after the input is answered");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrix;
  const auto frames = fuzz::decodeFrames(data, size);
  if (frames.size() > 64) return 0;  // long inputs add time, not new behaviour

  // A short write cycle keeps saves and the EEPROM test cheap in simulated time.
  sim::SerialEepromConfig eeprom;
  eeprom.write_cycle_clk = sim::fromMicros(50);
  tools::NodeBoard board(std::make_unique<sim::SerialEeprom>(eeprom));
  board.writeFactorySetIfBlank(defaults(), 5);
  sim::World world;
  sim::SimNode& simNode = board.attach(world, "node5");
  sim::HostEndpoint& host = world.addHostEndpoint();
  host.keepHistory(false);
  for (const auto& f : frames) {
    world.queue().schedule(fromMillis(2) + f.at_clk, [&host, m = f.message] { host.send(m); });
  }

  const std::vector<uint8_t> imageBefore(board.eeprom->image().begin(),
                                         board.eeprom->image().end());

  // Bounded run: at the shortest PWM period a millisecond is tens of thousands of interrupts.
  const sim::SimTime end =
      fromMillis(2) + (frames.empty() ? 0 : frames.back().at_clk) + fromMillis(3);
  const sim::SimTime limit = end < fromMillis(60) ? end : fromMillis(60);
  uint32_t resets = simNode.resetCount();
  uint32_t dropped = 0;
  for (sim::SimTime t = fromMillis(1); t <= limit; t += fromMillis(1)) {
    world.runUntil(t);
    check(world.now() == t, "simulated time reaches the end of each step");
    Node& node = board.slot.node();
    if (simNode.resetCount() != resets) {  // a restart begins a new node
      resets = simNode.resetCount();
      dropped = 0;
    }
    check(node.ring.headSlot() < CommRing::kSlots, "head inside the ring");
    check(node.ring.tailSlot() < CommRing::kSlots, "tail inside the ring");
    check(node.ring.unreadFrames() <= CommRing::kSlots, "never more unread frames than slots");
    check((node.ring.tailSlot() + node.ring.unreadFrames()) % CommRing::kSlots ==
              node.ring.headSlot(),
          "head is tail plus the unread frames");
    check(node.ring.droppedFrames() >= dropped, "drop count only grows");
    dropped = node.ring.droppedFrames();
    check(node.ring.parseMode == 0 || node.ring.parseMode == 1, "protocol mode 0 or 1");
    checkCanOpen(node);
  }
  if (mustNotWrite(frames)) {
    check(std::equal(imageBefore.begin(), imageBefore.end(), board.eeprom->image().begin()),
          "frames that cannot write the EEPROM leave its image unchanged");
  }
  // A node whose number is not a standard identifier cannot be addressed; the frames that set
  // such a number are plain sets, accepted as the protocol has them.
  const int16_t id = board.slot.node().property[prop::NODE_ID];
  if (id >= 0 && id <= 31) checkAlive(world, host, board.slot.node());
  return 0;
}
