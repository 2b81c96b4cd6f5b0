#include "tools/tavrix-sim/commissioning.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <numbers>
#include <sstream>

#include "firmware/node/logger.hpp"
#include "firmware/properties/property_table.hpp"
#include "tools/tavrix-sim/scenarios.hpp"
#include "tools/tavrix/log_record.hpp"

namespace tavrix::tools {
namespace {

constexpr double kCountsPerRad = 4096.0 / (2.0 * std::numbers::pi);

using Checks = ScenarioReport;

// The plant's shaft angle in position counts.
double shaftCounts(DriveTwin& t) {
  return t.plant().shaftAngle() * kCountsPerRad;
}

// Stops `revs` revolutions either side of the shaft's start: a short axis homes quickly.
void shortAxis(DriveTwin& t, double revs) {
  t.plant().setHardStops(-revs * 2 * std::numbers::pi, revs * 2 * std::numbers::pi);
}

// Polls STATUS every 10 ms until homing has ended (STATUS 2 with HOMED 1); false after `limitMs`.
// `lowest`/`highest` receive the extreme shaft positions seen meanwhile (counts).
// Gets of STATUS asked and left unanswered while waiting for homings, over the whole run.
int asked = 0, unanswered = 0;

bool waitHomed(DriveTwin& t, double limitMs, double* ms = nullptr, double* lowest = nullptr,
               double* highest = nullptr) {
  double elapsed = 0;
  double lo = shaftCounts(t), hi = lo;
  bool done = false;
  while (elapsed < limitMs) {
    t.runMs(9);
    elapsed += 10;
    lo = std::min(lo, shaftCounts(t));
    hi = std::max(hi, shaftCounts(t));
    const int32_t status = t.get(prop::STATUS);
    ++asked;
    if (status == INT32_MIN) ++unanswered;
    if (status == 2 && t.get(prop::HOMED) == 1) {
      done = true;
      break;
    }
  }
  if (ms) *ms = elapsed;
  if (lowest) *lowest = lo;
  if (highest) *highest = hi;
  return done;
}

// Waits until POSITION is within `tolerance` counts of `target` and has stayed there 50 ms.
double settle(DriveTwin& t, int32_t target, int tolerance, double limitMs) {
  double elapsed = 0;
  double inside = 0;
  while (elapsed < limitMs && inside < 50) {
    t.runMs(9);
    elapsed += 10;
    inside = std::abs(t.get(prop::POSITION) - target) <= tolerance ? inside + 10 : 0;
  }
  return elapsed;
}

// ---- current-zero ----------------------------------------------------------------------------

struct ZeroResult {
  int measured = 0;
  double truth = 0;
};

ZeroResult measureZero(DriveTwin& t) {
  t.set(prop::CALIBRATE, 62);
  t.runMs(80);  // 25 samples, one per two ticks
  return {t.get(prop::CURRENT_OFFSET), t.drive().params().current_offset_counts};
}

int scenarioCurrentZero(bool /*shortForm*/, Checks& c) {
  DriveTwin t;
  t.set(prop::CURRENT_OFFSET, 0);
  const ZeroResult z = measureZero(t);
  c.line("CURRENT_OFFSET %d counts; sensor's true zero %.2f counts (noise %.1f counts rms)",
         z.measured, z.truth, t.drive().params().current_noise_counts);
  // The mean of 25 samples, truncated: within a count of the true zero.
  c.check(z.measured <= std::lround(z.truth) && z.measured >= std::floor(z.truth) - 1,
          "the measured zero is the sensor's (truncated, within 1 count)");
  c.check(t.get(prop::MODE) == 0, "the bridge is left in mode 0");
  return c.result();
}

// ---- home ------------------------------------------------------------------------------------

struct HomeResult {
  bool done = false;
  double ms = 0;
  int32_t upper = 0, lower = 0, position = 0;
  double lowerErr = 0, upperErr = 0;  // node limit - (true stop -/+ back-off), counts
  double zeroCounts = 0;              // the shaft (counts) where the node's position 0 lies
  double lowest = 0, highest = 0;
};

// Homes with the given HOME_VELOCITY and TRAVEL and compares the limits with the plant's stops.
HomeResult home(DriveTwin& t, int16_t velocity, int32_t travel, double limitMs) {
  t.set(prop::HOME_VELOCITY, velocity);
  t.set(prop::TRAVEL, travel);
  t.set(prop::ACTION, 13);
  HomeResult h;
  h.done = waitHomed(t, limitMs, &h.ms, &h.lowest, &h.highest);
  t.runMs(100);
  h.upper = t.get(prop::UPPER_LIMIT);
  h.lower = t.get(prop::LOWER_LIMIT);
  h.position = t.get(prop::POSITION);
  h.zeroCounts = shaftCounts(t) - h.position;
  const auto& axis = t.plant().params().axis;
  const double backLow = t.get(prop::BACKOFF_LOW), backHigh = t.get(prop::BACKOFF_HIGH);
  h.lowerErr = h.zeroCounts - (axis.lower_stop_rad * kCountsPerRad + backLow);
  h.upperErr = h.zeroCounts + h.upper - (axis.upper_stop_rad * kCountsPerRad - backHigh);
  return h;
}

int scenarioHome(bool shortForm, Checks& c) {
  const double revs = shortForm ? 1.0 : 5.0;
  const double limitMs = shortForm ? 4000 : 15000;
  asked = unanswered = 0;
  for (int16_t velocity : {100, -100}) {
    DriveTwin t;
    shortAxis(t, revs);
    const HomeResult h = home(t, velocity, 0, limitMs);
    const int32_t expected = static_cast<int32_t>(
        (static_cast<int64_t>(t.get(prop::HOME_TARGET) & 0xFFFF) * h.upper) >> 16);
    c.line("HOME_VELOCITY %+d, travel measured: %s after %.0f ms; LOWER_LIMIT %d, UPPER_LIMIT %d",
           velocity, h.done ? "homed" : "not homed", h.ms, h.lower, h.upper);
    c.line(
        "  lower limit %+.1f counts from the stop + BACKOFF_LOW, upper %+.1f from the stop - "
        "BACKOFF_HIGH; at %d (HOME_TARGET -> %d)",
        h.lowerErr, h.upperErr, h.position, expected);
    c.check(h.done, "homing ends with STATUS 2 and HOMED 1");
    c.check(h.lower == 0, "LOWER_LIMIT is 0");
    c.check(std::fabs(h.lowerErr) <= 20 && std::fabs(h.upperErr) <= 20,
            "both limits within 20 counts of the stops less the back-offs");
    c.check(std::abs(h.position - expected) <= 100, "the final move ends at HOME_TARGET's place");
    c.check(t.get(prop::MODE) == 3, "left in mode 3");
  }
  // Travel given: the second stop is never visited.
  {
    DriveTwin t;
    shortAxis(t, revs);
    const int32_t travel = shortForm ? 5000 : 30000;
    const HomeResult h = home(t, 100, travel, limitMs);
    const double stopLow = t.plant().params().axis.lower_stop_rad * kCountsPerRad;
    const double upperTruth =
        t.plant().params().axis.upper_stop_rad * kCountsPerRad - t.get(prop::BACKOFF_HIGH);
    const double err = h.zeroCounts + h.upper - upperTruth;
    c.line(
        "HOME_VELOCITY +100, TRAVEL %d given: UPPER_LIMIT %d, %+.1f counts from the upper "
        "stop - BACKOFF_HIGH; lowest shaft %.0f, lower stop %.0f",
        travel, h.upper, err, h.lowest, stopLow);
    c.check(h.done && h.upper == travel && h.lower == 0, "UPPER_LIMIT is TRAVEL, LOWER_LIMIT 0");
    c.check(std::fabs(err) <= 20, "the upper limit lies BACKOFF_HIGH inside the stop");
    c.check(h.lowest > stopLow + 100, "the lower stop is never visited");
  }
  // Homing serves the bus while it waits: every get sent meanwhile is answered.
  c.line("gets of STATUS while homing: %d of %d unanswered", unanswered, asked);
  c.check(asked > 0 && unanswered == 0, "every get of STATUS while homing is answered");
  // A stop removed from the axis: homing never ends; a set of STATUS 0 restarts the node.
  {
    DriveTwin t;
    t.plant().setHardStops(-std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::infinity());
    t.set(prop::ACTION, 13);
    t.runMs(1000);
    const int32_t during = t.get(prop::STATUS);
    t.set(prop::STATUS, 0);
    t.runMs(300);
    const int32_t after = t.get(prop::STATUS);
    const int32_t homed = t.get(prop::HOMED);
    c.line("no stop: STATUS %d after 1 s of homing; after a set of STATUS 0: STATUS %d, HOMED %d",
           during, after, homed);
    c.check(during == 3 && after == 2 && homed == 0,
            "a homing that finds no stop still answers, and STATUS 0 restarts the node");
  }
  // A refused homing: the back-off of the side found first is 0.
  {
    DriveTwin t;
    t.set(prop::BACKOFF_HIGH, 0);
    t.set(prop::HOME_VELOCITY, 100);
    t.set(prop::ACTION, 13);
    t.runMs(200);
    c.check(t.get(prop::STATUS) == 2 && t.get(prop::HOMED) == 0 && t.get(prop::MODE) == 0 &&
                std::fabs(t.plant().shaftVelocity()) < 0.5,
            "BACKOFF_HIGH 0 with HOME_VELOCITY > 0: homing refused, nothing moves");
  }
  return c.result();
}

// ---- scaled-move -----------------------------------------------------------------------------

// An axis of 65536 counts from the shaft's place, with its stops beyond both ends.
void scaledAxis(DriveTwin& t, int32_t lower) {
  t.plant().setHardStops(-2 * std::numbers::pi, (65536 + 4096) / kCountsPerRad);
  t.set(prop::MODE, 3);
  t.set(prop::POSITION, 0);
  t.set(prop::LOWER_LIMIT, lower);
  t.set(prop::UPPER_LIMIT, 65536);
  t.set(prop::HOMED, 1);
}

int scenarioScaledMove(bool shortForm, Checks& c) {
  DriveTwin t;
  const double zero = shaftCounts(t);
  scaledAxis(t, 0);
  const double limitMs = shortForm ? 2500 : 6000;
  for (int mode : {3, 5}) {
    t.set(prop::MODE, static_cast<int16_t>(mode));
    for (int32_t p : {16384, 65535, 0}) {
      t.set(prop::SCALED_TARGET, static_cast<int16_t>(static_cast<uint16_t>(p)));
      const double ms = settle(t, p, 25, limitMs);
      t.runMs(50);
      const int32_t pos = t.get(prop::POSITION);
      const double plant = shaftCounts(t) - zero;
      const int scaled = t.get(prop::SCALED_POSITION) & 0xFFFF;
      c.line(
          "mode %d, SCALED_TARGET %5d: POSITION %6d after %4.0f ms, plant %8.1f, "
          "SCALED_POSITION %5d",
          mode, p, pos, ms, plant, scaled);
      c.check(std::abs(pos - p) <= 25 && std::fabs(plant - pos) <= 3,
              "at the target (25 counts), the shaft where the node says");
      c.check(scaled == static_cast<int>(std::clamp<int64_t>(pos, 0, 65536) * 65535 / 65536),
              "SCALED_POSITION reads the position scaled to the travel");
    }
  }
  // Retarget: a long profile is redirected while running and never stops on the way.
  t.set(prop::SCALED_TARGET, static_cast<int16_t>(static_cast<uint16_t>(65535)));
  t.runMs(60);
  const double before = t.plant().shaftVelocity();
  t.set(prop::SCALED_TARGET, 16384);
  double slowest = std::fabs(t.plant().shaftVelocity());
  for (int n = 0; n < 10; ++n) {
    t.runMs(2);
    slowest = std::min(slowest, std::fabs(t.plant().shaftVelocity()));
  }
  const double ms = settle(t, 16384, 25, limitMs);
  const int32_t pos = t.get(prop::POSITION);
  c.line(
      "retarget 65535 -> 16384 at %.0f rad/s: slowest %.0f rad/s in the next 20 ms; "
      "POSITION %d after %.0f ms",
      before, slowest, pos, ms);
  c.check(before > 1.0 && slowest > 0.5 * before, "the running profile keeps its speed");
  c.check(std::abs(pos - 16384) <= 25, "and ends at the new target");
  // A non-zero lower limit: the target is measured from 0 over the span.
  DriveTwin u;
  scaledAxis(u, 1000);
  u.set(prop::SCALED_TARGET, static_cast<int16_t>(static_cast<uint16_t>(65535)));
  settle(u, 64535, 25, limitMs);
  const int32_t got = u.get(prop::POSITION);
  c.line("LOWER_LIMIT 1000, SCALED_TARGET 65535: POSITION %d (65535 x 64536 >> 16 = 64535)", got);
  c.check(std::abs(got - 64535) <= 25, "the target spans UPPER_LIMIT - LOWER_LIMIT from 0");
  return c.result();
}

// ---- fet-test --------------------------------------------------------------------------------

// Passes the board's converter inputs through and keeps every phase-current conversion (ADC0),
// with its instant: what the node's statistics are drawn from.
class SensorTap final : public sim::AnalogSource {
 public:
  explicit SensorTap(sim::DriveBoard& board) : board_(board) {}
  uint16_t sample(platform::AdcUnit unit, uint8_t channel, platform::AdcInputSet set,
                  sim::SimTime at_clk) override {
    const uint16_t v = board_.sample(unit, channel, set, at_clk);
    if (unit == platform::AdcUnit::ADC0) samples.push_back({at_clk, v});
    return v;
  }
  struct Sample {
    sim::SimTime at;
    uint16_t value;
  };
  std::vector<Sample> samples;

