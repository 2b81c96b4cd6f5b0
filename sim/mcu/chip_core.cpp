#include "sim/mcu/chip_core.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace tavrix::sim {

void ChipCore::runaway() const {
  std::fprintf(stderr,
               "%s: %" PRIu64 " platform calls without Cpu_Relax at clock %" PRId64
               ": a busy-wait that never relaxes (or an interrupt that is never acknowledged) "
               "would hang the simulation\n",
               name_.c_str(), calls_since_park_, queue_.now());
  std::abort();
}

}  // namespace tavrix::sim
