// How a connection reads its port: a read waits in the OS for bytes, dates
// them (thinkgear/arrivals.h), logs them, and paces a dense stream.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "thinkgear/connection.h"

namespace tg {

namespace {

// A dense stream (the raw wave: 512 small packets a second) would wake the
// program for every packet, and a wake-up costs more than the packet (some
// 50 microseconds on a virtual machine, where 512 of them a second took 1.5%
// of a core before a single byte was handled). While packets come faster
// than any 9600-baud line can bring them (kDenseFrames framed within
// kDenseWindowMs: over 300 a second, where 9600 baud carries at most 240 of
// the smallest) and a read finds only a little waiting (less than
// kTrickleBytes, so nothing is backed up), reads are spaced kPaceMs apart and
// each brings some eight packets; a blink in such a stream waits at most
// kPaceMs. A stream at 9600 baud, a summary packet once a second and
// blinks, is read the moment its bytes come.
const int kPaceMs = 16;
const int kDenseWindowMs = 16;
const long kTrickleBytes = 512;
// A read takes up to kReadBytes from the port.
const size_t kReadBytes = 4096;
// When bytes came (thinkgear/arrivals.h). A read waits for bytes in slices
// of kWatchSliceMs: a slice that ends more than kOverrunMs after its time
// was not watched to its end (the process was stopped), so the bytes found
// after it are dated across it, and a stop is found within a slice. After
// kDrainAfterMs not watched, all that waits is read at once (readWaiting,
// which waits kSettleMs for the driver to hand on what it holds, for
// kDrainMs at most). The stream's pace is what came over the last
// kPaceWindowMs or so, once there is a second of it; a time not watched for
// kUnreadNoteMs or more is noted in the data log, and left out of the pace
// (bytes may have been lost in it).
const int kWatchSliceMs = 500;
const int kOverrunMs = 100;
const int64_t kDrainAfterMs = 1000;
const int kSettleMs = 1;
const int64_t kDrainMs = 100;
const double kPaceWindowMs = 10000;
const double kPaceKnownMs = 1000;
const int64_t kUnreadNoteMs = 1000;

}  // namespace

void Connection::startWatching(bool newDevice) {
  stream_.arrivals.reset(StreamTaken(&stream_));
  lookedMs_ = MonotonicMs();
  if (newDevice) {
    paceBytes_ = 0;
    paceMs_ = 0;
  }
}

void Connection::closePort() {
  SerialClose(port_);
  port_ = nullptr;
  bufferStart_ = 0;
  bufferEnd_ = 0;
  lastReadMs_ = 0;
  lastReadBytes_ = 0;
  std::memset(recentFrames_, 0, sizeof recentFrames_);
}

void Connection::paceDenseStream() {
  const int64_t oldest = recentFrames_[recentFrameNext_];
  const int64_t now = MonotonicMs();
  if (oldest == 0 || now - oldest >= kDenseWindowMs || lastReadBytes_ >= kTrickleBytes) {
    return;
  }
  const int64_t wait = lastReadMs_ + kPaceMs - now;
  if (wait > 0) {
    Pause(static_cast<int>(wait));
  }
}

// The bytes that came since the last look are those read into the buffer
// and those still waiting in the port. Watched, the library waited for
// bytes all that time, and they came when the wait woke: now. Otherwise
// they came after the last look, at the stream's pace (all of the time,
// where the pace is not known yet): a device sends without pause, and where
// a stall filled the port's buffer the bytes kept are the first that came.
void Connection::look(int64_t now, bool watched) {
  const uint64_t known = StreamTaken(&stream_) + (bufferEnd_ - bufferStart_) +
                         (port_ != nullptr ? SerialWaiting(port_) : 0);
  const uint64_t end = stream_.arrivals.end();
  const uint64_t came = known > end ? known - end : 0;
  const int64_t from = watched ? now : std::min(lookedMs_, now);
  int64_t to = now;
  if (!watched && came != 0 && paceMs_ >= kPaceKnownMs && paceBytes_ > 0) {
    to = std::min(now, from + static_cast<int64_t>(came * paceMs_ / paceBytes_));
  }
  stream_.arrivals.add(known, from, to);
  if (now - from >= kUnreadNoteMs) {
    if (came != 0) {
      char what[96];
      (void)std::snprintf(what, sizeof what, "not read for %.3f s (%" PRIu64 " bytes waited)",
                          static_cast<double>(now - from) / 1000, came);
      notes_.add(portNote(what));
    }
  } else {
    paceBytes_ += static_cast<double>(came);
    paceMs_ += static_cast<double>(now - lookedMs_);
    if (paceMs_ > 2 * kPaceWindowMs) {
      paceBytes_ /= 2;
      paceMs_ /= 2;
    }
  }
  lookedMs_ = now;
}

// Reads and logs until the buffer is full, a read finds nothing within
// kSettleMs, or kDrainMs have gone (a stream that keeps coming faster is not
// read on for ever): a driver holds up to 64 KB for a terminal, of which the
// port's own count tells only the first few, and hands on the rest as the
// port is read. Returns the bytes read, or kSerialFailed (with *failure)
// where the port failed before any.
long Connection::readWaiting(Failure *failure) {
  long total = 0;
  const int64_t start = MonotonicMs();
  while (bufferEnd_ < kBufferBytes && MonotonicMs() - start < kDrainMs) {
    const long got =
        SerialRead(port_, buffer_ + bufferEnd_, kBufferBytes - bufferEnd_, kSettleMs, failure);
    if (got <= 0) {
      return got < 0 && total == 0 ? got : total;  // a later failure is met by the next read
    }
    LogStreamBytes(&streamLog_, buffer_ + bufferEnd_, static_cast<size_t>(got));
    bufferEnd_ += static_cast<size_t>(got);
    total += got;
  }
  return total;
}

// The bytes read are logged and dated (look). Bytes found waiting after the
// port went unread for kDrainAfterMs came in that time, and so did all the
// driver holds behind them: all of it is read at once, so that it is dated
// across that time too.
long Connection::watchAndRead(int wait, Failure *failure) {
  bufferStart_ = 0;
  bufferEnd_ = 0;
  const int64_t deadline = MonotonicMs() + wait;
  for (;;) {
    const int64_t start = MonotonicMs();
    if (start - lookedMs_ >= kDrainAfterMs && SerialWaiting(port_) > 0) {
      const long got = readWaiting(failure);
      look(MonotonicMs(), false);
      if (got != 0) {
        return got;
      }
    }
    look(start, false);
    const int slice = static_cast<int>(std::max<int64_t>(
        0, std::min<int64_t>(deadline - start, static_cast<int64_t>(kWatchSliceMs))));
    const long got = SerialRead(port_, buffer_, kReadBytes, slice, failure);
    if (got < 0) {
      return got;
    }
    bufferEnd_ = static_cast<size_t>(got);
    LogStreamBytes(&streamLog_, buffer_, bufferEnd_);
    const int64_t now = MonotonicMs();
    look(now, now - start <= slice + kOverrunMs);
    if (got > 0 || now >= deadline) {
      return got;
    }
  }
}

// What arrived ends where the bytes framed, those in the buffer and, where
// it filled, those still in the port end.
uint64_t Connection::takeArrived() {
  if (port_ == nullptr) {
    return StreamTaken(&stream_) + (bufferEnd_ - bufferStart_);
  }
  std::memmove(buffer_, buffer_ + bufferStart_, bufferEnd_ - bufferStart_);
  bufferEnd_ -= bufferStart_;
  bufferStart_ = 0;
  look(MonotonicMs(), false);
  Failure ignored;
  (void)readWaiting(&ignored);  // a failure is met again by the next read
  look(MonotonicMs(), true);
  const uint64_t arrived = StreamTaken(&stream_) + bufferEnd_;
  return bufferEnd_ < kBufferBytes ? arrived : arrived + SerialWaiting(port_);
}

int Connection::frameBuffered(int wanted) {
  size_t used = 0;
  const int packets =
      StreamFeed(&stream_, buffer_ + bufferStart_, bufferEnd_ - bufferStart_, wanted, &used);
  bufferStart_ += used;
  const int64_t now = packets > 0 ? MonotonicMs() : 0;
  for (int i = 0; i < packets; ++i) {
    recentFrames_[recentFrameNext_] = now;
    recentFrameNext_ = (recentFrameNext_ + 1) % kDenseFrames;
  }
  return packets;
}

}  // namespace tg
