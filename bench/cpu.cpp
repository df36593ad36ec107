// The program's CPU time while it waits: utime+stime from /proc/PID/stat,
// and the scheduler's own count, over a span in each state of the feed.
#include <unistd.h>

#include <cstdlib>

#include "bench/measures.h"
#include "testkit/clock.h"
#include "testkit/files.h"
#include "testkit/procfs.h"

namespace bench {

namespace {

// The time the scheduler has run the process, in nanoseconds, or -1: the
// first field of /proc/PID/schedstat, exact where utime and stime are
// sampled at the clock tick.
long long RunNs(pid_t pid) {
  const std::string text = testkit::ReadFile("/proc/" + std::to_string(pid) + "/schedstat");
  return text.empty() ? -1 : std::atoll(text.c_str());
}

}  // namespace

bool MeasureCpu(Run *run, Feed feed, int seconds, double *percent, double *runPercent) {
  SetFeed(run, feed);
  const pid_t pid = run->program->pid();
  const long long ticks0 = testkit::CpuTicks(pid);
  const long long run0 = RunNs(pid);
  const int64_t t0 = testkit::NowNs();
  if (!Pump(run, t0 + seconds * testkit::kSecond)) {
    return false;
  }
  const long long ticks1 = testkit::CpuTicks(pid);
  const long long run1 = RunNs(pid);
  const double wall = testkit::SecondsSince(t0);
  if (ticks0 < 0 || ticks1 < 0) {
    run->failure = "cannot read /proc/PID/stat";
    return false;
  }
  const double cpuSeconds = static_cast<double>(ticks1 - ticks0) / sysconf(_SC_CLK_TCK);
  *percent = 100.0 * cpuSeconds / wall;
  *runPercent = run0 < 0 || run1 < 0 ? -1 : 100.0 * static_cast<double>(run1 - run0) / 1e9 / wall;
  return true;
}

std::string Percent(double percent, double runPercent) {
  std::string text = Format("%.2f%% of a core", percent);
  if (runPercent >= 0) {
    text += Format(" (scheduler run time %.2f%%)", runPercent);
  }
  return text;
}

bool MeasureCpuStates(Run *run, const Options &options, std::vector<Row> *rows, bool *allMet) {
  const struct {
    const char *what;
    Feed feed;
  } states[] = {
      {"CPU, 1 Hz summary stream", Feed::kSummary},
      {"CPU, connected, no bytes arriving", Feed::kNone},
      {"CPU, 512 Hz raw wave stream (with the 1 Hz summary packet)", Feed::kRawWave},
  };
  for (const auto &state : states) {
    Progress("%s: %d s", state.what, options.cpuSeconds);
    double percent = 0, runPercent = 0;
    if (!MeasureCpu(run, state.feed, options.cpuSeconds, &percent, &runPercent)) {
      return false;
    }
    const bool met = percent < kCpuTargetPercent;
    *allMet = *allMet && met;
    rows->push_back({Format("%s (%d s)", state.what, options.cpuSeconds),
                     Percent(percent, runPercent), "< 1% of a core", YesNo(met)});
  }
  return true;
}

}  // namespace bench
