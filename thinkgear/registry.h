// The connection registry: a fixed table of connections, one per id.
#ifndef NICTATE_THINKGEAR_REGISTRY_H
#define NICTATE_THINKGEAR_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "thinkgear/log.h"
#include "thinkgear/parser.h"
#include "thinkgear/serial.h"
#include "thinkgear/stream.h"

namespace tg {

const int kMaxConnections = 128;

// Packets whose framing times tell a dense stream from a sparse one.
const size_t kDenseFrames = 5;

struct Connection {
  bool inUse;
  SerialPort *port;      // null while not connected or while the device is away
  std::string portName;  // the name last connected; empty before any
  int baud;
  bool deviceLost;  // the port went away and is being reopened
  Framer framer;
  uint8_t buffer[4096];  // bytes read but not yet framed
  size_t bufferStart;
  size_t bufferEnd;
  int64_t lastReadMs;                  // when the last read brought bytes
  long lastReadBytes;                  // and how many
  int64_t recentFrames[kDenseFrames];  // when the last packets were framed (0: not yet)
  size_t recentFrameNext;              // the oldest of them
  LogFile streamLog;
  LogFile dataLog;
  bool blinkDetection;
  float values[kValueSlots];
  int updates[kValueSlots];  // updates by the most recent read
};

// Takes a free id, or returns -1 when every id is taken.
int AllocateConnection(void);

// The connection of an id that was handed out, or null.
Connection *FindConnection(int connectionId);

}  // namespace tg

#endif
