// The twin's main loop: runs the world in slices of simulated time, paced to the wall clock (or
// as fast as the host allows), and services the sockets of the live twin between slices.
//
// Single-threaded: while the world runs nothing is read; between slices poll() waits for the
// next slice's wall-clock instant or for a client, whichever comes first. Frames read from
// outside are queued on the bus at the simulated time that corresponds to the wall clock when
// they were read, so a client's frame enters the bus when it arrives.
#pragma once

#include <csignal>
#include <functional>
#include <ostream>
#include <vector>

#include "sim/bus/polled_io.hpp"
#include "sim/world/sim_time.hpp"
#include "sim/world/world.hpp"

namespace tavrix::tools {

struct LoopConfig {
  sim::SimTime end_clk = 0;  // the run ends when the world reaches it
  double speed = 0;          // simulated seconds per wall-clock second; 0: no pacing
  sim::SimTime slice_clk = sim::fromMillis(1);
  // Non-zero ends the loop at the next slice (set from a signal handler).
  const volatile std::sig_atomic_t* stop = nullptr;
  // Asked after each slice; true ends the loop (an output that can no longer be written).
  std::function<bool()> failed;
  // Progress lines on a terminal, for runs that last longer than `progress_after_s` of wall time.
  std::ostream* progress = nullptr;
  double progress_after_s = 2.0;
  // Unpaced, the loop waits for a reader more than this far behind rather than running ahead;
  // after `max_stall_s` of waiting it drops that reader (see `drop_behind`).
  size_t backlog_limit_bytes = 256 * 1024;
  double max_stall_s = 2.0;
  std::function<void(size_t bytes)> drop_behind;
};

struct LoopResult {
  bool stopped = false;  // by `stop` or `failed`, before the end
  double wall_s = 0;
  // Paced runs: the largest distance of simulated time behind the wall clock after a catch-up,
  // in bus clocks (how well the twin kept pace).
  sim::SimTime max_lag_clk = 0;
};

// Runs until the end, a stop or a failure. Exceptions from the world (a board part that cannot
// store what it was given) end the loop and propagate.
LoopResult runLoop(sim::World& world, const LoopConfig& config,
                   const std::vector<sim::PolledIo*>& io);

}  // namespace tavrix::tools
