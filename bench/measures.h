// The measurements of nictate-bench (main.cpp runs them), each on a run
// connected to the program under test. Each appends its table rows and
// returns false when a measurement failed, the reason in run->failure; a
// missed target turns *allMet false.
#ifndef NICTATE_BENCH_MEASURES_H
#define NICTATE_BENCH_MEASURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "bench/run.h"
#include "bench/statistics.h"

namespace bench {

struct Options {
  std::string nictate;
  std::string xdotool = "xdotool";
  int blinks = 500;
  int wineBlinks = 250;
  int rawBlinks = 100;
  int xdotoolClicks = 200;
  int cpuSeconds = 30;
  long packets = 1000000;
  std::string winBuild;  // the Wine row needs all three
  std::string winePrefix;
  std::string wineDisplay;
  std::string samples;    // where to write each blink: its write time (s) and latency (µs)
  bool wineOnly = false;  // measure the Windows build alone
};

// Targets.
const double kLatencyP99TargetMs = 2.0;
const double kCpuTargetPercent = 1.0;
const long kPeakRssTargetKiB = 8000000 / 1024;  // 8 MB

// latency.cpp: blinks written while the feed runs, each one's way to the
// press; *lost counts blinks that brought no press, *extra presses without
// a blink, *stealPercent the host's share of the CPUs meanwhile (-1: not
// known). Then the rows: blink to click natively, samples and all; the
// shell's way, one xdotool process per click; blinks in the raw wave.
std::vector<int64_t> MeasureBlinks(Run *run, int blinks, int *lost, uint64_t *extra,
                                   double *stealPercent);
std::string LatencyText(const Percentiles &p, size_t measured, int asked, int lost, uint64_t extra,
                        double stealPercent);
bool MeasureLatency(Run *run, const Options &options, std::vector<Row> *rows, bool *allMet);
bool MeasureXdotool(Run *run, const Options &options, const std::string &display,
                    std::vector<Row> *rows);
bool MeasureRawWaveLatency(Run *run, const Options &options, std::vector<Row> *rows);

// cpu.cpp: the program's share of one core over some seconds of a feed,
// from utime+stime and from the scheduler's run time (-1: not known); the
// rows of the three connected states.
bool MeasureCpu(Run *run, Feed feed, int seconds, double *percent, double *runPercent);
std::string Percent(double percent, double runPercent);
bool MeasureCpuStates(Run *run, const Options &options, std::vector<Row> *rows, bool *allMet);

// unplugged.cpp: CPU while the device is away.
bool MeasureUnplugged(Run *run, const Options &options, std::vector<Row> *rows, bool *allMet);

// memory.cpp: a million packets fed as fast as the program takes them, and
// the rows of its resident size then.
struct Memory {
  long rssBefore = -1;
  long rssAfter = -1;
  double feedSeconds = 0;
};
bool FeedPackets(Run *run, const Options &options, Memory *memory);
void MemoryRows(Run *run, const Options &options, const Memory &memory, std::vector<Row> *rows,
                bool *allMet);

// native.cpp: the native run, every measurement above in turn.
bool RunNative(const Options &options, std::vector<Row> *rows, bool *allMet);

// wine.cpp: the Windows build under Wine, in a session made by the caller.
Row RunWine(const Options &options);

}  // namespace bench

#endif
