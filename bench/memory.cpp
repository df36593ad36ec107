// Memory: the program's anonymous resident size (its heap and stack, where a
// leak would show) before and after a million packets fed as fast as it
// takes them, and its peak resident size over the whole run. Pages of the
// program's own files (its code) are left out of the growth: a path of code
// run for the first time maps a page of it, and that is no leak.
#include <cstdlib>

#include "bench/headset.h"
#include "bench/measures.h"
#include "testkit/clock.h"
#include "testkit/files.h"

namespace bench {

namespace {

// A "Name:   1234 kB" field of /proc/PID/status (VmRSS, VmHWM), in KiB, or
// -1.
long StatusKiB(pid_t pid, const char *name) {
  const std::string status = testkit::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::string key = "\n" + std::string(name) + ":";
  const size_t at = status.find(key);
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace

bool FeedPackets(Run *run, const Options &options, Memory *memory) {
  Progress("%ld packets", options.packets);
  SetFeed(run, Feed::kNone);
  bool ok = Flush(run) && Pump(run, testkit::NowNs() + 300 * testkit::kMs);
  uint32_t sample = 0;
  // Writes `count` raw packets as fast as nictate takes them, then an
  // attention packet, whose line says the program took them all.
  auto feed = [&](long count) {
    for (long sent = 0; ok && sent < count;) {
      testkit::Bytes chunk;
      for (const long end = std::min(sent + 1024, count); sent < end; ++sent) {
        testkit::Append(&chunk, testkit::Raw(RawSample(sample++)));
      }
      QueueBytes(run, chunk);
      // Keep a little ahead of the pseudo-terminal, no more.
      ok = Pump(run, testkit::NowNs() + 30 * testkit::kSecond,
                [run] { return Queued(*run) < 16384; });
    }
    const uint64_t attentionBefore = run->programOut.attentionLines;
    QueueBytes(run, testkit::Attention(99));
    ok = ok && Pump(run, testkit::NowNs() + 120 * testkit::kSecond, [run, attentionBefore] {
           return run->programOut.attentionLines > attentionBefore &&
                  run->programOut.lastAttention == 99.0;
         });
  };
  // A tenth as many first, so that what the first fast stream touches once
  // (a page of stack or buffer) is there before the measure.
  feed(options.packets / 10);
  memory->rssBefore = StatusKiB(run->program->pid(), "RssAnon");
  const int64_t start = testkit::NowNs();
  feed(options.packets);
  memory->feedSeconds = testkit::SecondsSince(start);
  memory->rssAfter = StatusKiB(run->program->pid(), "RssAnon");
  if (!ok && run->failure.empty()) {
    run->failure = "nictate did not take the packets";
  }
  return ok;
}

void MemoryRows(Run *run, const Options &options, const Memory &memory, std::vector<Row> *rows,
                bool *allMet) {
  const long peak = StatusKiB(run->program->pid(), "VmHWM");
  const bool peakMet = peak > 0 && peak < kPeakRssTargetKiB;
  const long growth = memory.rssAfter - memory.rssBefore;
  const bool growthMet = memory.rssBefore > 0 && memory.rssAfter > 0 && growth <= 0;
  *allMet = *allMet && peakMet && growthMet;
  rows->push_back({"Peak resident size of nictate (VmHWM, whole run)",
                   Format("%.2f MB (%ld KiB)", peak * 1024.0 / 1e6, peak), "< 8 MB",
                   YesNo(peakMet)});
  rows->push_back({Format("Heap and stack growth over %ld packets (RssAnon)", options.packets),
                   Format("%+ld KiB (%ld KiB before, %ld KiB after; taken in %.1f s, %.0f "
                          "packets/s)",
                          growth, memory.rssBefore, memory.rssAfter, memory.feedSeconds,
                          static_cast<double>(options.packets) / memory.feedSeconds),
                   "no growth", YesNo(growthMet)});
}

}  // namespace bench
