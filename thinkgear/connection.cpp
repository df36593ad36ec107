// What the calls on a connection do (thinkgear/connection.h).
#include "thinkgear/connection.h"

#include <algorithm>
#include <new>

#include "link/thinkgear.h"

namespace tg {

namespace {

// A read gives up when no byte has come for this long, and a call returns
// within kReadLimitMs even while bytes keep coming without a whole packet.
const int kReadTimeoutMs = 2000;
const int kReadLimitMs = 5000;
// While the device is away, each read tries to reopen its port once and
// waits this long before it reports the failure.
const int kReopenPauseMs = 1000;

}  // namespace

Connection::Connection()
    : port_(nullptr),
      baud_(0),
      buffer_(nullptr),
      bufferStart_(0),
      bufferEnd_(0),
      lookedMs_(0),
      paceBytes_(0),
      paceMs_(0),
      lastReadMs_(0),
      lastReadBytes_(0),
      recentFrames_(),
      recentFrameNext_(0),
      streamLog_(),
      dataLog_() {}

std::string Connection::portNote(const std::string &what) const {
  return PortNote(portName_.c_str(), device_.path, what);
}

void Connection::noteReopened() {
  notes_.add(portNote("opened"));
  notes_.back();
}

int Connection::setLog(LogKind kind, const char *filename) {
  Failure failure;
  if (!LogOpen(kind == LogKind::kStream ? &streamLog_ : &dataLog_, filename, &failure)) {
    notes_.add(std::string(kind == LogKind::kStream ? "stream log " : "data log ") + filename +
               ": " + FailureText(failure));
    return TG_LOG_NOT_OPENED;
  }
  if (kind == LogKind::kData) {
    notes_.writeKept();
  }
  return 0;
}

int Connection::connect(const char *name, int baud) {
  if (buffer_ == nullptr) {
    buffer_ = new (std::nothrow) uint8_t[kBufferBytes];
    if (buffer_ == nullptr) {
      return TG_CONNECT_PORT_NOT_OPENED;
    }
  }
  // A connection holds one port: the one it had is let go first, so that
  // the same port can be connected again.
  closePort();
  portName_.clear();
  notes_.back();
  Failure failure;
  SerialDevice device;
  port_ = SerialOpen(name, baud, nullptr, &device, &failure);
  if (port_ == nullptr) {
    notes_.add(PortNote(name, device.path, FailureText(failure)));
    return TG_CONNECT_PORT_NOT_OPENED;
  }
  device_ = device;
  notes_.add(PortNote(name, device.path, "opened"));
  StreamNewSignal(&stream_, true);
  startWatching(true);
  portName_ = name;
  baud_ = baud;
  return 0;
}

int Connection::readPackets(int wanted) {
  StreamNewRead(&stream_);
  if (wanted <= 0) {
    return 0;
  }

  bool reopened = false;
  if (port_ == nullptr) {
    // The device went away: try its port again, taking only that device,
    // and pace the caller while it stays away.
    Failure failure;
    SerialDevice device;
    port_ = SerialOpen(portName_.c_str(), baud_, &device_, &device, &failure);
    if (port_ == nullptr) {
      notes_.away(PortNote(portName_.c_str(), device.path, FailureText(failure)));
      Pause(kReopenPauseMs);
      return TG_READ_IO_ERROR;
    }
    device_ = device;
    StreamNewSignal(&stream_, false);
    startWatching(false);
    reopened = true;
  }

  // A port opened again is noted once it has not failed at once.
  bool openNoted = !reopened;
  bool gotBytes = bufferStart_ < bufferEnd_;
  int packets = frameBuffered(wanted);
  const int64_t limit = MonotonicMs() + kReadLimitMs;
  while (packets < wanted) {
    const int64_t left = limit - MonotonicMs();
    if (left <= 0) {
      break;
    }
    paceDenseStream();
    int wait = left < kReadTimeoutMs ? static_cast<int>(left) : kReadTimeoutMs;
    // Packets deferred behind a frame that may be a packet around them
    // wait no longer than the line stays quiet.
    const bool deferring = StreamDeferring(&stream_);
    if (deferring && wait > kQuietLineMs) {
      wait = kQuietLineMs;
    }
    Failure failure;
    const long got = watchAndRead(wait, &failure);
    if (got < 0) {
      closePort();
      const std::string gone = portNote("went away (" + FailureText(failure) + ")");
      if (reopened && !gotBytes) {
        // A port that opens but fails at once (a device node that stays
        // while its device is away) is paced, and noted, like one that
        // does not open.
        notes_.away(gone);
        Pause(kReopenPauseMs);
      } else {
        if (!openNoted) {
          noteReopened();
        }
        notes_.wentAway(gone);
      }
      return packets > 0 ? packets : TG_READ_IO_ERROR;
    }
    if (got == 0) {
      if (!deferring) {
        break;
      }
      StreamLineQuiet(&stream_);
      packets += frameBuffered(wanted - packets);
      continue;
    }
    if (!openNoted) {
      noteReopened();
      openNoted = true;
    }
    gotBytes = true;
    lastReadMs_ = MonotonicMs();
    lastReadBytes_ = got;
    packets += frameBuffered(wanted - packets);
  }
  if (!openNoted) {
    noteReopened();
  }
  if (packets == 0 && !gotBytes) {
    return TG_READ_NO_BYTES;
  }
  return packets;
}

void Connection::detectBlinks(bool on) {
  // Switched on, what has arrived already reports no blink: it is read now,
  // to know where it ends.
  const bool switchingOn = on && !stream_.blinkDetection;
  StreamDetectBlinks(&stream_, on, switchingOn ? takeArrived() : StreamTaken(&stream_));
}

int Connection::updates(int dataType) const {
  const int slot = ValueSlot(dataType);
  return slot < 0 ? 0 : stream_.updates[slot];
}

float Connection::value(int dataType) const {
  if (dataType == TG_DATA_BLINK_AGE) {
    const int64_t arrived = stream_.blinkArrivedMs;
    return arrived < 0 ? 0.0f : static_cast<float>(std::max<int64_t>(0, MonotonicMs() - arrived));
  }
  const int slot = ValueSlot(dataType);
  return slot < 0 ? 0.0f : stream_.values[slot];
}

}  // namespace tg
