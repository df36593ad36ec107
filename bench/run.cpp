#include "bench/run.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/headset.h"
#include "testkit/clock.h"
#include "tools/packet.h"

namespace bench {

using testkit::kSecond;
using testkit::NowNs;

void Progress(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "nictate-bench: ");
  std::vfprintf(stderr, format, args);
  std::fprintf(stderr, "\n");
  va_end(args);
}

namespace {

void ScanLine(OutputScan *scan) {
  const std::string &line = scan->line;
  const size_t at = line.find("New attention value: ");
  if (at != std::string::npos) {
    ++scan->attentionLines;
    scan->lastAttention = std::strtod(line.c_str() + at + 21, nullptr);
  }
  if (line.compare(0, 6, "ready ") == 0) {
    scan->ready = true;
  }
  if (line.compare(0, 5, "down ") == 0) {
    ++scan->downLines;
    int x = -1, y = -1;
    if (std::sscanf(line.c_str() + 5, "%d %d", &x, &y) != 2 || x != kPointerX || y != kPointerY) {
      scan->downElsewhere = true;
    }
  }
}

// Reads what the process wrote on standard output since the last scan.
void Scan(testkit::Process *process, OutputScan *scan) {
  process->Drain();
  const std::string &out = process->out();
  for (; scan->scanned < out.size(); ++scan->scanned) {
    const char c = out[scan->scanned];
    if (c == '\n') {
      ScanLine(scan);
      scan->line.clear();
      continue;
    }
    // Runs of progress marks can be a megabyte long; their end is enough.
    if (scan->line.size() >= 512) {
      scan->line.erase(0, 256);
    }
    scan->line += c;
  }
}

// The queue, emptied of what was written once all of it was: more bytes
// for the headset go at its end.
testkit::Bytes *QueueTail(Run *run) {
  if (run->queueStart == run->queue.size()) {
    run->queue.clear();
    run->queueStart = 0;
  }
  return &run->queue;
}

// Writes what the pty takes now. False when the headset is gone.
bool WriteQueued(Run *run) {
  while (Queued(*run) > 0) {
    if (run->headset.master() < 0) {
      return false;
    }
    const ssize_t n =
        write(run->headset.master(), run->queue.data() + run->queueStart, Queued(*run));
    if (n > 0) {
      run->queueStart += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return true;
    }
    run->failure = std::string("writing the pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Queues the packets of the stream that are due; returns when the next is.
int64_t FeedDue(Run *run, int64_t now) {
  if (run->feed == Feed::kNone) {
    return INT64_MAX;
  }
  testkit::Bytes *queue = QueueTail(run);
  while (run->nextSummary <= now) {
    testkit::Append(queue, Summary(run->summaryCount++));
    run->nextSummary += kSecond;
  }
  int64_t next = run->nextSummary;
  if (run->feed == Feed::kRawWave) {
    // 512 a second: one every 1953125 ns.
    while (run->nextRaw <= now) {
      testkit::Append(queue, testkit::Raw(RawSample(run->rawCount++)));
      run->nextRaw += kSecond / tools::kRawRate;
    }
    next = std::min(next, run->nextRaw);
  }
  return next;
}

// The left presses the X client has seen since the last look, stamped with
// the moment given.
void HandleXEvents(Run *run, int64_t seen) {
  run->recorder.Drain();
  for (; run->buttonsSeen < run->recorder.buttons.size(); ++run->buttonsSeen) {
    const testkit::Button &b = run->recorder.buttons[run->buttonsSeen];
    if (!b.press || b.button != 1) {
      continue;
    }
    if (b.x != kPointerX || b.y != kPointerY) {
      run->pressElsewhere = true;
    }
    ++run->presses;
    run->lastPressNs = seen;
  }
}

int FdOf(const std::unique_ptr<testkit::Process> &process, int (testkit::Process::*fd)() const) {
  return process != nullptr ? ((*process).*fd)() : -1;
}

}  // namespace

void SetFeed(Run *run, Feed feed) {
  run->feed = feed;
  const int64_t now = NowNs();
  run->nextSummary = now;
  run->nextRaw = now;
}

void QueueBytes(Run *run, const testkit::Bytes &bytes) { testkit::Append(QueueTail(run), bytes); }

size_t Queued(const Run &run) { return run.queue.size() - run.queueStart; }

bool Pump(Run *run, int64_t untilNs, const std::function<bool()> &done) {
  for (;;) {
    if (!run->failure.empty()) {
      return false;
    }
    if (done && done()) {
      return true;
    }
    const int64_t now = NowNs();
    if (now >= untilNs) {
      return !done;
    }
    const int64_t nextFeed = FeedDue(run, now);
    if (!WriteQueued(run)) {
      if (run->failure.empty()) {
        run->failure = "the headset is unplugged";
      }
      return false;
    }
    // What was just written may be what it waits for: no sleep then (the
    // program's output, all marks, may not come for a long while).
    if (done && done()) {
      return true;
    }
    if (run->recorder.display() != nullptr && XQLength(run->recorder.display()) > 0) {
      HandleXEvents(run, now);
      continue;
    }

    using testkit::Process;
    const int fdsOf[] = {run->recorder.fd(),
                         FdOf(run->program, &Process::exitFd),
                         FdOf(run->program, &Process::outFd),
                         FdOf(run->program, &Process::errFd),
                         FdOf(run->windowsObserver, &Process::outFd),
                         FdOf(run->windowsObserver, &Process::exitFd),
                         Queued(*run) > 0 ? run->headset.master() : -1};
    const nfds_t count = sizeof fdsOf / sizeof fdsOf[0];
    struct pollfd fds[count];
    for (nfds_t i = 0; i < count; ++i) {
      fds[i] = {fdsOf[i], static_cast<short>(i == count - 1 ? POLLOUT : POLLIN), 0};
    }
    const int64_t wait = std::max<int64_t>(0, std::min(untilNs, nextFeed) - now);
    struct timespec timeout = {static_cast<time_t>(wait / kSecond),
                               static_cast<long>(wait % kSecond)};
    const int ready = ppoll(fds, count, &timeout, nullptr);
    const int64_t seen = NowNs();
    if (ready < 0 && errno != EINTR) {
      run->failure = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (ready <= 0) {
      continue;
    }
    // The presses first, stamped with the moment poll woke for them.
    if (fds[0].revents != 0) {
      HandleXEvents(run, seen);
    }
    if (fds[4].revents != 0) {
      const uint64_t before = run->observerOut.downLines;
      Scan(run->windowsObserver.get(), &run->observerOut);
      if (run->observerOut.downLines > before) {
        run->presses += run->observerOut.downLines - before;
        run->lastPressNs = seen;
      }
      run->pressElsewhere = run->pressElsewhere || run->observerOut.downElsewhere;
    }
    if (fds[2].revents != 0 || fds[3].revents != 0) {
      Scan(run->program.get(), &run->programOut);
    }
    if (fds[1].revents != 0 && !run->program->Running()) {
      run->failure = "the program under test ended (wait status " +
                     std::to_string(run->program->status()) + ")";
      return false;
    }
    if (fds[5].revents != 0 && !run->windowsObserver->Running()) {
      run->failure = "mouse_observer.exe ended";
      return false;
    }
  }
}

bool Flush(Run *run) {
  return Pump(run, NowNs() + 10 * kSecond, [run] { return Queued(*run) == 0; });
}

bool Connect(Run *run, const testkit::Command &command) {
  SetFeed(run, Feed::kSummary);
  run->program.reset(new testkit::Process(command));
  if (!run->program->started()) {
    run->failure = run->program->error();
    return false;
  }
  Progress("waiting for the connection (the program waits 10 s on the port)");
  const int64_t start = NowNs();
  if (!Pump(run, start + 60 * kSecond, [run] { return run->programOut.attentionLines > 0; })) {
    if (run->failure.empty()) {
      run->failure = "no connection within 60 s";
    }
    return false;
  }
  Progress("connected after %.1f s", testkit::SecondsSince(start));
  return true;
}

}  // namespace bench
