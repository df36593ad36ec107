// The device library's public operations.
#include "link/thinkgear.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "thinkgear/port_name.h"
#include "thinkgear/registry.h"

#ifndef THINKGEAR_VERSION
#define THINKGEAR_VERSION 0
#endif

namespace {

using tg::Connection;

// A read gives up when no byte has come for this long, and a call returns
// within kReadLimitMs even while bytes keep coming without a whole packet.
const int kReadTimeoutMs = 2000;
const int kReadLimitMs = 5000;
// While the device is away, each read tries to reopen its port once and
// waits this long before it reports the failure.
const int kReopenPauseMs = 1000;
// A dense stream (the raw wave: 512 small packets a second) would wake the
// program for every packet, and a wake-up costs more than the packet (some
// 50 microseconds on a virtual machine, where 512 of them a second took 1.5%
// of a core before a single byte was handled). While packets come faster
// than any 9600-baud line can bring them (kDenseFrames framed within
// kDenseWindowMs: over 300 a second, where 9600 baud carries at most 240 of
// the smallest) and a read finds only a little waiting (less than
// kTrickleBytes, so nothing is backed up), reads are spaced kPaceMs apart and
// each brings some eight packets; a blink in such a stream waits at most
// kPaceMs. A stream at 9600 baud, a summary packet once a second and blinks, is read
// the moment its bytes come.
const int kPaceMs = 16;
const int kDenseWindowMs = 16;
const long kTrickleBytes = 512;
// A read takes up to kReadBytes from the port. The buffer holds more: when
// blink detection is switched on, all that has come already is read into
// it at once (a driver holds up to 64 KB for a terminal, of which the
// port's own count tells only the first few).
const size_t kReadBytes = 4096;
const size_t kBufferBytes = 80 * 1024;
// When bytes came (thinkgear/arrivals.h). A read waits for bytes in slices
// of kWatchSliceMs: a slice that ends more than kOverrunMs after its time
// was not watched to its end (the process was stopped), so the bytes found
// after it are dated across it, and a stop is found within a slice. After
// kDrainAfterMs not watched, all that waits is read at once (ReadWaiting,
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

bool ValidBaud(int baud) {
  switch (baud) {
    case TG_BAUD_1200:
    case TG_BAUD_2400:
    case TG_BAUD_4800:
    case TG_BAUD_9600:
    case TG_BAUD_57600:
    case TG_BAUD_115200:
      return true;
    default:
      return false;
  }
}

// The port was opened, or opened again: what comes from now on is dated
// from now.
void StartWatching(Connection *c, bool newDevice) {
  c->stream.arrivals.reset(c->stream.taken);
  c->lookedMs = tg::MonotonicMs();
  if (newDevice) {
    c->paceBytes = 0;
    c->paceMs = 0;
  }
}

void ClosePort(Connection *c) {
  tg::SerialClose(c->port);
  c->port = nullptr;
  c->bufferStart = 0;
  c->bufferEnd = 0;
  c->lastReadMs = 0;
  c->lastReadBytes = 0;
  std::memset(c->recentFrames, 0, sizeof c->recentFrames);
}

// Before a read: spaces the reads of a dense stream kPaceMs apart.
void PaceDenseStream(Connection *c) {
  const int64_t oldest = c->recentFrames[c->recentFrameNext];
  const int64_t now = tg::MonotonicMs();
  if (oldest == 0 || now - oldest >= kDenseWindowMs || c->lastReadBytes >= kTrickleBytes) {
    return;
  }
  const int64_t wait = c->lastReadMs + kPaceMs - now;
  if (wait > 0) {
    tg::Pause(static_cast<int>(wait));
  }
}

// The data log's name of a port: "COMn" for a COM port's name, else the
// name as given.
std::string PortLabel(const char *name) {
  const int number = tg::ComNumber(name);
  return number >= 0 ? "COM" + std::to_string(number) : std::string(name);
}

// What became of a port, for the data log: "COM3 = /dev/rfcomm0: opened";
// without " = <path>" where the name is the device or led to none.
std::string PortNote(const char *name, const std::string &path, const std::string &what) {
  const std::string label = PortLabel(name);
  if (path.empty() || path == name) {
    return label + ": " + what;
  }
  return label + " = " + path + ": " + what;
}

// Writes a note into the data log, or keeps it (the last kHeldNotes) until
// one is named.
void Note(Connection *c, const std::string &text) {
  const std::string line = tg::NoteLine(text);
  if (c->dataLog.file != nullptr) {
    tg::LogLine(&c->dataLog, line);
    return;
  }
  if (line.empty()) {
    return;
  }
  if (c->heldNotes.size() >= tg::kHeldNotes) {
    c->heldNotes.erase(c->heldNotes.begin());
  }
  c->heldNotes.push_back(line);
}

// While the device is away: a note only when it says something new, not
// one at every read.
void NoteAway(Connection *c, const std::string &text) {
  if (text != c->awayNote) {
    Note(c, text);
    c->awayNote = text;
  }
}

// The port of a connection whose device was away has opened again.
void NoteReopened(Connection *c) {
  Note(c, PortNote(c->portName.c_str(), c->device.path, "opened"));
  c->awayNote.clear();
}

// Looks at the port at `now` and dates the bytes that came since the last
// look (those read into the buffer and those still waiting in the port).
// Watched, the library waited for bytes all that time, and they came when
// the wait woke: now. Otherwise they came after the last look, at the
// stream's pace (all of the time, where the pace is not known yet): a
// device sends without pause, and where a stall filled the port's buffer the
// bytes kept are the first that came.
void Look(Connection *c, int64_t now, bool watched) {
  const uint64_t known = c->stream.taken + (c->bufferEnd - c->bufferStart) +
                         (c->port != nullptr ? tg::SerialWaiting(c->port) : 0);
  const uint64_t end = c->stream.arrivals.end();
  const uint64_t came = known > end ? known - end : 0;
  const int64_t from = watched ? now : std::min(c->lookedMs, now);
  int64_t to = now;
  if (!watched && came != 0 && c->paceMs >= kPaceKnownMs && c->paceBytes > 0) {
    to = std::min(now, from + static_cast<int64_t>(came * c->paceMs / c->paceBytes));
  }
  c->stream.arrivals.add(known, from, to);
  if (now - from >= kUnreadNoteMs) {
    if (came != 0) {
      char what[96];
      (void)std::snprintf(what, sizeof what, "not read for %.3f s (%" PRIu64 " bytes waited)",
                          static_cast<double>(now - from) / 1000, came);
      Note(c, PortNote(c->portName.c_str(), c->device.path, what));
    }
  } else {
    c->paceBytes += static_cast<double>(came);
    c->paceMs += static_cast<double>(now - c->lookedMs);
    if (c->paceMs > 2 * kPaceWindowMs) {
      c->paceBytes /= 2;
      c->paceMs /= 2;
    }
  }
  c->lookedMs = now;
}

// Reads into the buffer, after what it holds, and logs every byte that has
// come and not been read yet, until the buffer is full, a read finds
// nothing within kSettleMs, or kDrainMs have gone (a stream that keeps
// coming faster is not read on for ever): a driver holds up to 64 KB for a
// terminal, of which the port's own count tells only the first few, and
// hands on the rest as the port is read. Returns the bytes read, or -1
// (with *failure) where the port failed before any.
long ReadWaiting(Connection *c, tg::Failure *failure) {
  long total = 0;
  const int64_t start = tg::MonotonicMs();
  while (c->bufferEnd < kBufferBytes && tg::MonotonicMs() - start < kDrainMs) {
    const long got = tg::SerialRead(c->port, c->buffer + c->bufferEnd, kBufferBytes - c->bufferEnd,
                                    kSettleMs, failure);
    if (got <= 0) {
      return got < 0 && total == 0 ? got : total;  // a later failure is met by the next read
    }
    tg::LogStreamBytes(&c->streamLog, c->buffer + c->bufferEnd, static_cast<size_t>(got));
    c->bufferEnd += static_cast<size_t>(got);
    total += got;
  }
  return total;
}

// Waits up to `wait` ms for bytes and reads them into the empty buffer,
// logging and dating them (Look); results as SerialRead's. Bytes found
// waiting after the port went unread for kDrainAfterMs came in that time,
// and so did all the driver holds behind them: all of it is read at once,
// so that it is dated across that time too.
long WatchAndRead(Connection *c, int wait, tg::Failure *failure) {
  c->bufferStart = 0;
  c->bufferEnd = 0;
  const int64_t deadline = tg::MonotonicMs() + wait;
  for (;;) {
    const int64_t start = tg::MonotonicMs();
    if (start - c->lookedMs >= kDrainAfterMs && tg::SerialWaiting(c->port) > 0) {
      const long got = ReadWaiting(c, failure);
      Look(c, tg::MonotonicMs(), false);
      if (got != 0) {
        return got;
      }
    }
    Look(c, start, false);
    const int slice = static_cast<int>(std::max<int64_t>(
        0, std::min<int64_t>(deadline - start, static_cast<int64_t>(kWatchSliceMs))));
    const long got = tg::SerialRead(c->port, c->buffer, kReadBytes, slice, failure);
    if (got < 0) {
      return got;
    }
    c->bufferEnd = static_cast<size_t>(got);
    tg::LogStreamBytes(&c->streamLog, c->buffer, c->bufferEnd);
    const int64_t now = tg::MonotonicMs();
    Look(c, now, now - start <= slice + kOverrunMs);
    if (got > 0 || now >= deadline) {
      return got;
    }
  }
}

int SetLog(int connectionId, const char *filename, bool stream) {
  tg::HeldConnection held(connectionId);
  Connection *c = held.get();
  if (c == nullptr || filename == nullptr || filename[0] == '\0') {
    return TG_LOG_INVALID_ARGUMENT;
  }
  tg::Failure failure;
  if (!tg::LogOpen(stream ? &c->streamLog : &c->dataLog, filename, &failure)) {
    Note(c, std::string(stream ? "stream log " : "data log ") + filename + ": " +
                tg::FailureText(failure));
    return TG_LOG_NOT_OPENED;
  }
  if (!stream) {
    for (const std::string &line : c->heldNotes) {
      tg::LogLine(&c->dataLog, line);
    }
    std::vector<std::string>().swap(c->heldNotes);
  }
  return 0;
}

// Frames buffered bytes until `wanted` packets are complete or the buffer is
// empty and the framer has no frame ready; returns the packets framed.
int FrameBuffered(Connection *c, int wanted) {
  size_t used = 0;
  const int packets = tg::StreamFeed(&c->stream, c->buffer + c->bufferStart,
                                     c->bufferEnd - c->bufferStart, wanted, &used);
  c->bufferStart += used;
  const int64_t now = packets > 0 ? tg::MonotonicMs() : 0;
  for (int i = 0; i < packets; ++i) {
    c->recentFrames[c->recentFrameNext] = now;
    c->recentFrameNext = (c->recentFrameNext + 1) % tg::kDenseFrames;
  }
  return packets;
}

// Reads into the buffer, and logs, every byte that has come and not been
// read yet; returns how many bytes wait to be framed, in the buffer and, if
// it filled, still in the port.
uint64_t TakeWaiting(Connection *c) {
  if (c->port == nullptr) {
    return c->bufferEnd - c->bufferStart;
  }
  std::memmove(c->buffer, c->buffer + c->bufferStart, c->bufferEnd - c->bufferStart);
  c->bufferEnd -= c->bufferStart;
  c->bufferStart = 0;
  Look(c, tg::MonotonicMs(), false);
  tg::Failure ignored;
  (void)ReadWaiting(c, &ignored);  // a failure is met again by the next read
  Look(c, tg::MonotonicMs(), true);
  const uint64_t taken = c->bufferEnd;
  return c->bufferEnd < kBufferBytes ? taken : taken + tg::SerialWaiting(c->port);
}

}  // namespace

