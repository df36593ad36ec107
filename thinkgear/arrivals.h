// When a connection's bytes came to its port, as well as the library can
// tell. It knows when it was watching the port (blocked in a read, which
// wakes as bytes come) and when it was not (between calls, in a pause, or
// while the process was stopped); bytes found waiting after a time it did
// not watch came somewhere inside that time. The estimates are kept by the
// bytes' index in the stream, run by run, each run spread evenly over a
// stretch of time.
#ifndef NICTATE_THINKGEAR_ARRIVALS_H
#define NICTATE_THINKGEAR_ARRIVALS_H

#include <cstdint>

namespace tg {

class Arrivals {
 public:
  Arrivals();

  // Forgets every estimate: the next byte to come has index `next`.
  void reset(uint64_t next);

  // The bytes from end() up to index `end` (not included) came spread
  // evenly over [from, to], milliseconds on the monotonic clock. Nothing
  // when end is not past end(). Where too many runs are kept, the two
  // oldest become one.
  void add(uint64_t end, int64_t from, int64_t to);

  // The index after the last byte dated.
  uint64_t end() const { return end_; }

  // When byte `index` came; -1 when no run holds it (bytes fed without a
  // port, or forgotten).
  int64_t when(uint64_t index) const;

  // Forgets the runs that end at or before `index`.
  void forget(uint64_t index);

 private:
  struct Run {
    uint64_t end;  // its bytes run from the previous run's end to here
    int64_t from;
    int64_t to;
  };
  static const int kRuns = 16;

  Run runs_[kRuns];  // a ring, oldest at first_
  int first_;
  int count_;
  uint64_t start_;  // the first byte of the oldest run
  uint64_t end_;
};

}  // namespace tg

#endif
