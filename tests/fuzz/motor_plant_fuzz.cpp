// Fuzz harness: a node of the reference drive with its motor and axis running, driven by a host
// through the property protocol. The input picks a short sequence of host actions: mode changes
// (0..5 and invalid ones), torque, velocity, position and profile commands with any values,
// sets of the properties that shape the loops (gains, limits, bandwidths, observer bypass,
// foldback, bounds, POSITION_SCALE, ...), homing starts, the self-test switch patterns, external
// load torque and hard-stop positions of the plant, and delays. A first byte picks the pole count
// the node finds in its EEPROM at start (0 and absurd counts included).
//
// Checked all along, at every PWM period start (cheap: a few comparisons and one torque):
// - every compare value the firmware programs lies inside the PWM period in force;
// - the bridge never has both switches of a phase on (the board counts shoot-throughs);
// - the motor's torque stays within what the torque limits allow (tests/soak/torque_bound.hpp);
// - simulated time advances; and at the end a get is answered.
// The sanitizers (ASan, UBSan) catch undefined behaviour in the firmware's real-time path.
//
// Input layout: byte 0 the start-up options, then actions, each an opcode byte followed by its
// argument bytes (missing bytes read as 0). An input spans at most kSpan of simulated time;
// tests/fuzz/make_motor_corpus.py writes the seeds in this layout.
//
// Reading a reproducer: MOTOR_FUZZ_VERBOSE=1 prints a line on the state at the end of each input;
// MOTOR_FUZZ_TRACE=1 prints the commanded and the plant's currents every 4 PWM periods and turns
// the torque check off, so the whole run shows.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "firmware/node/property_protocol.hpp"
#include "firmware/properties/property_table.hpp"
#include "tests/fuzz/run_totals.hpp"
#include "tests/soak/torque_bound.hpp"
#include "tools/tavrix-sim/factory.hpp"
#include "tools/tavrix-sim/node_board.hpp"

namespace {

using namespace tavrix;
using sim::fromMicros;
using sim::fromMillis;
using sim::SimTime;

constexpr int kNode = 5;
// The reference drive's POSITION_SCALE, the one its observer coefficients fit.
constexpr int16_t kReferencePositionScale = 12800;
// Simulated time the actions of one input may take, after start-up.
constexpr SimTime kSpan = fromMillis(40);

// Totals over a run, printed at exit: the long runs report the frames they sent.
uint64_t gInputs = 0;
uint64_t gFramesSent = 0;
uint64_t gPeriods = 0;

void printTotals() {
  char line[160];
  std::snprintf(line, sizeof line, "motor_plant_fuzz: %llu inputs, %llu frames sent, %llu PWM periods",
                static_cast<unsigned long long>(gInputs),
                static_cast<unsigned long long>(gFramesSent),
                static_cast<unsigned long long>(gPeriods));
  fuzz::reportTotals(line);
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    printTotals();
    std::abort();
  }
}

const tools::FactoryDefaults& defaults() {
  static const tools::FactoryDefaults d = [] {
    std::string error;
    auto parsed = tools::shippedFactoryDefaults(&error);
    check(parsed.has_value(), "shipped factory defaults parse");
    return *parsed;
  }();
  return d;
}

