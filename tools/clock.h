// The monotonic clock the simulator and the benchmarks schedule by.
#ifndef NICTATE_TOOLS_CLOCK_H
#define NICTATE_TOOLS_CLOCK_H

#include <time.h>

#include <cstdint>

namespace sim {

// Nanoseconds on the monotonic clock (0 should it ever fail to read).
inline int64_t MonotonicNs(void) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return 0;
  }
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace sim

#endif
