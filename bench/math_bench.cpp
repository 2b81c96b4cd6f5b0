// Time per call of the fixed-point routines and of one current-control chain. Inputs come from
// precomputed pseudo-random tables (cycled with a power-of-two mask) so no call sees constant
// arguments, and every result goes through DoNotOptimize.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

#include "firmware/math/fixed_math.hpp"

namespace {

constexpr size_t kN = 4096;  // power of two
constexpr size_t kMask = kN - 1;

struct Inputs {
  std::array<int32_t, kN> any;    // whole 32-bit range
  std::array<int32_t, kN> small;  // |v| < 0.25: errors and currents in normal operation
  std::array<int32_t, kN> bus;    // plausible DC-bus readings
  std::array<MCLIB_ANGLE_T, kN> angle;
};

const Inputs& inputs() {
  static const Inputs in = [] {
    Inputs v{};
    std::mt19937 rng(42);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int32_t> small(-(1 << 29), (1 << 29) - 1);
    std::uniform_int_distribution<int32_t> bus(1 << 30, INT32_MAX);
    for (size_t i = 0; i < kN; ++i) {
      v.any[i] = any(rng);
      v.small[i] = small(rng);
      v.bus[i] = bus(rng);
      v.angle[i] = {GFLIB_SinANSIC(v.any[i], &gflibSinCoef),
                    GFLIB_CosANSIC(v.any[i], &gflibCosCoef)};
    }
    return v;
  }();
  return in;
}

void BM_Sqrt(benchmark::State& state) {
  const Inputs& in = inputs();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GFLIB_SqrtANSIC(in.any[i++ & kMask]));
  }
}
BENCHMARK(BM_Sqrt);

void BM_Sin(benchmark::State& state) {
  const Inputs& in = inputs();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GFLIB_SinANSIC(in.any[i++ & kMask], &gflibSinCoef));
  }
}
BENCHMARK(BM_Sin);

void BM_Cos(benchmark::State& state) {
  const Inputs& in = inputs();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GFLIB_CosANSIC(in.any[i++ & kMask], &gflibCosCoef));
  }
}
BENCHMARK(BM_Cos);

GFLIB_CONTROLLER_PIAW_P_T makeCurrentPi() {
  GFLIB_CONTROLLER_PIAW_P_T pi{};
  pi.f32PropGain = 1 << 30;
  pi.w16PropGainShift = 1;
  pi.f32IntegGain = 1 << 24;
  pi.w16IntegGainShift = 0;
  pi.f32LowerLimit = -(1 << 30);
  pi.f32UpperLimit = 1 << 30;
  return pi;
}

void BM_ControllerPIpAW(benchmark::State& state) {
  const Inputs& in = inputs();
  GFLIB_CONTROLLER_PIAW_P_T pi = makeCurrentPi();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GFLIB_ControllerPIpAWANSIC(in.small[i++ & kMask], &pi));
  }
}
BENCHMARK(BM_ControllerPIpAW);

void BM_Clark(benchmark::State& state) {
  const Inputs& in = inputs();
  size_t i = 0;
  for (auto _ : state) {
    const int32_t a = in.small[i & kMask], b = in.small[(i + 1) & kMask];
    const MCLIB_3_COOR_SYST_T abc{a, b, -a - b};
    MCLIB_2_COOR_SYST_ALPHA_BETA_T out;
    GMCLIB_ClarkANSIC(&out, &abc);
    benchmark::DoNotOptimize(out);
    ++i;
  }
}
BENCHMARK(BM_Clark);

void BM_Park(benchmark::State& state) {
  const Inputs& in = inputs();
  size_t i = 0;
  for (auto _ : state) {
    const MCLIB_2_COOR_SYST_ALPHA_BETA_T ab{in.any[i & kMask], in.any[(i + 1) & kMask]};
    MCLIB_2_COOR_SYST_D_Q_T out;
    GMCLIB_ParkANSIC(&out, &in.angle[i & kMask], &ab);
    benchmark::DoNotOptimize(out);
    ++i;
  }
}
BENCHMARK(BM_Park);

