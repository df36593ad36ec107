// The monotonic clock, and a sleep that a signal does not cut short, on
// POSIX systems: the one copy that the device library, the ways of clicking,
// the tools and the tests share. Header-only, so that it adds no library to
// any of them.
#ifndef NICTATE_PLATFORM_POSIX_TIME_H
#define NICTATE_PLATFORM_POSIX_TIME_H

#include <time.h>

#include <cerrno>
#include <cstdint>

namespace nictate {

// Nanoseconds on the monotonic clock (0 should it ever fail to read).
inline int64_t MonotonicNs(void) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return 0;
  }
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Milliseconds on the monotonic clock (0 should it ever fail to read).
inline int64_t MonotonicMs(void) { return MonotonicNs() / 1000000; }

// Blocks the calling thread for the given milliseconds: a signal cuts the
// sleep short, and the rest is slept.
inline void SleepMs(uint32_t milliseconds) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(milliseconds / 1000);
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace nictate

#endif