 private:
  sim::DriveBoard& board_;
};

struct SensorWindow {
  double min = 1e9, max = -1e9, mean = 0, stdev = 0;
  int count = 0;
};

SensorWindow window(const std::vector<SensorTap::Sample>& samples, sim::SimTime from,
                    sim::SimTime to) {
  SensorWindow w;
  double sum = 0, sumSq = 0;
  for (const auto& s : samples) {
    if (s.at < from || s.at > to) continue;
    w.min = std::min<double>(w.min, s.value);
    w.max = std::max<double>(w.max, s.value);
    sum += s.value;
    sumSq += double(s.value) * s.value;
    ++w.count;
  }
  if (w.count > 0) {
    w.mean = sum / w.count;
    w.stdev = std::sqrt(std::max(0.0, sumSq / w.count - w.mean * w.mean));
  }
  return w;
}

int scenarioFetTest(bool /*shortForm*/, Checks& c) {
  DriveTwin t;
  SensorTap tap(t.drive());
  t.world().node(0).chip().motorTimer().setAnalogSource(&tap);
  t.set(prop::STATUS, 4);
  t.runMs(20);
  const double zero = t.drive().params().current_offset_counts;
  for (int code : {22, 25, 26, 37, 38, 41, 21, 42}) {
    tap.samples.clear();
    const sim::SimTime sent = t.world().now();
    t.send(prop::AUX_OUTPUT, static_cast<int16_t>(code));
    t.runMs(80);
    const int mn = t.get(35), mx = t.get(36), mean = t.get(37), sd = t.get(38);
    const bool inert = code == 21 || code == 42;
    // The pattern takes effect where the reading last leaves the zero within 10 ms of the
    // frame (the idle levels come first); the node samples from then on, for about 50 ms.
    sim::SimTime applied = sent;
    bool atZero = false;
    for (const auto& s : tap.samples) {
      if (s.at > sent + sim::fromMillis(10)) break;
      const bool zeroNow = std::fabs(s.value - zero) <= 8;
      if (atZero && !zeroNow) applied = s.at;
      atZero = zeroNow;
    }
    const SensorWindow w = window(tap.samples, applied, applied + sim::fromMillis(54));
    c.line(
        "code %2d: node min %4d max %4d mean %4d stdev %3d | sensor (%d conversions) "
        "%4.0f..%4.0f mean %7.1f stdev %5.1f",
        code, mn, mx, mean, sd, w.count, w.min, w.max, w.mean, w.stdev);
    // The node's 25 samples are some of these conversions, spread over the window.
    c.check(mn >= w.min && mx <= w.max && mn <= mx &&
                std::fabs(mean - w.mean) <= std::max(2.0, w.stdev) && sd <= 1.5 + 1.5 * w.stdev,
            std::string(inert ? "inert code: " : "") + "statistics match what the sensor saw");
    if (inert) c.check(std::fabs(w.mean - zero) < 3, "no current flows in the link");
  }
  c.check(t.drive().shootThroughCount() == 0, "no step left a phase shorted across the bus");
  c.check(t.get(prop::STATUS) == 4, "still in status 4");
  return c.result();
}

// ---- torque-step -----------------------------------------------------------------------------

struct StepResult {
  bool recorded = false;
  size_t frames = 0, records = 0;
  int64_t lost = 0;
  bool requestGroups = false;  // a dump frame carried group 0 or 1
  cli::StepMetrics metrics;
  double plantIqA = 0, commandA = 0;
  int mode = 0;                     // read back after the set of MODE 2
  int stepCurrent = 0, torque = 0;  // read back when the recording should have ended
  std::vector<cli::LogWord> words;  // every dump word received, in order
  std::string csv;
};

// The dump words of the node among the frames `listener` received; `requestGroups` is set when
// one of the node's logger frames carries group 0 or 1 (a request to every node).
std::vector<cli::LogWord> dumpWords(const sim::HostEndpoint& listener, bool* requestGroups) {
  std::vector<cli::LogWord> stream;
  for (const auto& f : listener.received()) {
    const uint32_t id = f.message.id;
    if ((id & Logger::kGroupFlag) == 0 || f.message.length != 4) continue;
    if (Logger::dumpSource(id) != DriveTwin::kNode) continue;
    *requestGroups = *requestGroups || (id & Logger::kFieldMask) < 2;
    const auto pos = cli::logWordPosition(f.message, DriveTwin::kNode);
    if (!pos) continue;
    const auto& d = f.message.data;
    stream.push_back({*pos, static_cast<int32_t>(d[0] | d[1] << 8 | d[2] << 16 |
                                                 static_cast<uint32_t>(d[3]) << 24)});
  }
  return stream;
}

// Records a step of `torque` in mode 2 and dumps `records` records (all 834 when 0; fewer stop
// the dump part way with a set of STEP_CURRENT to 1).
StepResult torqueStep(DriveTwin& t, int16_t torque, int records) {
  StepResult s;
  sim::HostEndpoint& listener = t.world().addHostEndpoint();
  t.set(prop::MODE, 2);
  s.mode = t.get(prop::MODE);
  t.set(prop::STEP_CURRENT, torque);
  // The step comes 15 to 16 ms after the set; the current is read 15 ms later, before a free
  // shaft has gone far (a homed axis cuts the torque at its limits).
  t.runMs(30);
  double iq = 0;
  for (int n = 0; n < 8; ++n) {
    t.runMs(0.15);
    iq += t.plant().currentQ() / 8;
  }
  s.plantIqA = iq;
  s.commandA = torque * t.torqueUnitA();
  s.torque = t.get(prop::TORQUE);
  t.runMs(120);
  s.stepCurrent = t.get(prop::STEP_CURRENT);
  s.recorded = s.stepCurrent == 0 && s.torque == torque;
  t.set(prop::TORQUE, 0);
  listener.clearReceived();
  t.set(prop::STEP_CURRENT, 2);
  const int words = (records > 0 ? records : 834) * cli::kWordsPerRecord;
  t.runMs(2.0 * words + 10);
  if (records > 0) t.set(prop::STEP_CURRENT, 1);
  std::vector<cli::LogWord> stream = dumpWords(listener, &s.requestGroups);
  s.frames = stream.size();
  s.words = stream;
  // A host that stops a dump part way keeps the words it asked for.
  if (records > 0 && stream.size() > static_cast<size_t>(words)) stream.resize(words);
  const cli::LogRecords r = cli::rebuildRecords(stream);
  s.records = r.records.size();
  s.lost = r.lost_words + static_cast<int64_t>(r.damaged.size());
  s.metrics = cli::stepMetrics(r);
  std::ostringstream csv;
  cli::writeCsv(csv, r, false);
  s.csv = csv.str();
  return s;
}

void reportStep(const StepResult& s, int records, Checks& c) {
  c.line(
      "torque step: %zu frames, %zu records rebuilt, %lld words lost; step at %.2f ms, rise "
      "%.3f ms, overshoot %.1f %%",
      s.frames, s.records, static_cast<long long>(s.lost), s.metrics.step_time_s * 1e3,
      s.metrics.rise_time_s * 1e3, s.metrics.overshoot_pct);
  c.line(
      "  MODE %d; command %.3f A, plant iq %.3f A 15 ms after the step (TORQUE %d); STEP_CURRENT "
      "%d at the end",
      s.mode, s.commandA, s.plantIqA, s.torque, s.stepCurrent);
  c.check(s.recorded, "the recording ended by itself and the step became the torque command");
  c.check(static_cast<int>(s.records) == records && s.lost == 0 &&
              s.frames >= static_cast<size_t>(records) * cli::kWordsPerRecord,
          "every record rebuilt from the frames, none damaged");
  c.check(!s.requestGroups, "no dump frame carries a request group (0 or 1)");
  c.check(s.metrics.valid && s.metrics.step_time_s * 1e3 >= 14 && s.metrics.step_time_s * 1e3 <= 17,
          "the step comes 15 to 16 ms into the recording");
  c.check(std::fabs(s.plantIqA - s.commandA) <= 0.1 * std::fabs(s.commandA) + 0.3,
          "the plant's q current follows the step");
  // The CSV: time first, then the 18 words by name in record order.
  std::string header = "time_s";
  for (const char* name : cli::kLogColumns) header += std::string(",") + name;
  const size_t rows = static_cast<size_t>(std::count(s.csv.begin(), s.csv.end(), '\n'));
  c.check(s.csv.rfind(header + "\n", 0) == 0 && rows == s.records + 1,
          "CSV: the cycle time and 18 named columns, one row per record");
}

int scenarioTorqueStep(bool shortForm, Checks& c, const std::string& csvPath) {
  DriveTwin t;
  const int records = shortForm ? 150 : 834;
  const StepResult s = torqueStep(t, 930, shortForm ? records : 0);
  reportStep(s, records, c);
  if (!csvPath.empty()) {
    std::ofstream(csvPath) << s.csv;
    c.line("CSV written to %s", csvPath.c_str());
  }
  if (shortForm) {
    // The dump was stopped part way: a second one goes on with the next unsent word.
    sim::HostEndpoint& listener = t.world().addHostEndpoint();
    t.set(prop::STEP_CURRENT, 2);
    t.runMs(2.0 * 40);
    t.set(prop::STEP_CURRENT, 1);
    bool groups = false;
    const auto more = dumpWords(listener, &groups);
    std::vector<cli::LogWord> all = s.words;
    all.insert(all.end(), more.begin(), more.end());
    const cli::LogRecords r = cli::rebuildRecords(all);
    c.line("resumed dump: %zu more words, the first at position %d after %zu sent", more.size(),
           more.empty() ? -1 : more.front().position, s.words.size());
    c.check(more.size() >= 38 && !groups && r.lost_words == 0 &&
                more.front().position == static_cast<int>(s.words.size() % 18),
            "an interrupted dump resumes at the first unsent word");
  }
  return c.result();
}

// ---- autohome --------------------------------------------------------------------------------

std::function<void(sim::SerialEeprom&)> autohomeDelay(int16_t ms) {
  return [ms](sim::SerialEeprom& e) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(ms), static_cast<uint8_t>(ms >> 8)};
    e.preload(2 * prop::AUTOHOME_DELAY, bytes);
  };
}

