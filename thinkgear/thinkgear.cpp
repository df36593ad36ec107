// The device library's nine operations: each checks its arguments, locks
// the id's connection and makes one call of it (thinkgear/connection.h).
#include "link/thinkgear.h"

#include "thinkgear/registry.h"

#ifndef THINKGEAR_VERSION
#define THINKGEAR_VERSION 0
#endif

namespace {

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

int SetLog(int connectionId, const char *filename, tg::LogKind kind) {
  tg::LockedConnection locked(connectionId);
  tg::Connection *c = locked.get();
  if (c == nullptr || filename == nullptr || filename[0] == '\0') {
    return TG_LOG_INVALID_ARGUMENT;
  }
  return c->setLog(kind, filename);
}

}  // namespace

extern "C" {

int TG_CALL TG_GetDriverVersion(void) { return THINKGEAR_VERSION; }

int TG_CALL TG_GetNewConnectionId(void) { return tg::AllocateConnection(); }

int TG_CALL TG_SetStreamLog(int connectionId, const char *filename) {
  return SetLog(connectionId, filename, tg::LogKind::kStream);
}

int TG_CALL TG_SetDataLog(int connectionId, const char *filename) {
  return SetLog(connectionId, filename, tg::LogKind::kData);
}

int TG_CALL TG_Connect(int connectionId, const char *serialPortName, int serialBaudrate,
                       int serialDataFormat) {
  tg::LockedConnection locked(connectionId);
  tg::Connection *c = locked.get();
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
  return c->connect(serialPortName, serialBaudrate);
}

int TG_CALL TG_ReadPackets(int connectionId, int numPackets) {
  tg::LockedConnection locked(connectionId);
  tg::Connection *c = locked.get();
  if (c == nullptr || !c->connected()) {
    return TG_READ_INVALID_ID;
  }
  return c->readPackets(numPackets);
}

int TG_CALL TG_EnableBlinkDetection(int connectionId, int enable) {
  tg::LockedConnection locked(connectionId);
  tg::Connection *c = locked.get();
  if (c == nullptr || (enable != 0 && enable != 1)) {
    return TG_BLINK_INVALID_ARGUMENT;
  }
  c->detectBlinks(enable == 1);
  return 0;
}

int TG_CALL TG_GetValueStatus(int connectionId, int dataType) {
  tg::LockedConnection locked(connectionId);
  tg::Connection *c = locked.get();
  return c == nullptr ? TG_STATUS_INVALID_ID : c->updates(dataType);
}

float TG_CALL TG_GetValue(int connectionId, int dataType) {
  tg::LockedConnection locked(connectionId);
  tg::Connection *c = locked.get();
  return c == nullptr ? 0.0f : c->value(dataType);
}

}  // extern "C"
