// Blink-to-click latency: a blink packet written into the pseudo-terminal
// (its write the start) to the press seen by the X client, or by
// mouse_observer.exe under Wine.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>

#include "bench/measures.h"
#include "testkit/clock.h"
#include "testkit/files.h"

namespace bench {

using testkit::kMs;
using testkit::kSecond;
using testkit::NowNs;

namespace {

// The CPUs' time the host took from this machine (steal) and all their
// time, in clock ticks, from /proc/stat; false where it cannot be read.
bool StealTicks(long long *steal, long long *total) {
  long long v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  if (std::sscanf(testkit::ReadFile("/proc/stat").c_str(),
                  "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &v[0], &v[1], &v[2], &v[3], &v[4],
                  &v[5], &v[6], &v[7]) != 8) {
    return false;
  }
  *steal = v[7];
  *total = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
  return true;
}

// Each blink's write time (seconds) and latency (microseconds), a line each.
void WriteSamples(const Run &run, const std::vector<int64_t> &latencies, const std::string &path) {
  std::FILE *f = std::fopen(path.c_str(), "w");
  bool written = f != nullptr;
  for (size_t i = 0; written && i < latencies.size(); ++i) {
    written = std::fprintf(f, "%.6f %.1f\n", static_cast<double>(run.blinkWrites[i]) / kSecond,
                           static_cast<double>(latencies[i]) / 1000) > 0;
  }
  if (f != nullptr && std::fclose(f) != 0) {
    written = false;
  }
  if (!written) {
    Progress("cannot write the samples to %s: %s", path.c_str(), std::strerror(errno));
  }
}

}  // namespace

std::vector<int64_t> MeasureBlinks(Run *run, int blinks, int *lost, uint64_t *extra,
                                   double *stealPercent) {
  long long steal0 = 0, total0 = 0, steal1 = 0, total1 = 0;
  const bool haveSteal0 = StealTicks(&steal0, &total0);
  std::vector<int64_t> latencies;
  std::mt19937 random(7);
  std::uniform_int_distribution<int> gapMs(25, 60);
  std::uniform_int_distribution<int> strength(20, 200);
  *lost = 0;
  const uint64_t pressesAtStart = run->presses;
  for (int i = 0; i < blinks; ++i) {
    // A pause between blinks, at times unrelated to the summary packets.
    if (!Pump(run, NowNs() + gapMs(random) * kMs) || !Flush(run)) {
      break;
    }
    const testkit::Bytes packet = testkit::Blink(strength(random));
    const uint64_t before = run->presses;
    const int64_t written = NowNs();
    const ssize_t n = write(run->headset.master(), packet.data(), packet.size());
    if (n != static_cast<ssize_t>(packet.size())) {
      run->failure = "the blink packet did not go into the pseudo-terminal in one write";
      break;
    }
    if (Pump(run, written + 2 * kSecond, [&] { return run->presses > before; })) {
      latencies.push_back(run->lastPressNs - written);
      run->blinkWrites.push_back(written);
    } else if (run->failure.empty()) {
      ++*lost;
    } else {
      break;
    }
  }
  // Any click that comes late or twice shows up here.
  (void)Pump(run, NowNs() + 300 * kMs);
  const uint64_t presses = run->presses - pressesAtStart;
  *extra = presses > latencies.size() ? presses - latencies.size() : 0;
  *stealPercent = -1;
  if (haveSteal0 && StealTicks(&steal1, &total1) && total1 > total0) {
    *stealPercent = 100.0 * static_cast<double>(steal1 - steal0) / (total1 - total0);
  }
  return latencies;
}

std::string LatencyText(const Percentiles &p, size_t measured, int asked, int lost, uint64_t extra,
                        double stealPercent) {
  std::string text = Format("p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu of %d blinks clicked",
                            p.p50, p.p99, p.max, measured, asked);
  if (lost != 0) {
    text += Format(", %d lost", lost);
  }
  if (extra != 0) {
    text += Format(", %" PRIu64 " extra presses", extra);
  }
  if (stealPercent >= 0) {
    text += Format("; the host took %.1f%% of the CPUs' time meanwhile", stealPercent);
  }
  return text + ")";
}

bool MeasureLatency(Run *run, const Options &options, std::vector<Row> *rows, bool *allMet) {
  Progress("%d blinks", options.blinks);
  int lost = 0;
  uint64_t extra = 0;
  double steal = -1;
  const std::vector<int64_t> latencies = MeasureBlinks(run, options.blinks, &lost, &extra, &steal);
  const Percentiles latency = Summarize(latencies);
  if (!options.samples.empty()) {
    WriteSamples(*run, latencies, options.samples);
  }
  const bool ok = run->failure.empty();
  const bool met = ok && lost == 0 && extra == 0 && !run->pressElsewhere &&
                   static_cast<int>(latencies.size()) == options.blinks &&
                   latency.p99 <= kLatencyP99TargetMs;
  *allMet = *allMet && met;
  std::string text = LatencyText(latency, latencies.size(), options.blinks, lost, extra, steal);
  if (run->pressElsewhere) {
    text += "; a press landed away from the pointer";
  }
  rows->push_back({"Blink-to-click latency, native Linux (nictate, Xvfb)",
                   ok ? text : "failed: " + run->failure,
                   Format("p99 <= %.0f ms, every blink one click", kLatencyP99TargetMs),
                   YesNo(met)});
  return ok;
}

bool MeasureXdotool(Run *run, const Options &options, const std::string &display,
                    std::vector<Row> *rows) {
  Progress("%d xdotool clicks", options.xdotoolClicks);
  std::vector<int64_t> spawnToPress;
  std::mt19937 random(11);
  std::uniform_int_distribution<int> gapMs(10, 30);
  std::string xdotoolError;
  bool ok = true;
  for (int i = 0; i < options.xdotoolClicks && ok; ++i) {
    ok = Pump(run, NowNs() + gapMs(random) * kMs);
    testkit::Command command;
    command.argv = {options.xdotool, "click", "1"};
    command.env = {"DISPLAY=" + display};
    const uint64_t before = run->presses;
    const int64_t spawned = NowNs();
    testkit::Process xdotool(command);
    if (!xdotool.started()) {
      xdotoolError = xdotool.error();
      break;
    }
    if (Pump(run, spawned + 5 * kSecond, [&] { return run->presses > before; })) {
      spawnToPress.push_back(run->lastPressNs - spawned);
    }
    ok = run->failure.empty();
    (void)testkit::WaitExit(&xdotool, 5);
  }
  std::string text;
  if (!xdotoolError.empty()) {
    text = "not measured: " + xdotoolError;
  } else {
    const Percentiles p = Summarize(spawnToPress);
    text = Format("p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu of %d clicks seen)", p.p50, p.p99,
                  p.max, spawnToPress.size(), options.xdotoolClicks);
  }
  rows->push_back(
      {"One `xdotool click 1` process per click (spawn to press seen)", text, "reference", ""});
  return ok;
}

bool MeasureRawWaveLatency(Run *run, const Options &options, std::vector<Row> *rows) {
  // The library spaces its reads of a dense stream.
  Progress("%d blinks during the raw wave stream", options.rawBlinks);
  SetFeed(run, Feed::kRawWave);
  int lost = 0;
  uint64_t extra = 0;
  double steal = -1;
  const std::vector<int64_t> latencies =
      MeasureBlinks(run, options.rawBlinks, &lost, &extra, &steal);
  if (!run->failure.empty()) {
    return false;
  }
  rows->push_back(
      {"Blink-to-click latency during the 512 Hz raw wave stream",
       LatencyText(Summarize(latencies), latencies.size(), options.rawBlinks, lost, extra, steal),
       "reference: the library spaces the reads of a dense stream 16 ms apart", ""});
  return true;
}

}  // namespace bench
