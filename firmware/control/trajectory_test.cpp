#include "firmware/control/trajectory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr int32_t kStep = 652;  // counts per step
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr double kDt = 216.0 / 65536.0;  // seconds per call

Trajectory_Controller_t created() {
  Trajectory_Controller_t c;
  EXPECT_EQ(Trajectory_create(&c, 0.0033000002f), 0);
  return c;
}
int32_t wrapAdd(int32_t a, int64_t b) {
  return static_cast<int32_t>(uint32_t(a) + uint32_t(b));
}
int64_t wrapDiff(int32_t a, int32_t b) {
  return static_cast<int32_t>(uint32_t(a) - uint32_t(b));
}

TEST(Trajectory, CreateRoundsTheLoopTimeToNearestEven) {
  struct Case {
    float loop_time;
    int32_t dt, rc;
  } cases[] = {{0.0033000002f, 216, 0}, {0.5f / 65536, 0, -1}, {0.0f, 0, -1},
               {1.5f / 65536, 2, 0},    {2.5f / 65536, 2, 0},  {1e9f, kMax, 0}};
  for (const Case& k : cases) {
    Trajectory_Controller_t c;
    c.distanceToGo = 33;
    EXPECT_EQ(Trajectory_create(&c, k.loop_time), k.rc);
    EXPECT_EQ(c.dt, k.dt);
    EXPECT_EQ(c.state, TRAJECTORY_IDLE);  // also when rejected
    EXPECT_EQ(c.distanceToGo, 33);        // nothing else touched
  }
  EXPECT_EQ(Trajectory_create(nullptr, 0.0033000002f), -1);
}

TEST(Trajectory, BrakingLimitIsAPerSecondRate) {
  Trajectory_Controller_t early;  // before create dt is 0: no division, limit 0
  Trajectory_setParameters(&early, 10 * kStep, 0, 5, 100, 7, 9);
  EXPECT_EQ(early.max_decel, 0);
  EXPECT_EQ(early.max_accel, 7 * 256);
  // decel x 256 / (216 / 65536 s), kept in 32 bits: positive only up to 27647.
  for (int16_t decel : {1, 13823, 27647, 27648, 32767, -5}) {
    Trajectory_Controller_t c = created();
    Trajectory_setLimits(&c, 1, 2, decel);
    EXPECT_EQ(c.max_decel, static_cast<int32_t>(int64_t{decel} * 256 * 65536 / 216)) << decel;
    EXPECT_EQ(c.max_decel > 0, decel > 0 && decel <= 27647) << decel;
  }
}

TEST(Trajectory, MovesAreWholeStepsBackFromTheTarget) {
  struct Case {
    int32_t start;
    int64_t distance;
    int32_t steps, direction;
  } cases[] = {{1000, 10 * kStep + 300, 10, 1},
               {1000, -(3 * kStep + 5), 3, -1},
               {-7, 651, 0, 0},
               {-7, -651, 0, 0},
               {kMax - 1000, 5000, 7, 1}};
  for (const Case& k : cases) {
    Trajectory_Controller_t c = created();
    Trajectory_setParameters(&c, wrapAdd(k.start, k.distance), k.start, -40, 100, 2, 2);
    EXPECT_EQ(c.current_velocity, 40 * 256);  // taken by magnitude
    EXPECT_EQ(c.distanceToGo, k.steps * 256) << k.distance;
    EXPECT_EQ(c.direction, k.direction) << k.distance;
  }
}

