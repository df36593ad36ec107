// The device library's public operations.
#include <cstring>

#include "link/thinkgear.h"
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

void ClosePort(Connection *c) {
  tg::SerialClose(c->port);
  c->port = nullptr;
  c->framer.reset();
  c->bufferStart = 0;
  c->bufferEnd = 0;
}

int SetLog(int connectionId, const char *filename, bool stream) {
  Connection *c = tg::FindConnection(connectionId);
  if (c == nullptr || filename == nullptr || filename[0] == '\0') {
    return -1;
  }
  return tg::LogOpen(stream ? &c->streamLog : &c->dataLog, filename) ? 0 : -2;
}

// Decodes a framed packet into the connection's values.
void TakeFrame(Connection *c) {
  tg::Value values[tg::kMaxValuesPerFrame];
  const tg::Frame &frame = c->framer.frame();
  const size_t count = tg::DecodePayload(frame.payload, frame.length, values);
  for (size_t i = 0; i < count; ++i) {
    if (values[i].dataType == TG_DATA_BLINK_STRENGTH && !c->blinkDetection) {
      continue;
    }
    const int slot = tg::ValueSlot(values[i].dataType);
    c->values[slot] = values[i].value;
    ++c->updates[slot];
    tg::LogDataValue(&c->dataLog, values[i].dataType, values[i].value);
  }
}

// Frames buffered bytes until `wanted` packets are complete or the buffer is
// empty; returns the packets framed.
int FrameBuffered(Connection *c, int wanted) {
  int packets = 0;
  while (packets < wanted && c->bufferStart < c->bufferEnd) {
    bool ready = false;
    c->bufferStart += c->framer.feed(c->buffer + c->bufferStart, c->bufferEnd - c->bufferStart,
                                     &ready);
    if (ready) {
      TakeFrame(c);
      ++packets;
    }
  }
  return packets;
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
  Connection *c = tg::FindConnection(connectionId);
  if (c == nullptr) {
    return TG_CONNECT_INVALID_ID;
  }
  if (!ValidBaud(serialBaudrate)) {
    return TG_CONNECT_INVALID_BAUD;
  }
  if (serialDataFormat != TG_STREAM_PACKETS) {
    return TG_CONNECT_INVALID_FORMAT;
  }
  // A connection holds one port: the one it had is let go first.
  ClosePort(c);
  c->portName.clear();
  c->deviceLost = false;
  if (serialPortName == nullptr) {
    return TG_CONNECT_PORT_NOT_OPENED;
  }
  c->port = tg::SerialOpen(serialPortName, serialBaudrate);
  if (c->port == nullptr) {
    return TG_CONNECT_PORT_NOT_OPENED;
  }
  c->portName = serialPortName;
  c->baud = serialBaudrate;
  return 0;
}

int TG_CALL TG_ReadPackets(int connectionId, int numPackets) {
  Connection *c = tg::FindConnection(connectionId);
  if (c == nullptr || c->portName.empty()) {
    return TG_READ_INVALID_ID;
  }
  std::memset(c->updates, 0, sizeof c->updates);
  if (numPackets <= 0) {
    return 0;
  }

  if (c->port == nullptr) {
    // The device went away: try its port again, and pace the caller while
    // it stays away.
    c->port = tg::SerialOpen(c->portName.c_str(), c->baud);
    if (c->port == nullptr) {
      tg::SerialPause(kReopenPauseMs);
      return TG_READ_IO_ERROR;
    }
    c->deviceLost = false;
  }

  bool gotBytes = c->bufferStart < c->bufferEnd;
  int packets = FrameBuffered(c, numPackets);
  const int64_t limit = tg::MonotonicMs() + kReadLimitMs;
  while (packets < numPackets) {
    const int64_t left = limit - tg::MonotonicMs();
    if (left <= 0) {
      break;
    }
    const int wait = left < kReadTimeoutMs ? static_cast<int>(left) : kReadTimeoutMs;
    const long got = tg::SerialRead(c->port, c->buffer, sizeof c->buffer, wait);
    if (got < 0) {
      ClosePort(c);
      c->deviceLost = true;
      return packets > 0 ? packets : TG_READ_IO_ERROR;
    }
    if (got == 0) {
      break;
    }
    gotBytes = true;
    c->bufferStart = 0;
    c->bufferEnd = static_cast<size_t>(got);
    tg::LogStreamBytes(&c->streamLog, c->buffer, c->bufferEnd);
    packets += FrameBuffered(c, numPackets - packets);
  }
  if (packets == 0 && !gotBytes) {
    return TG_READ_NO_BYTES;
  }
  return packets;
}

int TG_CALL TG_EnableBlinkDetection(int connectionId, int enable) {
  Connection *c = tg::FindConnection(connectionId);
  if (c == nullptr || (enable != 0 && enable != 1)) {
    return -1;
  }
  c->blinkDetection = enable == 1;
  return 0;
}

int TG_CALL TG_GetValueStatus(int connectionId, int dataType) {
  Connection *c = tg::FindConnection(connectionId);
  if (c == nullptr) {
    return -1;
  }
  const int slot = tg::ValueSlot(dataType);
  return slot < 0 ? 0 : c->updates[slot];
}

float TG_CALL TG_GetValue(int connectionId, int dataType) {
  Connection *c = tg::FindConnection(connectionId);
  const int slot = tg::ValueSlot(dataType);
  if (c == nullptr || slot < 0) {
    return 0.0f;
  }
  return c->values[slot];
}

}  // extern "C"
