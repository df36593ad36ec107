// The benchmark's figures: percentiles of a set of timings, and the text of
// a table row.
#ifndef NICTATE_BENCH_STATISTICS_H
#define NICTATE_BENCH_STATISTICS_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Percentiles {
  double p50 = 0, p99 = 0, max = 0;
};

// Nearest-rank percentiles of nanosecond timings, in milliseconds.
Percentiles Summarize(std::vector<int64_t> samples);

// A row of the table (Markdown): what, the result, the target, and whether
// it was met ("yes", "**no**", or "" for a reference row).
struct Row {
  std::string what;
  std::string result;
  std::string target;
  std::string met;
};

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string YesNo(bool ok);

}  // namespace bench

#endif
