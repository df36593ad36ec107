#include "tools/sim/schedule.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/posix_time.h"
#include "tools/sim/say.h"

namespace sim {

namespace {

enum EventKind {
  kEventEnd,
  kEventUnplug,
  kEventPlugIn,
  kEventSummary,
  kEventBlink,
  kEventGarbage,
  kEventRaw,
  kEventReplay,
  kEventCount,
};

const int64_t kNever = INT64_MAX;

struct Schedule {
  int64_t due[kEventCount];
  int64_t summaryIndex = 0;
  int64_t rawIndex = 0;
  int64_t garbageIndex = 0;
  int64_t everyIndex = 1;
  size_t blinkAtIndex = 0;
  size_t unplugIndex = 0;
  size_t replayIndex = 0;
  int64_t replayStart = 0;  // the log's first time, in microseconds
  // A replay loses no byte: while the port holds bytes nobody has read, it
  // waits, and the rest of the log is sent that much later.
  int64_t replayDelay = 0;
  int64_t replayWaitingSince = -1;
};

int64_t NextBlink(const Options &options, const Schedule &schedule) {
  int64_t next = kNever;
  if (options.blinkEvery != 0) {
    next = options.blinkEvery * schedule.everyIndex;
  }
  if (schedule.blinkAtIndex < options.blinkAt.size()) {
    next = std::min(next, options.blinkAt[schedule.blinkAtIndex]);
  }
  return next;
}

int64_t NextReplay(const Stream &stream, const Schedule &schedule) {
  if (schedule.replayIndex >= stream.replay.size()) {
    return kNever;
  }
  // Log times come from the wall clock; one that went back is sent at once,
  // and one too far ahead to count in nanoseconds (some 290 years) never.
  const int64_t micros =
      std::max<int64_t>(0, stream.replay[schedule.replayIndex].micros - schedule.replayStart);
  if (micros > (kNever - schedule.replayDelay) / 1000) {
    return kNever;
  }
  return micros * 1000 + schedule.replayDelay;
}

void StartSchedule(const Stream &stream, Schedule *schedule) {
  const Options &options = *stream.options;
  for (int64_t &due : schedule->due) {
    due = kNever;
  }
  schedule->due[kEventEnd] = options.seconds != 0 ? options.seconds : kNever;
  if (!options.unplugs.empty()) {
    schedule->due[kEventUnplug] = options.unplugs[0].at;
  }
  if (!options.replay.empty()) {
    schedule->replayStart = stream.replay.front().micros;
    schedule->due[kEventReplay] = NextReplay(stream, *schedule);
  } else if (!options.silent) {
    schedule->due[kEventSummary] = 0;
    schedule->due[kEventBlink] = NextBlink(options, *schedule);
    if (options.garbage) {
      schedule->due[kEventGarbage] = kSecond / 2;
    }
    if (options.raw || WaveActive(stream.wave)) {
      schedule->due[kEventRaw] = 0;
    }
  }
}

// Handles one due event and schedules its next one. False to stop.
bool RunEvent(Stream *stream, Schedule *schedule, EventKind kind, int64_t now) {
  const Options &options = *stream->options;
  Port *port = stream->port;
  switch (kind) {
    case kEventEnd:
      return false;
    case kEventUnplug: {
      const Unplug &unplug = options.unplugs[schedule->unplugIndex];
      UnplugPort(port);
      schedule->due[kEventUnplug] = kNever;
      schedule->due[kEventPlugIn] = unplug.at + unplug.gap;
      break;
    }
    case kEventPlugIn:
      schedule->due[kEventPlugIn] = kNever;
      if (!PlugInPort(port)) {
        port->failed = true;
        return false;
      }
      if (++schedule->unplugIndex < options.unplugs.size()) {
        schedule->due[kEventUnplug] = options.unplugs[schedule->unplugIndex].at;
      }
      break;
    case kEventSummary:
      if (options.garbage) {
        SendNoise(stream);
      }
      SendSummary(stream);
      schedule->due[kEventSummary] = ++schedule->summaryIndex * kSecond;
      break;
    case kEventBlink:
      // A time given twice, or by both options, blinks twice.
      if (schedule->blinkAtIndex < options.blinkAt.size() &&
          options.blinkAt[schedule->blinkAtIndex] == schedule->due[kEventBlink]) {
        ++schedule->blinkAtIndex;
      } else {
        ++schedule->everyIndex;
      }
      if (options.garbage) {
        SendNoise(stream);
      }
      SendBlink(stream);
      schedule->due[kEventBlink] = NextBlink(options, *schedule);
      break;
    case kEventGarbage:
      SendNoise(stream);
      if (schedule->garbageIndex % 2 == 1) {
        SendCorruptBlink(stream);
        SendNoise(stream);
      }
      schedule->due[kEventGarbage] = ++schedule->garbageIndex * kSecond + kSecond / 2;
      break;
    case kEventRaw:
      SendRaw(stream, schedule->rawIndex);
      ++schedule->rawIndex;
      schedule->due[kEventRaw] = schedule->rawIndex * kSecond / tools::kRawRate;
      break;
    case kEventReplay:
      FlushPending(port);
      if (!port->pending.empty()) {
        schedule->replayWaitingSince = now;
        schedule->due[kEventReplay] = kNever;
        break;
      }
      SendReplayChunk(stream, stream->replay[schedule->replayIndex]);
      ++schedule->replayIndex;
      schedule->due[kEventReplay] = NextReplay(*stream, *schedule);
      break;
    case kEventCount:
      break;
  }
  return !port->failed;
}

}  // namespace

void Run(Stream *stream, Keyboard *keyboard, const volatile sig_atomic_t *stopSignal, int wakeFd) {
  Schedule schedule;
  StartSchedule(*stream, &schedule);
  const int64_t start = nictate::MonotonicNs();
  for (;;) {
    if (*stopSignal != 0) {
      return;
    }
    const int64_t now = nictate::MonotonicNs() - start;
    // Every event that is due, earliest first.
    for (;;) {
      int next = -1;
      for (int kind = 0; kind < kEventCount; ++kind) {
        if (schedule.due[kind] <= now && (next < 0 || schedule.due[kind] < schedule.due[next])) {
          next = kind;
        }
      }
      if (next < 0) {
        break;
      }
      if (!RunEvent(stream, &schedule, static_cast<EventKind>(next), now)) {
        FlushSaid();
        return;
      }
    }
    FlushSaid();

    int64_t wake = kNever;
    for (int64_t due : schedule.due) {
      wake = std::min(wake, due);
    }
    struct pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {wakeFd, POLLIN, 0};
    if (keyboard->active) {
      fds[count++] = {STDIN_FILENO, POLLIN, 0};
    }
    if (!stream->port->pending.empty() && stream->port->master >= 0) {
      fds[count++] = {stream->port->master, POLLOUT, 0};
    }
    struct timespec timeout;
    struct timespec *timeoutPointer = nullptr;
    if (wake != kNever) {
      const int64_t left = std::max<int64_t>(0, wake - (nictate::MonotonicNs() - start));
      timeout.tv_sec = static_cast<time_t>(left / kSecond);
      timeout.tv_nsec = static_cast<long>(left % kSecond);
      timeoutPointer = &timeout;
    }
    const int ready = ppoll(fds, count, timeoutPointer, nullptr);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "%s: poll: %s\n", kName, std::strerror(errno));
      stream->port->failed = true;
      return;
    }
    for (nfds_t i = 1; ready > 0 && i < count; ++i) {
      if (fds[i].fd == STDIN_FILENO && fds[i].revents != 0) {
        for (int keys = ReadKeys(keyboard); keys > 0; --keys) {
          SendBlink(stream);
        }
      } else if (fds[i].fd == stream->port->master && fds[i].revents != 0) {
        FlushPending(stream->port);
      }
    }
    if (schedule.replayWaitingSince >= 0 && stream->port->pending.empty()) {
      schedule.replayDelay += nictate::MonotonicNs() - start - schedule.replayWaitingSince;
      schedule.replayWaitingSince = -1;
      schedule.due[kEventReplay] = NextReplay(*stream, schedule);
    }
  }
}

}  // namespace sim