TEST(Trajectory, UnderOneStepCompletesAtOnceOnTheTarget) {
  // Distance 0 while accelerating takes the braking branch with nothing to divide by.
  for (int16_t v0 : {0, 30, 32767}) {
    for (int32_t offset : {0, 651, -651}) {
      Trajectory_Controller_t c = created();
      Trajectory_setParameters(&c, 5000 + offset, 5000, v0, 100, 2, 2);
      EXPECT_EQ(Trajectory_nextPosition(&c), 5000 + offset);
      EXPECT_EQ(c.state, TRAJECTORY_COMPLETED);
      EXPECT_EQ(c.current_velocity, 0);
    }
  }
  Trajectory_Controller_t idle = created();  // no move given
  EXPECT_EQ(Trajectory_nextPosition(&idle), 0);
  EXPECT_EQ(Trajectory_nextPosition(&idle), 0);
  EXPECT_EQ(idle.state, TRAJECTORY_COMPLETED);
}

TEST(Trajectory, BrakingBoundaries) {
  // Velocity reaching exactly 0 snaps to the target 50 steps early; 1 unit more keeps moving.
  for (int32_t decrease : {1000, 999}) {
    Trajectory_Controller_t c = created();
    Trajectory_setParameters(&c, 123456, 123456 - 50 * kStep, 0, 100, 2, 2);
    c.state = TRAJECTORY_DECEL;
    c.current_velocity = 1000;
    c.max_decel_calculated = decrease;
    EXPECT_EQ(Trajectory_nextPosition(&c), 123456 - (decrease == 1000 ? 0 : 49 * kStep));
  }
  // 16 steps/s travels 13 units per call and v^2 = 2^24 = (1037 - 13) x 2 x 8192: equality brakes.
  for (int32_t distance : {1037, 1038}) {
    Trajectory_Controller_t c = created();
    Trajectory_setParameters(&c, 100 * kStep, 0, 16, 1000, 1, 1);
    c.max_decel = 8192;
    c.distanceToGo = distance;
    Trajectory_nextPosition(&c);
    EXPECT_EQ(c.state, distance == 1037 ? TRAJECTORY_DECEL : TRAJECTORY_ACCEL);
  }
  // The limit is compared by magnitude and assigned with its sign.
  Trajectory_Controller_t c = created();
  Trajectory_setParameters(&c, 1000 * kStep, 0, 0, -50, 10, 2);
  Trajectory_nextPosition(&c);
  EXPECT_EQ(c.current_velocity, 10 * 256);
  for (int i = 0; i < 4; ++i) Trajectory_nextPosition(&c);
  EXPECT_EQ(c.current_velocity, -50 * 256);
}

// Distance (steps) after t seconds of a continuous trapezoid from rest.
struct Trapezoid {
  double d, v, a, b;
  double peak() const { return std::min(v, std::sqrt(2 * d * a * b / (a + b))); }
  double duration() const {
    const double p = peak();
    return p / a + (d - p * p / (2 * a) - p * p / (2 * b)) / p + p / b;
  }
  double at(double t) const {
    const double p = peak(), left = duration() - t;
    if (t <= p / a) return a * t * t / 2;
    if (left <= 0) return d;
    if (left <= p / b) return d - b * left * left / 2;
    return p * p / (2 * a) + p * (t - p / a);
  }
};

// Runs to completion, checking that no call moves away from the target or passes it.
std::vector<int32_t> run(Trajectory_Controller_t& c, int32_t* peak = nullptr) {
  std::vector<int32_t> out;
  int32_t last = c.start_position;
  while (c.state != TRAJECTORY_COMPLETED && out.size() < 100000) {
    const int32_t pos = Trajectory_nextPosition(&c);
    EXPECT_GE(wrapDiff(pos, last) * c.direction, 0) << "backwards at call " << out.size();
    EXPECT_GE(wrapDiff(c.target_position, pos) * c.direction, 0) << "overshoot";
    if (peak) *peak = std::max(*peak, c.current_velocity);
    out.push_back(last = pos);
  }
  EXPECT_EQ(c.state, TRAJECTORY_COMPLETED);
  return out;
}

