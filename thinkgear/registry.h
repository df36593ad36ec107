// The connection registry: a fixed table of connections, one per id.
#ifndef NICTATE_THINKGEAR_REGISTRY_H
#define NICTATE_THINKGEAR_REGISTRY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "thinkgear/log.h"
#include "thinkgear/serial.h"
#include "thinkgear/stream.h"

namespace tg {

const int kMaxConnections = 128;

// Notes kept for a data log not named yet: the last ones.
const size_t kHeldNotes = 64;

// Packets whose framing times tell a dense stream from a sparse one.
const size_t kDenseFrames = 5;

// A connection's state. Its id's lock (thinkgear/os.h) is held by every
// call that reads or changes it; inUse alone is read without the lock.
struct Connection {
  std::atomic<bool> inUse;  // the id was handed out
  SerialPort *port;         // null while not connected or while the device is away
  std::string portName;     // the name last connected; empty before any
  int baud;
  SerialDevice device;  // what was connected, so that only it is taken again
  uint8_t *buffer;      // bytes read but not yet framed (made at the first connect)
  size_t bufferStart;
  size_t bufferEnd;
  // When the bytes came (the stream's arrivals): the last look at the port
  // (the library knows what had come by then), and the stream's pace
  // lately, bytes that came and in how long.
  int64_t lookedMs;
  double paceBytes;
  double paceMs;
  int64_t lastReadMs;                  // when the last read brought bytes
  long lastReadBytes;                  // and how many
  int64_t recentFrames[kDenseFrames];  // when the last packets were framed (0: not yet)
  size_t recentFrameNext;              // the oldest of them
  LogFile streamLog;
  LogFile dataLog;
  // Note lines (NoteLine) of ports tried and logs refused while no data log
  // was named, written into it once one is.
  std::vector<std::string> heldNotes;
  // While the device is away: the last note of its port, so that a reason
  // that stays the same is noted once and not at every read.
  std::string awayNote;
  Stream stream{&dataLog};  // bytes to values, blink detection, the data log
};

// Takes a free id, or returns TG_ID_NONE_LEFT when every id is taken. Each id is handed
// out once, whatever the threads calling.
int AllocateConnection(void);

// An id's connection, held for the length of one call: calls on one id wait
// for each other, calls on different ids never do.
class HeldConnection {
 public:
  // Takes the id's lock, when the id was handed out.
  explicit HeldConnection(int connectionId);
  ~HeldConnection();
  HeldConnection(const HeldConnection &) = delete;
  HeldConnection &operator=(const HeldConnection &) = delete;

  // The connection, or null for an id that was never handed out.
  Connection *get() const { return connection_; }

 private:
  Connection *connection_;
  int id_;
};

}  // namespace tg

#endif
