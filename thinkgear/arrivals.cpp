#include "thinkgear/arrivals.h"

namespace tg {

Arrivals::Arrivals() : runs_(), first_(0), count_(0), start_(0), end_(0) {}

void Arrivals::reset(uint64_t next) {
  first_ = 0;
  count_ = 0;
  start_ = next;
  end_ = next;
}

void Arrivals::add(uint64_t end, int64_t from, int64_t to) {
  if (end <= end_) {
    return;
  }
  if (count_ == kRuns) {
    Run &oldest = runs_[first_];
    first_ = (first_ + 1) % kRuns;
    --count_;
    runs_[first_].from = oldest.from;
  }
  runs_[(first_ + count_) % kRuns] = Run{end, from, to < from ? from : to};
  ++count_;
  end_ = end;
}

int64_t Arrivals::when(uint64_t index) const {
  uint64_t begin = start_;
  for (int i = 0; i < count_; ++i) {
    const Run &run = runs_[(first_ + i) % kRuns];
    if (index >= begin && index < run.end) {
      // The run's last byte came at its end.
      const double share = static_cast<double>(index - begin + 1) / (run.end - begin);
      return run.from + static_cast<int64_t>(share * (run.to - run.from));
    }
    begin = run.end;
  }
  return -1;
}

void Arrivals::forget(uint64_t index) {
  while (count_ > 0 && runs_[first_].end <= index) {
    start_ = runs_[first_].end;
    first_ = (first_ + 1) % kRuns;
    --count_;
  }
}

}  // namespace tg