// Reads the input front to back; past the end every byte is 0.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  int16_t s16() { return static_cast<int16_t>(u8() | u8() << 8); }
  int32_t s32() {
    uint32_t v = 0;
    for (int b = 0; b < 4; ++b) v |= static_cast<uint32_t>(u8()) << (8 * b);
    return static_cast<int32_t>(v);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Pole counts the node may find in its EEPROM: the motor's 8 most of the time, then 0 (counts
// per electrical revolution 0), 1, a count the encoder does not divide, a negative one, and
// counts large enough to make the counts per electrical revolution 0 or wrap.
constexpr std::array<int16_t, 8> kPoles = {8, 8, 0, 1, 12, 9000, -8, 32767};

// Values of interest for 16-bit sets; the fuzzer also reaches any value directly.
constexpr std::array<int16_t, 8> kExtremes16 = {0, 1, -1, 32767, -32768, 16384, -16384, 100};

// The properties an input may set, with the loop they shape.
struct Tunable {
  int16_t k;
  bool currentLoop;  // shapes the current loop itself (see takesCurrentPath)
};
constexpr std::array<Tunable, 30> kTunables = {{
    {prop::TORQUE_LIMIT, false},
    {prop::TORQUE_MAX, false},
    {prop::VELOCITY_LIMIT, false},
    {prop::ACCEL_LIMIT, false},
    {prop::OVERCURRENT_LEVEL, false},
    {prop::OVERCURRENT_TIME, false},
    {prop::VELOCITY_BW, false},
    {prop::POSITION_BW, false},
    {prop::INERTIA, false},
    {prop::TORQUE_CONSTANT, false},
    {prop::POS_NO_INTEGRAL, false},
    {prop::CMD_FILTER_Q, false},
    {prop::CMD_FILTER_FREQ, false},
    {prop::FILTER_FLAGS, false},
    {prop::OBSERVER_BYPASS, false},
    {prop::POSITION_SCALE, true},
    {prop::SECTOR_VOTES, false},
    {prop::HOMED, false},
    {prop::HOME_TORQUE, false},
    {prop::HOME_VELOCITY, false},
    {prop::HOME_VELOCITY_LIMIT, false},
    {prop::ANGLE_LEAD, false},
    {prop::POLES, false},
    {prop::TEMP_LIMIT, false},
    {prop::OVERTEMP, false},
    {prop::STEP_CURRENT, false},
    {prop::CURRENT_BW, true},
    {prop::CUR_KP, true},
    {prop::CUR_KI, true},
    {prop::VOLTAGE_MODE, true},
}};
// 32-bit properties an input may set: bounds, travel, back-offs, the home target, the position.
constexpr std::array<int16_t, 8> kTunables32 = {
    prop::LOWER_LIMIT,  prop::UPPER_LIMIT, prop::TRAVEL,         prop::BACKOFF_LOW,
    prop::BACKOFF_HIGH, prop::HOME_TARGET, prop::COUNTS_PER_REV, prop::POSITION};

enum Op : uint8_t {
  kMode,
  kTorque,
  kVelocity,
  kPosition,
  kProfile,
  kScaled,
  kSet16,
  kSet32,
  kHome,
  kLoad,
  kStops,
  kDelay,
  kStatus,
  kSelfTest,
  kOps
};

class Run {
 public:
  explicit Run(uint8_t options) : board_(std::make_unique<sim::SerialEeprom>(eepromConfig())) {
    std::vector<uint8_t> image(board_.eeprom->image().begin(), board_.eeprom->image().end());
    tools::writeFactoryImage(defaults(), kNode, image);
    const int16_t poles = kPoles[options & 7];
    image[2 * prop::POLES] = static_cast<uint8_t>(poles & 0xFF);
    image[2 * prop::POLES + 1] = static_cast<uint8_t>(static_cast<uint16_t>(poles) >> 8);
    board_.eeprom->preload(0, image);
    // The axis: stops a little over a turn either side, so homing finds them within the span.
    board_.drive.plant().setHardStops(-7.0, 7.0);
    node_ = &board_.attach(world_, "node5");
    host_ = &world_.addHostEndpoint();
    host_->keepHistory(false);
    sim::MotorTimerUnit& timer = node_->chip().motorTimer();
    timer.onPeriodStart([this](const sim::PwmPeriod& p) {
      board_.drive.setPeriod(p);
      onPeriod(p);
    });
  }

  // Start-up: the node restores its set and becomes ready.
  void start() {
    for (int i = 0; i < 80 && node().property[prop::STATUS] != STATUS_READY; ++i) {
      step(fromMicros(250));
    }
    check(node().property[prop::STATUS] == STATUS_READY, "the node becomes ready at start-up");
    end_ = world_.now() + kSpan;
  }

  bool timeLeft() const { return world_.now() < end_; }

  void act(Reader& in) {
    const uint8_t op = static_cast<uint8_t>(in.u8() % kOps);
    switch (op) {
      case kMode: {
        const uint8_t v = in.u8();
        // Mostly 0..5, sometimes an invalid mode (which means 0).
        set16(prop::MODE, v < 192 ? v % 6 : v);
        break;
      }
      case kTorque:
        set16(prop::TORQUE, value16(in));
        break;
      case kVelocity:
        set16(prop::VELOCITY, value16(in));
        break;
      case kPosition:
        set32(prop::POSITION, value32(in));
        break;
      case kProfile:
        set32(prop::PROFILE_START, value32(in));
        break;
      case kScaled:
        set16(prop::SCALED_TARGET, in.s16());
        break;
      case kSet16: {
        const Tunable& t = kTunables[in.u8() % kTunables.size()];
        const int16_t v = value16(in);
        if (takesCurrentPath(t, v)) torqueChecked_ = false;
        set16(t.k, v);
        break;
      }
      case kSet32: {
        const int16_t k = kTunables32[in.u8() % kTunables32.size()];
        set32(k, value32(in));
        break;
      }
      case kHome:
        homing_ = true;
        set16(prop::ACTION, PropertyProtocol::kActionHome);
        break;
      case kLoad: {
        // Up to +-20 mN m, a third of the torque the default limit allows.
        const double nm = static_cast<int8_t>(in.u8()) * (0.020 / 128.0);
        advancePlant();
        board_.drive.plant().setLoadTorque(nm);
        break;
      }
      case kStops: {
        // Stops around the shaft where it is now, 0.05 to 3.2 rad away on either side (a stop
        // placed where the shaft already is would throw it with the stop's spring).
        const double lowGap = 0.05 + in.u8() * (3.15 / 255.0);
        const double highGap = 0.05 + in.u8() * (3.15 / 255.0);
        advancePlant();
        const double at = board_.drive.plant().shaftAngle();
        board_.drive.plant().setHardStops(at - lowGap, at + highGap);
        break;
      }
      case kDelay:
        step(fromMicros(100) * (1 + in.u8() % 64));
        return;
      case kStatus: {
        static constexpr std::array<int16_t, 4> kStatuses = {STATUS_READY, STATUS_RESET,
                                                             STATUS_TEST, STATUS_HALT};
        const int16_t s = kStatuses[in.u8() & 3];
        // In the test status the host forces bridge switches itself: the currents are then the
        // host's, not the loops'.
        if (s == STATUS_TEST) torqueChecked_ = false;
        set16(prop::STATUS, s);
        break;
      }
      case kSelfTest: {
        // The switch codes of the bridge self-test (only acted on in the test status).
        static constexpr std::array<uint8_t, 8> kCodes = {22, 25, 26, 37, 38, 41, 21, 42};
        set16(prop::AUX_OUTPUT, kCodes[in.u8() & 7]);
        break;
      }
      default:
        break;
    }
    // Time for the frame to cross the bus and be handled.
    step(fromMicros(200));
  }

  // A few milliseconds for the last action to settle, then a get of FIRMWARE_ID must come back.
  void finish() {
    step(fromMillis(3));
    sim::CanMessage m;
    m.id = kNode;
    m.length = 1;
    m.data[0] = prop::FIRMWARE_ID;
    bool answered = false;
    host_->onReceive(
        [&](const sim::CanMessage& r, SimTime) { answered |= r.id == (0x400u | kNode << 5 | 6u); });
    ++gFramesSent;
    host_->send(m);
    // A restart just commanded, or an EEPROM write in progress, may hold the answer back.
    const SimTime limit = world_.now() + fromMillis(50);
    while (!answered && world_.now() < limit) step(fromMicros(250));
    host_->onReceive({});
    check(answered, "a get after the input is answered");
  }

  // One line on what the input did (MOTOR_FUZZ_VERBOSE set): for reading a reproducer.
  void describe() {
    Node& n = node();
    const sim::Pmsm& plant = board_.drive.plant();
    std::fprintf(stderr,
                 "simulated %.2f ms, %llu PWM periods, status %d, mode %d, homed %d, position %d, "
                 "shaft %.3f rad at %.1f rad/s, torque %.4f N m%s\n",
                 static_cast<double>(world_.now()) / sim::kClocksPerMs,
                 static_cast<unsigned long long>(periods_), n.property[prop::STATUS],
                 n.property[prop::MODE], n.property[prop::HOMED],
                 n.propertyTable.get32(prop::POSITION), plant.shaftAngle(), plant.shaftVelocity(),
                 plant.torque(), torqueChecked_ ? "" : " (torque unchecked)");
  }

 private:
  static sim::SerialEepromConfig eepromConfig() {
    sim::SerialEepromConfig c;
    c.write_cycle_clk = fromMicros(50);  // saves cheap in simulated time
    return c;
  }

  Node& node() { return board_.slot.node(); }

  // True when a set leaves the current loop as the host made it, not as the drive tuned it: its
  // gains or the voltage mode; or a POSITION_SCALE other than the reference drive's, which
  // rescales the measured velocity that the observer (the current loop's feedback) is corrected
  // with, while its coefficients stay those of the reference motor.
  static bool takesCurrentPath(const Tunable& t, int16_t v) {
    if (t.k == prop::VOLTAGE_MODE) return v != 0;
    if (t.k == prop::POSITION_SCALE) return v != kReferencePositionScale;
    return t.currentLoop;
  }

  static int16_t value16(Reader& in) {
    const uint8_t how = in.u8();
    if (how < 32) return kExtremes16[how & 7];
    if (how < 96) return static_cast<int16_t>(static_cast<int8_t>(in.u8()) * 40);
    return in.s16();
  }
  static int32_t value32(Reader& in) {
    const uint8_t how = in.u8();
    if (how < 32) {
      static constexpr std::array<int32_t, 8> kExtremes32 = {0,         1,    -1,    INT32_MAX,
                                                             INT32_MIN, 4096, -4096, 1 << 30};
      return kExtremes32[how & 7];
    }
    if (how < 128) return static_cast<int32_t>(static_cast<int8_t>(in.u8())) * 64;
    return in.s32();
  }

  void send(int16_t k, int32_t value, int bytes) {
    sim::CanMessage m;
    m.id = kNode;
    m.length = static_cast<uint8_t>(2 + bytes);
    m.data[0] = static_cast<uint8_t>(0x80 | k);
    for (int b = 0; b < bytes; ++b) {
      m.data[2 + b] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * b));
    }
    ++gFramesSent;
    host_->send(m);
  }
  void set16(int16_t k, int16_t value) { send(k, value, 2); }
  void set32(int16_t k, int32_t value) { send(k, value, 4); }

  void advancePlant() { board_.drive.advanceTo(world_.now()); }

  void step(SimTime d) {
    const SimTime before = world_.now();
    world_.runFor(d);
    check(world_.now() == before + d, "simulated time advances by each step");
    check(board_.drive.shootThroughCount() == 0, "never both switches of a phase on");
  }

  // At every PWM period start: the compare values in force, the bridge, the torque.
  void onPeriod(const sim::PwmPeriod& p) {
    ++periods_;
    ++gPeriods;
    for (const int16_t c : p.compare) {
      check(c >= p.start_value && c <= p.modulo, "compare value inside the PWM period");
    }
    check(board_.drive.shootThroughCount() == 0, "never both switches of a phase on");
    if (trace_ && periods_ % 4 == 0) {
      Node& n = node();
      const sim::Pmsm& plant = board_.drive.plant();
      std::fprintf(stderr,
                   "%8.3f ms mode %d cmd %d lim %d (%d %d %d) iq %.3f id %.3f w %.1f th %.3f\n",
                   static_cast<double>(p.start_clk) / sim::kClocksPerMs, n.property[prop::MODE],
                   n.drive.motor.cmdTorque, n.drive.motor.limTorque, n.property[prop::TORQUE_LIMIT],
                   n.property[prop::TORQUE_MAX], n.property[prop::OVERCURRENT_LEVEL],
                   plant.currentQ(), plant.currentD(), plant.shaftVelocity(), plant.shaftAngle());
    }
    if (torqueChecked_) checkTorque(p.start_clk);
  }

  // The torque within what the limits allow (tests/soak/torque_bound.hpp explains the bound).
  void checkTorque(SimTime now) {
    Node& n = node();
    const int16_t* property = n.property;
    const sim::Pmsm& plant = board_.drive.plant();
    if (homing_) {
      homeTorque_ =
          std::max(homeTorque_, std::abs(static_cast<int32_t>(property[prop::HOME_TORQUE])));
    }
    const double bound =
        torqueBound_.update(now, soak::TorqueBound::limitUnits(property, homeTorque_), plant);
    if (std::fabs(plant.torque()) > bound) {
      std::fprintf(stderr,
                   "torque %.4f N m above %.4f N m (limit %.0f units, %.2f A; speed %.1f rad/s, "
                   "mode %d, status %d)\n",
                   plant.torque(), bound, torqueBound_.lastLimitUnits(), torqueBound_.lastAmps(),
                   plant.shaftVelocity(), property[prop::MODE], property[prop::STATUS]);
      check(false, "torque within what the torque limits allow");
    }
  }

  sim::World world_;
  tools::NodeBoard board_;
  sim::SimNode* node_ = nullptr;
  sim::HostEndpoint* host_ = nullptr;
  SimTime end_ = 0;
  uint64_t periods_ = 0;
  bool trace_ = std::getenv("MOTOR_FUZZ_TRACE") != nullptr;
  // Off when the host drives the current path itself (gains, voltage mode, forced switches).
  bool torqueChecked_ = !trace_;
  bool homing_ = false;     // a homing was asked for: HOME_TORQUE may replace the limit
  int32_t homeTorque_ = 0;  // the largest HOME_TORQUE since
  soak::TorqueBound torqueBound_{board_.drive};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(printTotals);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256) return 0;  // long inputs add time, not new behaviour
  ++gInputs;
  Reader in(data, size);
  Run run(in.u8());
  run.start();
  while (!in.done() && run.timeLeft()) run.act(in);
  run.finish();
  static const bool verbose = std::getenv("MOTOR_FUZZ_VERBOSE") != nullptr;
  if (verbose) run.describe();
  return 0;
}