int scenarioAutohome(bool shortForm, Checks& c) {
  const double limitMs = shortForm ? 4000 : 15000;
  {
    DriveTwin t(autohomeDelay(500));  // the twin has run 20 ms of its start
    shortAxis(t, 1.0);
    t.runMs(440);
    const int before = t.get(prop::STATUS);
    t.runMs(60);
    const int during = t.get(prop::STATUS);
    double ms = 0;
    const bool done = waitHomed(t, limitMs, &ms);
    c.line("AUTOHOME_DELAY 500: STATUS %d at 461 ms, %d at 522 ms, homed %.0f ms later", before,
           during, ms);
    c.check(before == 2 && during == 3, "homing starts by itself when the delay falls due");
    c.check(done && t.get(prop::UPPER_LIMIT) > 0, "and ends homed");
  }
  {
    DriveTwin t(autohomeDelay(3000));
    shortAxis(t, 1.0);
    t.runMs(80);
    t.set(prop::ACTION, 13);  // the host's request, 100 ms after start
    t.runMs(20);
    const int started = t.get(prop::STATUS);
    double ms = 0;
    const bool done = waitHomed(t, limitMs, &ms);
    double now = 122 + ms;
    bool again = false;
    while (now < 3600) {
      t.runMs(19);
      now += 20;
      again = again || t.get(prop::STATUS) != 2 || t.get(prop::HOMED) != 1;
    }
    c.line(
        "AUTOHOME_DELAY 3000, host homing at 100 ms: STATUS %d, homed at %.0f ms; "
        "%s homing by 3600 ms",
        started, 122 + ms, again ? "another" : "no other");
    c.check(started == 3 && done, "the host's homing runs at once");
    c.check(!again, "the pending automatic homing was cancelled");
  }
  return c.result();
}

