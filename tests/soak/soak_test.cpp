#include "tests/soak/soak.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tavrix::soak {
namespace {

// The short form of the test command: a few power cycles of random streams, run twice.
TEST(Soak, ShortRunKeepsEveryInvariantAndRepeatsByteForByte) {
  SoakConfig config;
  config.seed = 20261208;
  config.length = sim::fromMillis(1000);
  config.meanCutInterval = sim::fromMillis(300);
  const SoakResult a = runSoak(config);
  EXPECT_EQ(a.violation, "");
  EXPECT_GE(a.powerCuts, 1u);
  EXPECT_GT(a.replies, a.framesSent / 4);
  const SoakResult b = runSoak(config);
  EXPECT_TRUE(a.candump == b.candump) << "the same seed gave other bytes";
  EXPECT_EQ(a.candumpHash, b.candumpHash);
  EXPECT_EQ(a.framesSent, b.framesSent);
  // Another seed, another run.
  config.seed += 1;
  EXPECT_FALSE(runSoak(config).candump == a.candump);
}

// The long form, by hand:
//   SOAK_SECONDS=3600 SOAK_SEED=1 tavrix_soak_test --gtest_also_run_disabled_tests \
//     --gtest_filter=*Long*
TEST(Soak, DISABLED_Long) {
  SoakConfig config;
  const char* seconds = std::getenv("SOAK_SECONDS");
  const char* seed = std::getenv("SOAK_SEED");
  config.length = sim::fromMillis(1000 * (seconds != nullptr ? std::atoll(seconds) : 600));
  config.seed = seed != nullptr ? static_cast<uint32_t>(std::atoll(seed)) : 1u;
  config.keepCandump = false;
  const auto start = std::chrono::steady_clock::now();
  const SoakResult r = runSoak(config);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "soak: seed %u, %.1f s simulated in %.1f s wall: %llu frames sent, %llu replies, "
      "%llu liveness gets, %llu power cuts, %llu resets, %llu dropped, candump hash %016llx, "
      "violations: %s\n",
      config.seed, static_cast<double>(r.simulated) / sim::kBusClockHz, wall,
      static_cast<unsigned long long>(r.framesSent), static_cast<unsigned long long>(r.replies),
      static_cast<unsigned long long>(r.probes), static_cast<unsigned long long>(r.powerCuts),
      static_cast<unsigned long long>(r.resets), static_cast<unsigned long long>(r.dropped),
      static_cast<unsigned long long>(r.candumpHash),
      r.violation.empty() ? "none" : r.violation.c_str());
  EXPECT_EQ(r.violation, "");
}

}  // namespace
}  // namespace tavrix::soak