TEST(Trajectory, WholeMovesFollowTheTrapezoid) {
  // Limits are multiples of 32 steps/s, whose travel per call is exact, so truncation lags the
  // model only while the speed changes.
  struct Case {
    int32_t start;
    int64_t steps;
    int16_t vmax, accel, decel;
  } cases[] = {{0, 400, 96, 2, 2},
               {50000, -400, 96, 2, 2},
               {0, 300, 160, 5, 1},
               {0, 300, 160, 1, 6},
               {0, 40, 96, 2, 2},                   // triangular
               {kMax - 20 * kStep, 90, 192, 4, 4},  // across the 32-bit wrap
               {-1000, 20000, 3008, 50, 50}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.steps);
    Trajectory_Controller_t c = created();
    const int32_t target = wrapAdd(k.start, k.steps * kStep);
    Trajectory_setParameters(&c, target, k.start, 0, k.vmax, k.accel, k.decel);
    int32_t peak = 0;
    const std::vector<int32_t> pos = run(c, &peak);
    ASSERT_FALSE(pos.empty());
    EXPECT_EQ(pos.back(), target);

    const Trapezoid m{std::fabs(double(k.steps)), double(k.vmax), k.accel / kDt, k.decel / kDt};
    if (m.peak() >= k.vmax) {
      EXPECT_EQ(peak, k.vmax * 256);
    } else {  // braking starts within a call of the ideal instant
      EXPECT_NEAR(peak / 256.0, m.peak(), 2.0 * k.accel);
    }
    const double lag = (m.peak() / k.accel + m.peak() / k.decel + 2) / 256;  // <= 1/256 a call
    // Braking may begin a call early and end a call late.
    EXPECT_NEAR(double(pos.size()), m.duration() / kDt, 3 + lag / (m.peak() * kDt));
    const double tolerance = (1 + k.vmax * kDt + lag) * kStep + 1;  // a step plus a call's travel
    for (size_t i = 0; i < pos.size(); ++i) {
      const double got = double(wrapDiff(pos[i], k.start)) * (k.steps > 0 ? 1 : -1);
      ASSERT_NEAR(got, m.at(double(i + 1) * kDt) * kStep, tolerance) << "call " << i;
    }
  }
}

TEST(Trajectory, RetargetKeepsTheSpeed) {
  struct Case {
    int32_t new_target, first_step;  // first_step: commanded change on the next call
  } cases[] = {
      {800 * kStep + 77, kStep + 77},  // farther: the 77-count remainder at once, no ramp
      {-50 * kStep, -kStep},           // behind: full speed backwards at once
  };
  for (const Case& k : cases) {
    Trajectory_Controller_t c = created();
    Trajectory_setParameters(&c, 400 * kStep, 0, 0, 96, 2, 2);
    int32_t pos = 0;
    for (int i = 0; i < 200; ++i) pos = Trajectory_nextPosition(&c);  // cruising
    Trajectory_setLimits(&c, 96, 2, 2);
    Trajectory_setTargetPosition(&c, k.new_target);
    EXPECT_EQ(c.state, TRAJECTORY_READY);
    // 96 steps/s is 0.32 steps per call: the commanded position moves one whole step.
    EXPECT_EQ(Trajectory_nextPosition(&c) - pos, k.first_step);
    EXPECT_EQ(c.current_velocity, 96 * 256);
    EXPECT_EQ(run(c).back(), k.new_target);
  }
  // A farther target while braking accelerates again.
  Trajectory_Controller_t c = created();
  Trajectory_setParameters(&c, 100 * kStep, 0, 0, 96, 2, 2);
  while (c.state != TRAJECTORY_DECEL) Trajectory_nextPosition(&c);
  for (int i = 0; i < 5; ++i) Trajectory_nextPosition(&c);  // well below the limit
  const int32_t braking = c.current_velocity;
  Trajectory_setTargetPosition(&c, 300 * kStep);
  Trajectory_nextPosition(&c);
  EXPECT_EQ(c.current_velocity, braking + 2 * 256);
  EXPECT_EQ(run(c).back(), 300 * kStep);
}

}  // namespace
