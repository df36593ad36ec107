// One run of a program under test (nictate, or nictate.exe under Wine) and
// everything the benchmark waits on in one poll loop: the headset it feeds
// (a summary packet a second, the 512 Hz raw wave, or nothing), the program's
// output, and the presses it makes, seen by an X client or by
// mouse_observer.exe.
#ifndef NICTATE_BENCH_RUN_H
#define NICTATE_BENCH_RUN_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testkit/packets.h"
#include "testkit/process.h"
#include "testkit/pty_headset.h"
#include "testkit/recorder.h"

namespace bench {

const int kScreenWidth = 1920;
const int kScreenHeight = 1080;
const int kPointerX = 733;  // where the clicks land
const int kPointerY = 411;

// Progress, on standard error.
void Progress(const char *format, ...) __attribute__((format(printf, 1, 2)));

// What a program under test writes: its value lines, scanned as they come.
struct OutputScan {
  size_t scanned = 0;  // of the program's output
  std::string line;    // the end of the current line
  uint64_t attentionLines = 0;
  double lastAttention = -1;
  bool ready = false;      // mouse_observer.exe's "ready ..." line
  uint64_t downLines = 0;  // mouse_observer.exe's "down X Y ..." lines
  bool downElsewhere = false;
};

enum class Feed { kNone, kSummary, kRawWave };

struct Run {
  testkit::Recorder recorder;  // the native run's X client
  testkit::PtyHeadset headset;
  std::unique_ptr<testkit::Process> program;          // nictate or nictate.exe under Wine
  std::unique_ptr<testkit::Process> windowsObserver;  // mouse_observer.exe (the Wine row only)
  OutputScan programOut;
  OutputScan observerOut;

  Feed feed = Feed::kNone;
  int64_t nextSummary = 0;
  int64_t nextRaw = 0;
  uint32_t summaryCount = 0;
  uint32_t rawCount = 0;
  testkit::Bytes queue;  // bytes for the headset not yet written
  size_t queueStart = 0;

  size_t buttonsSeen = 0;
  uint64_t presses = 0;  // left presses seen by the X client, or by mouse_observer.exe
  int64_t lastPressNs = 0;
  std::vector<int64_t> blinkWrites;  // when each timed blink went in
  bool pressElsewhere = false;
  std::string failure;
};

// Starts the feed anew.
void SetFeed(Run *run, Feed feed);
// More bytes for the headset, written as the pseudo-terminal takes them.
void QueueBytes(Run *run, const testkit::Bytes &bytes);
size_t Queued(const Run &run);

// Runs the loop until done() holds or the clock reaches untilNs; returns
// done()'s last answer (true at the deadline when there is no done()).
// Fails, setting run->failure, when the program under test ends.
bool Pump(Run *run, int64_t untilNs, const std::function<bool()> &done = nullptr);
// Waits until every queued byte is in the pseudo-terminal.
bool Flush(Run *run);

// Starts the program (its output captured) and waits for the connection:
// the summary stream runs, and the first attention line says the blink loop
// has begun.
bool Connect(Run *run, const testkit::Command &command);

}  // namespace bench

#endif