extern "C" {

int TG_CALL TG_GetDriverVersion(void) { return THINKGEAR_VERSION; }

int TG_CALL TG_GetNewConnectionId(void) { return tg::AllocateConnection(); }

int TG_CALL TG_SetStreamLog(int connectionId, const char *filename) {
  return SetLog(connectionId, filename, true);
}

int TG_CALL TG_SetDataLog(int connectionId, const char *filename) {
  return SetLog(connectionId, filename, false);
}

int TG_CALL TG_Connect(int connectionId, const char *serialPortName, int serialBaudrate,
                       int serialDataFormat) {
  tg::HeldConnection held(connectionId);
  Connection *c = held.get();
  // The arguments first: a call that fails on them changes nothing.
  if (c == nullptr) {
    return TG_CONNECT_INVALID_ID;
  }
  if (!ValidBaud(serialBaudrate)) {
    return TG_CONNECT_INVALID_BAUD;
  }
  if (serialDataFormat != TG_STREAM_PACKETS) {
    return TG_CONNECT_INVALID_FORMAT;
  }
  if (serialPortName == nullptr || serialPortName[0] == '\0') {
    return TG_CONNECT_PORT_NOT_OPENED;
  }
  if (c->buffer == nullptr) {
    c->buffer = new (std::nothrow) uint8_t[kBufferBytes];
    if (c->buffer == nullptr) {
      return TG_CONNECT_PORT_NOT_OPENED;
    }
  }
  // A connection holds one port: the one it had is let go first, so that
  // the same port can be connected again.
  ClosePort(c);
  c->portName.clear();
  c->awayNote.clear();
  tg::Failure failure;
  tg::SerialDevice device;
  c->port = tg::SerialOpen(serialPortName, serialBaudrate, nullptr, &device, &failure);
  if (c->port == nullptr) {
    Note(c, PortNote(serialPortName, device.path, tg::FailureText(failure)));
    return TG_CONNECT_PORT_NOT_OPENED;
  }
  c->device = device;
  Note(c, PortNote(serialPortName, device.path, "opened"));
  tg::StreamNewSignal(&c->stream, true);
  StartWatching(c, true);
  c->portName = serialPortName;
  c->baud = serialBaudrate;
  return 0;
}

int TG_CALL TG_ReadPackets(int connectionId, int numPackets) {
  tg::HeldConnection held(connectionId);
  Connection *c = held.get();
  if (c == nullptr || c->portName.empty()) {
    return TG_READ_INVALID_ID;
  }
  tg::StreamNewRead(&c->stream);
  if (numPackets <= 0) {
    return 0;
  }

  bool reopened = false;
  if (c->port == nullptr) {
    // The device went away: try its port again, taking only that device,
    // and pace the caller while it stays away.
    tg::Failure failure;
    tg::SerialDevice device;
    c->port = tg::SerialOpen(c->portName.c_str(), c->baud, &c->device, &device, &failure);
    if (c->port == nullptr) {
      NoteAway(c, PortNote(c->portName.c_str(), device.path, tg::FailureText(failure)));
      tg::Pause(kReopenPauseMs);
      return TG_READ_IO_ERROR;
    }
    c->device = device;
    tg::StreamNewSignal(&c->stream, false);
    StartWatching(c, false);
    reopened = true;
  }

  // A port opened again is noted once it has not failed at once.
  bool openNoted = !reopened;
  bool gotBytes = c->bufferStart < c->bufferEnd;
  int packets = FrameBuffered(c, numPackets);
  const int64_t limit = tg::MonotonicMs() + kReadLimitMs;
  while (packets < numPackets) {
    const int64_t left = limit - tg::MonotonicMs();
    if (left <= 0) {
      break;
    }
    PaceDenseStream(c);
    int wait = left < kReadTimeoutMs ? static_cast<int>(left) : kReadTimeoutMs;
    // Packets held behind a frame that may be a packet around them wait
    // no longer than the line stays quiet.
    const bool holding = tg::StreamHolding(&c->stream);
    if (holding && wait > tg::kQuietLineMs) {
      wait = tg::kQuietLineMs;
    }
    tg::Failure failure;
    const long got = WatchAndRead(c, wait, &failure);
    if (got < 0) {
      ClosePort(c);
      const std::string gone = PortNote(c->portName.c_str(), c->device.path,
                                        "went away (" + tg::FailureText(failure) + ")");
      if (reopened && !gotBytes) {
        // A port that opens but fails at once (a device node that stays
        // while its device is away) is paced, and noted, like one that
        // does not open.
        NoteAway(c, gone);
        tg::Pause(kReopenPauseMs);
      } else {
        if (!openNoted) {
          NoteReopened(c);
        }
        Note(c, gone);
        c->awayNote = gone;
      }
      return packets > 0 ? packets : TG_READ_IO_ERROR;
    }
    if (got == 0) {
      if (!holding) {
        break;
      }
      tg::StreamLineQuiet(&c->stream);
      packets += FrameBuffered(c, numPackets - packets);
      continue;
    }
    if (!openNoted) {
      NoteReopened(c);
      openNoted = true;
    }
    gotBytes = true;
    c->lastReadMs = tg::MonotonicMs();
    c->lastReadBytes = got;
    packets += FrameBuffered(c, numPackets - packets);
  }
  if (!openNoted) {
    NoteReopened(c);
  }
  if (packets == 0 && !gotBytes) {
    return TG_READ_NO_BYTES;
  }
  return packets;
}

int TG_CALL TG_EnableBlinkDetection(int connectionId, int enable) {
  tg::HeldConnection held(connectionId);
  Connection *c = held.get();
  if (c == nullptr || (enable != 0 && enable != 1)) {
    return TG_BLINK_INVALID_ARGUMENT;
  }
  // Switched on, what has come already reports no blink.
  const bool switchingOn = enable == 1 && !c->stream.blinkDetection;
  tg::StreamDetectBlinks(&c->stream, enable == 1, switchingOn ? TakeWaiting(c) : 0);
  return 0;
}

int TG_CALL TG_GetValueStatus(int connectionId, int dataType) {
  tg::HeldConnection held(connectionId);
  Connection *c = held.get();
  if (c == nullptr) {
    return TG_STATUS_INVALID_ID;
  }
  const int slot = tg::ValueSlot(dataType);
  return slot < 0 ? 0 : c->stream.updates[slot];
}

float TG_CALL TG_GetValue(int connectionId, int dataType) {
  tg::HeldConnection held(connectionId);
  Connection *c = held.get();
  if (c != nullptr && dataType == TG_DATA_BLINK_AGE) {
    const int64_t arrived = c->stream.blinkArrivedMs;
    return arrived < 0 ? 0.0f
                       : static_cast<float>(std::max<int64_t>(0, tg::MonotonicMs() - arrived));
  }
  const int slot = tg::ValueSlot(dataType);
  if (c == nullptr || slot < 0) {
    return 0.0f;
  }
  return c->stream.values[slot];
}

}  // extern "C"
