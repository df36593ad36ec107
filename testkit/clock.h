// The one clock of the tests and the benchmarks: the monotonic clock
// (platform/posix_time.h), and deadlines on it.
#ifndef NICTATE_TESTKIT_CLOCK_H
#define NICTATE_TESTKIT_CLOCK_H

#include <cstdint>

#include "platform/posix_time.h"

namespace testkit {

const int64_t kMs = 1000000;  // nanoseconds
const int64_t kSecond = 1000 * kMs;

// Nanoseconds on the monotonic clock.
inline int64_t NowNs() { return nictate::MonotonicNs(); }

// Seconds since `start` (a NowNs() reading).
inline double SecondsSince(int64_t start) { return static_cast<double>(NowNs() - start) / kSecond; }

// A moment some seconds from now.
class Deadline {
 public:
  explicit Deadline(double seconds) : at_(NowNs() + static_cast<int64_t>(seconds * kSecond)) {}
  bool Passed() const { return NowNs() >= at_; }
  // What is left, in whole milliseconds rounded up; 0 once it has passed.
  int MillisecondsLeft() const {
    const int64_t left = at_ - NowNs();
    return left <= 0 ? 0 : static_cast<int>((left + kMs - 1) / kMs);
  }

 private:
  int64_t at_;
};

}  // namespace testkit

#endif
