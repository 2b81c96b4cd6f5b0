// A harness's totals over a run (inputs, frames, simulated time), printed to stderr when the
// process ends, also when a check fails. With FUZZ_TOTALS naming a file the line is appended
// there as well: a long run in fork mode ends many processes whose own output is not kept, and
// the file sums them.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace tavrix::fuzz {

inline void reportTotals(const char* line) {
  std::fprintf(stderr, "%s\n", line);
  if (const char* path = std::getenv("FUZZ_TOTALS")) {
    if (std::FILE* f = std::fopen(path, "a")) {
      std::fprintf(f, "%s\n", line);
      std::fclose(f);
    }
  }
}

}  // namespace tavrix::fuzz
