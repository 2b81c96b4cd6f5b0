// Time per call of the trajectory step that the control interrupt runs in profile mode.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "firmware/control/trajectory.hpp"

namespace {

// Back-and-forth moves of 200 000 counts, so every branch (accelerate, cruise, brake, arrive)
// is taken in proportion to a real profile.
void BM_TrajectoryNextPosition(benchmark::State& state) {
  Trajectory_Controller_t t;
  Trajectory_create(&t, 0.0033000002f);
  int32_t position = 0;
  int32_t target = 200000;
  Trajectory_setParameters(&t, target, position, 0, 3000, 40, 40);
  for (auto _ : state) {
    position = Trajectory_nextPosition(&t);
    benchmark::DoNotOptimize(position);
    if (t.state == TRAJECTORY_COMPLETED) {
      target = -target;
      Trajectory_setParameters(&t, target, position, 0, 3000, 40, 40);
    }
  }
}
BENCHMARK(BM_TrajectoryNextPosition);

}  // namespace
