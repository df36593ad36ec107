// A connection: the port it reads, the packet stream framed and decoded
// from it (thinkgear/stream.h), its two logs and the notes of its ports. The
// entry points (thinkgear/thinkgear.cpp) check their arguments and lock the
// id; each then makes one call here, which runs under that lock.
//
// connection.cpp holds what the calls do; port_reading.cpp how a read waits
// for bytes, dates them (thinkgear/arrivals.h) and paces a dense stream.
#ifndef NICTATE_THINKGEAR_CONNECTION_H
#define NICTATE_THINKGEAR_CONNECTION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "thinkgear/log.h"
#include "thinkgear/notes.h"
#include "thinkgear/serial.h"
#include "thinkgear/stream.h"

namespace tg {

enum class LogKind { kStream, kData };

class Connection {
 public:
  Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // Creates or truncates the file of a log (a name that is not empty): 0,
  // or TG_LOG_NOT_OPENED, noting why in the data log. Named, the data log
  // takes the notes kept while there was none.
  int setLog(LogKind kind, const char *filename);

  // Lets go the port it holds, if any, and opens the named one (not empty)
  // at `baud`, a TG_BAUD_* rate: 0, or TG_CONNECT_PORT_NOT_OPENED, noting
  // why in the data log and holding no port.
  int connect(const char *name, int baud);

  // Whether a port was connected; its device may be away since.
  bool connected() const { return !portName_.empty(); }

  // TG_ReadPackets on a connected connection: the packets framed, or a
  // TG_READ_* code.
  int readPackets(int wanted);

  // Switches blink detection on or off. Switched on, what has arrived at
  // the port already reports no blink.
  void detectBlinks(bool on);

  // The updates of a data type in the last read, and its latest value
  // (TG_DATA_BLINK_AGE too), as TG_GetValueStatus and TG_GetValue give them.
  int updates(int dataType) const;
  float value(int dataType) const;

 private:
  // Packets whose framing times tell a dense stream from a sparse one.
  static const size_t kDenseFrames = 5;
  // The bytes read and not framed yet. When blink detection is switched
  // on, all that has come already is read into it at once (a driver holds
  // up to 64 KB for a terminal, of which the port's own count tells only
  // the first few).
  static const size_t kBufferBytes = 80 * 1024;

  // --- port_reading.cpp

  // The port was opened, or opened again: what comes from now on is dated
  // from now.
  void startWatching(bool newDevice);
  // Lets go the port and what was read from it and not framed.
  void closePort();
  // Before a read: spaces the reads of a dense stream.
  void paceDenseStream();
  // Looks at the port at `now` and dates the bytes that came since the last
  // look.
  void look(int64_t now, bool watched);
  // Reads all that has come into the buffer, after what it holds.
  long readWaiting(Failure *failure);
  // Waits up to `wait` ms for bytes and reads them into the empty buffer;
  // results as SerialRead's.
  long watchAndRead(int wait, Failure *failure);
  // Reads all that has come into the buffer, and returns the stream index
  // where what has arrived at the port ends.
  uint64_t takeArrived();
  // Frames buffered bytes until `wanted` packets are whole or the bytes run
  // out; returns the packets framed.
  int frameBuffered(int wanted);

  // --- connection.cpp

  // The port whose device was away has opened again.
  void noteReopened();
  // The note of what became of the connected port.
  std::string portNote(const std::string &what) const;

  SerialPort *port_;      // null while not connected or while the device is away
  std::string portName_;  // the name last connected; empty before any
  int baud_;
  SerialDevice device_;  // what was connected, so that only it is taken again
  uint8_t *buffer_;      // made at the first connect
  size_t bufferStart_;
  size_t bufferEnd_;
  // When the bytes came (the stream's arrivals): the last look at the port
  // (the library knows what had come by then), and the stream's pace
  // lately, bytes that came and in how long.
  int64_t lookedMs_;
  double paceBytes_;
  double paceMs_;
  int64_t lastReadMs_;                  // when the last read brought bytes
  long lastReadBytes_;                  // and how many
  int64_t recentFrames_[kDenseFrames];  // when the last packets were framed (0: not yet)
  size_t recentFrameNext_;              // the oldest of them
  LogFile streamLog_;
  LogFile dataLog_;
  Notes notes_{&dataLog_};
  Stream stream_{&dataLog_};  // bytes to values, blink detection, the data log
};

}  // namespace tg

#endif
