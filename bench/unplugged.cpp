// CPU while the device is unplugged: the pseudo-terminal closed and its
// link gone, so the library reopens the port once a second.
#include "bench/measures.h"
#include "testkit/clock.h"

namespace bench {

bool MeasureUnplugged(Run *run, const Options &options, std::vector<Row> *rows, bool *allMet) {
  Progress("CPU, device unplugged: %d s", options.cpuSeconds);
  run->headset.Unplug();
  double percent = 0, runPercent = 0;
  if (!Pump(run, testkit::NowNs() + 1500 * testkit::kMs) ||
      !MeasureCpu(run, Feed::kNone, options.cpuSeconds, &percent, &runPercent)) {
    return false;
  }
  const bool met = percent < kCpuTargetPercent;
  *allMet = *allMet && met;
  rows->push_back({Format("CPU, device unplugged (%d s)", options.cpuSeconds),
                   Percent(percent, runPercent), "< 1% of a core", YesNo(met)});
  return true;
}

}  // namespace bench