// ---- commission ------------------------------------------------------------------------------

int scenarioCommission(bool shortForm, Checks& c, const std::string& csvPath) {
  DriveTwin t;
  c.line("%-26s %-30s %s", "step", "node", "plant truth");
  const ZeroResult z = measureZero(t);
  char a[96], b[96];
  std::snprintf(a, sizeof a, "CURRENT_OFFSET %d", z.measured);
  std::snprintf(b, sizeof b, "sensor zero %.2f counts", z.truth);
  c.line("%-26s %-30s %s", "current-sense zero", a, b);
  c.check(std::abs(z.measured - z.truth) <= 1.5, "zero within a count");

  t.set(prop::CALIBRATE, 61);
  t.runMs(5200);
  const int found = t.get(prop::ELEC_OFFSET);
  const int mounted = t.drive().params().encoder_offset_counts;
  const int offErr = ((found - mounted) % 1024 + 1024 + 512) % 1024 - 512;
  std::snprintf(a, sizeof a, "ELEC_OFFSET %d", found);
  std::snprintf(b, sizeof b, "encoder mounted at %d (%+d)", mounted, offErr);
  c.line("%-26s %-30s %s", "electrical offset", a, b);
  c.check(std::abs(offErr) <= 6, "offset within 6 counts (mod 1024)");

  if (shortForm) shortAxis(t, 2.0);
  const HomeResult h = home(t, t.get(prop::HOME_VELOCITY), 0, shortForm ? 6000 : 15000);
  std::snprintf(a, sizeof a, "limits 0..%d in %.1f s", h.upper, h.ms / 1000);
  std::snprintf(b, sizeof b, "errors %+.1f / %+.1f counts", h.lowerErr, h.upperErr);
  c.line("%-26s %-30s %s", "homing", a, b);
  c.check(h.done && std::fabs(h.lowerErr) <= 20 && std::fabs(h.upperErr) <= 20,
          "homed, limits within 20 counts of stops less back-offs");

  t.set(prop::MODE, 5);
  for (int32_t p : {16384, 49152, 32768}) {
    const int32_t target = static_cast<int32_t>((static_cast<int64_t>(p) * h.upper) >> 16);
    t.set(prop::SCALED_TARGET, static_cast<int16_t>(static_cast<uint16_t>(p)));
    const double ms = settle(t, target, 25, 5000);
    const int32_t pos = t.get(prop::POSITION);
    const double plant = shaftCounts(t) - h.zeroCounts;
    std::snprintf(a, sizeof a, "POSITION %d (%+d) %.0f ms", pos, pos - target, ms);
    std::snprintf(b, sizeof b, "shaft at %.1f counts", plant);
    char step[32];
    std::snprintf(step, sizeof step, "profile move to %d", p);
    c.line("%-26s %-30s %s", step, a, b);
    c.check(std::abs(pos - target) <= 25 && std::fabs(plant - pos) <= 3,
            "at the scaled target, the shaft where the node says");
  }

  t.set(prop::OBSERVER_BYPASS, 1);  // the loop on the measured currents; the observer runs beside
  const int records = shortForm ? 150 : 834;
  const StepResult s = torqueStep(t, 930, shortForm ? records : 0);
  std::snprintf(a, sizeof a, "%zu records, rise %.2f ms", s.records, s.metrics.rise_time_s * 1e3);
  std::snprintf(b, sizeof b, "iq %.3f A for %.3f A", s.plantIqA, s.commandA);
  c.line("%-26s %-30s %s", "torque step", a, b);
  reportStep(s, records, c);
  if (!csvPath.empty()) {
    std::ofstream(csvPath) << s.csv;
    c.line("CSV written to %s", csvPath.c_str());
  }
  return c.result();
}

