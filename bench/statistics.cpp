#include "bench/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "testkit/clock.h"

namespace bench {

Percentiles Summarize(std::vector<int64_t> samples) {
  Percentiles p;
  if (samples.empty()) {
    return p;
  }
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  auto rank = [&](double q) {
    size_t r = static_cast<size_t>(std::ceil(q * static_cast<double>(n)));
    r = std::max<size_t>(1, std::min(r, n));
    return static_cast<double>(samples[r - 1]) / testkit::kMs;
  };
  p.p50 = rank(0.50);
  p.p99 = rank(0.99);
  p.max = static_cast<double>(samples.back()) / testkit::kMs;
  return p;
}

std::string Format(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string YesNo(bool ok) { return ok ? "yes" : "**no**"; }

}  // namespace bench