void BM_ParkInv(benchmark::State& state) {
  const Inputs& in = inputs();
  size_t i = 0;
  for (auto _ : state) {
    const MCLIB_2_COOR_SYST_D_Q_T dq{in.any[i & kMask], in.any[(i + 1) & kMask]};
    MCLIB_2_COOR_SYST_ALPHA_BETA_T out;
    GMCLIB_ParkInvANSIC(&out, &in.angle[i & kMask], &dq);
    benchmark::DoNotOptimize(out);
    ++i;
  }
}
BENCHMARK(BM_ParkInv);

void BM_ElimDcBusRip(benchmark::State& state) {
  const Inputs& in = inputs();
  size_t i = 0;
  for (auto _ : state) {
    const MCLIB_2_COOR_SYST_ALPHA_BETA_T ab{in.small[i & kMask], in.small[(i + 1) & kMask]};
    const GMCLIB_ELIM_DC_BUS_RIP_T param{1859720839, in.bus[i & kMask]};
    MCLIB_2_COOR_SYST_ALPHA_BETA_T out;
    GMCLIB_ElimDcBusRipANSIC(&out, &ab, &param);
    benchmark::DoNotOptimize(out);
    ++i;
  }
}
BENCHMARK(BM_ElimDcBusRip);

void BM_SvmStd(benchmark::State& state) {
  const Inputs& in = inputs();
  size_t i = 0;
  for (auto _ : state) {
    const MCLIB_2_COOR_SYST_ALPHA_BETA_T ab{in.any[i & kMask], in.any[(i + 1) & kMask]};
    MCLIB_3_COOR_SYST_T out;
    benchmark::DoNotOptimize(GMCLIB_SvmStdANSIC(&out, &ab));
    benchmark::DoNotOptimize(out);
    ++i;
  }
}
BENCHMARK(BM_SvmStd);

// Phase currents to duty fractions: Clarke, Park, d and q PI, inverse Park, ripple elimination,
// modulation, with the sine and cosine of the rotor angle.
void BM_CurrentControlChain(benchmark::State& state) {
  const Inputs& in = inputs();
  GFLIB_CONTROLLER_PIAW_P_T piD = makeCurrentPi();
  GFLIB_CONTROLLER_PIAW_P_T piQ = makeCurrentPi();
  size_t i = 0;
  for (auto _ : state) {
    const int32_t ia = in.small[i & kMask], ib = in.small[(i + 1) & kMask];
    const MCLIB_3_COOR_SYST_T abc{ia, ib, -ia - ib};
    const int32_t rotor = in.any[i & kMask];
    const MCLIB_ANGLE_T angle{GFLIB_SinANSIC(rotor, &gflibSinCoef),
                              GFLIB_CosANSIC(rotor, &gflibCosCoef)};
    MCLIB_2_COOR_SYST_ALPHA_BETA_T iAb;
    GMCLIB_ClarkANSIC(&iAb, &abc);
    MCLIB_2_COOR_SYST_D_Q_T iDq;
    GMCLIB_ParkANSIC(&iDq, &angle, &iAb);
    const int32_t iqRequest = in.small[(i + 2) & kMask];
    const MCLIB_2_COOR_SYST_D_Q_T uDq{GFLIB_ControllerPIpAWANSIC(0 - iDq.f32D, &piD),
                                      GFLIB_ControllerPIpAWANSIC(iqRequest - iDq.f32Q, &piQ)};
    MCLIB_2_COOR_SYST_ALPHA_BETA_T uAb;
    GMCLIB_ParkInvANSIC(&uAb, &angle, &uDq);
    const GMCLIB_ELIM_DC_BUS_RIP_T ripple{1859720839, in.bus[i & kMask]};
    MCLIB_2_COOR_SYST_ALPHA_BETA_T uAbScaled;
    GMCLIB_ElimDcBusRipANSIC(&uAbScaled, &uAb, &ripple);
    MCLIB_3_COOR_SYST_T duty;
    benchmark::DoNotOptimize(GMCLIB_SvmStdANSIC(&duty, &uAbScaled));
    benchmark::DoNotOptimize(duty);
    ++i;
  }
}
BENCHMARK(BM_CurrentControlChain);

}  // namespace