using Fn = int (*)(bool, Checks&, const std::string&);

const std::map<std::string, Fn>& table() {
  static const std::map<std::string, Fn> t = {
      {"current-zero",
       [](bool s, Checks& c, const std::string&) { return scenarioCurrentZero(s, c); }},
      {"home", [](bool s, Checks& c, const std::string&) { return scenarioHome(s, c); }},
      {"scaled-move",
       [](bool s, Checks& c, const std::string&) { return scenarioScaledMove(s, c); }},
      {"fet-test", [](bool s, Checks& c, const std::string&) { return scenarioFetTest(s, c); }},
      {"torque-step", &scenarioTorqueStep},
      {"autohome", [](bool s, Checks& c, const std::string&) { return scenarioAutohome(s, c); }},
      {"commission", &scenarioCommission},
  };
  return t;
}

}  // namespace

HomingFigures measureHoming(int homeVelocity) {
  DriveTwin t;
  const HomeResult h = home(t, static_cast<int16_t>(homeVelocity), 0, 20000);
  HomingFigures f{h.done, h.ms, h.lowerErr, h.upperErr, {}};
  t.set(prop::MODE, 5);
  for (int32_t p : {16384, 49152, 32768}) {
    const int32_t target = static_cast<int32_t>((static_cast<int64_t>(p) * h.upper) >> 16);
    t.set(prop::SCALED_TARGET, static_cast<int16_t>(static_cast<uint16_t>(p)));
    settle(t, target, 25, 5000);
    t.runMs(200);
    f.moveError.push_back(shaftCounts(t) - h.zeroCounts - target);
  }
  return f;
}

const std::vector<std::string>& commissioningScenarioNames() {
  static const std::vector<std::string> names = {
      "current-zero", "home", "scaled-move", "fet-test", "torque-step", "autohome", "commission"};
  return names;
}

int runCommissioningScenario(const std::string& name, bool shortForm, std::ostream& out,
                             const std::string& csvPath) {
  const auto it = table().find(name);
  if (it == table().end()) return 2;
  Checks c(out);
  const char* env = std::getenv("TAVRIX_STEP_CSV");
  return it->second(shortForm, c, csvPath.empty() && env != nullptr ? env : csvPath);
}

}  // namespace tavrix::tools
