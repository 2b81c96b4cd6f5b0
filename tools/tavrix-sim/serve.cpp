#include "tools/tavrix-sim/serve.hpp"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>

namespace tavrix::tools {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// "\r"-rewritten status line on a terminal, once a second after the first few seconds.
class ProgressLine {
 public:
  ProgressLine(std::ostream* out, double after_s, sim::SimTime end_clk, Clock::time_point start)
      : out_(out),
        end_clk_(end_clk),
        start_(start),
        next_(start + std::chrono::duration_cast<Clock::duration>(Seconds(after_s))) {}
  ~ProgressLine() {
    if (printed_) *out_ << "\n" << std::flush;
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  std::optional<Clock::time_point> nextAt() const {
    return out_ ? std::optional<Clock::time_point>(next_) : std::nullopt;
  }
  void update(sim::SimTime now_clk, Clock::time_point wall) {
    if (out_ == nullptr || wall < next_) return;
    next_ = wall + std::chrono::seconds(1);
    const double sim_s = static_cast<double>(now_clk) / sim::kBusClockHz;
    const double wall_s = Seconds(wall - start_).count();
    char text[160];
    if (end_clk_ == std::numeric_limits<sim::SimTime>::max()) {
      std::snprintf(text, sizeof text, "\rtavrix-sim: %.1f s simulated, %.2fx real time   ", sim_s,
                    wall_s > 0 ? sim_s / wall_s : 0.0);
    } else {
      std::snprintf(
          text, sizeof text, "\rtavrix-sim: %.1f s simulated of %.1f s, %.2fx real time   ", sim_s,
          static_cast<double>(end_clk_) / sim::kBusClockHz, wall_s > 0 ? sim_s / wall_s : 0.0);
    }
    *out_ << text << std::flush;
    printed_ = true;
  }

 private:
  std::ostream* out_;
  sim::SimTime end_clk_;
  Clock::time_point start_;
  Clock::time_point next_;
  bool printed_ = false;
};

}  // namespace

LoopResult runLoop(sim::World& world, const LoopConfig& c, const std::vector<sim::PolledIo*>& io) {
  const Clock::time_point start = Clock::now();
  const sim::SimTime start_clk = world.now();
  const bool paced = c.speed > 0;
  const double clk_per_wall_s = c.speed * static_cast<double>(sim::kBusClockHz);

  // Simulated time that belongs to wall-clock instant `t`, never past the end.
  const auto simAt = [&](Clock::time_point t) -> sim::SimTime {
    const double clk = Seconds(t - start).count() * clk_per_wall_s;
    if (clk >= static_cast<double>(c.end_clk - start_clk)) return c.end_clk;
    return start_clk + static_cast<sim::SimTime>(clk);
  };
  // Wall-clock instant at which simulated time `t` is due.
  const auto wallAt = [&](sim::SimTime t) {
    return start + std::chrono::duration_cast<Clock::duration>(
                       Seconds(static_cast<double>(t - start_clk) / clk_per_wall_s));
  };
  const auto nextStep = [&] {
    return world.now() + std::min(c.slice_clk, c.end_clk - world.now());
  };

  LoopResult result;
  ProgressLine progress(c.progress, c.progress_after_s, c.end_clk, start);
  std::vector<pollfd> fds;
  std::optional<Clock::time_point> stalled_since;

  while (world.now() < c.end_clk) {
    if ((c.stop != nullptr && *c.stop != 0) || (c.failed && c.failed())) {
      result.stopped = true;
      break;
    }
    bool waiting_for_readers = false;
    sim::SimTime target = nextStep();
    if (paced) {
      target = std::min(target, simAt(Clock::now()));
    } else {
      size_t backlog = 0;
      for (sim::PolledIo* p : io) backlog = std::max(backlog, p->backlogBytes());
      if (backlog > c.backlog_limit_bytes) {
        // As fast as the readers allow: let them catch up before producing more.
        waiting_for_readers = true;
        target = world.now();
        const Clock::time_point now = Clock::now();
        if (!stalled_since) stalled_since = now;
        if (Seconds(now - *stalled_since).count() > c.max_stall_s && c.drop_behind) {
          c.drop_behind(c.backlog_limit_bytes);
          stalled_since.reset();
        }
      } else {
        stalled_since.reset();
      }
    }
    if (target > world.now()) world.runUntil(target);

    if (!io.empty() || paced) {
      // Wait for the next slice's instant, a client, or whatever else wants attention.
      Clock::time_point wake = Clock::now();
      if (paced) {
        wake = wallAt(nextStep());
      } else if (waiting_for_readers) {
        wake += std::chrono::milliseconds(10);
      }
      for (sim::PolledIo* p : io) {
        if (const auto at = p->wakeAt()) wake = std::min(wake, *at);
      }
      if (const auto at = progress.nextAt()) wake = std::min(wake, *at);
      const auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      const timespec ts{static_cast<time_t>(ns / 1'000'000'000),
                        static_cast<long>(ns % 1'000'000'000)};
      fds.clear();
      for (sim::PolledIo* p : io) p->addPollFds(fds);
      // EINTR (a signal) only shortens the wait; the loop looks at the stop flag next.
      ::ppoll(fds.data(), fds.size(), &ts, nullptr);
      if (paced) {
        // Whatever arrived is put on the bus at the simulated time of its arrival.
        const sim::SimTime now_clk = std::min(simAt(Clock::now()), nextStep());
        if (now_clk > world.now()) world.runUntil(now_clk);
        result.max_lag_clk = std::max(result.max_lag_clk, simAt(Clock::now()) - world.now());
      }
      for (sim::PolledIo* p : io) p->service(fds);
    }
    progress.update(world.now(), Clock::now());
  }
  result.wall_s = Seconds(Clock::now() - start).count();
  return result;
}

}  // namespace tavrix::tools
