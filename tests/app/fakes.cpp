#include "tests/app/fakes.h"

#include <cstdlib>
#include <cstring>

#include "link/thinkgear.h"

FakeLibrary gLibrary;
FakePlatform gPlatform;

void ResetFakes(void) {
  gLibrary = FakeLibrary();
  gPlatform = FakePlatform();
}

namespace {

void Record(const std::string &call) { gLibrary.calls.push_back(call); }

int PortNumber(const char *name) {
  const char *prefix = "\\\\.\\COM";
  if (std::strncmp(name, prefix, std::strlen(prefix)) != 0) {
    return -1;
  }
  return std::atoi(name + std::strlen(prefix));
}

}  // namespace

extern "C" {

int TG_GetDriverVersion(void) {
  Record("TG_GetDriverVersion()");
  return gLibrary.version;
}

int TG_GetNewConnectionId(void) {
  Record("TG_GetNewConnectionId()");
  return gLibrary.connectionId;
}

int TG_SetStreamLog(int id, const char *name) {
  Record("TG_SetStreamLog(" + std::to_string(id) + ", " + name + ")");
  return gLibrary.streamLogResult;
}

int TG_SetDataLog(int id, const char *name) {
  Record("TG_SetDataLog(" + std::to_string(id) + ", " + name + ")");
  return gLibrary.dataLogResult;
}

int TG_Connect(int id, const char *port, int baud, int format) {
  Record("TG_Connect(" + std::to_string(id) + ", " + port + ", " + std::to_string(baud) + ", " +
         std::to_string(format) + ")");
  const int number = PortNumber(port);
  const auto it = gLibrary.connectResults.find(number);
  const int result = it == gLibrary.connectResults.end() ? -2 : it->second;
  if (result >= 0) {
    gLibrary.lastConnectedPort = number;
  }
  return result;
}

int TG_ReadPackets(int id, int count) {
  Record("TG_ReadPackets(" + std::to_string(id) + ", " + std::to_string(count) + ")");
  gLibrary.current.clear();
  if (gLibrary.lastConnectedPort >= 0) {
    // The probe of the port that just opened.
    const int port = gLibrary.lastConnectedPort;
    gLibrary.lastConnectedPort = -1;
    const auto it = gLibrary.probeResults.find(port);
    return it == gLibrary.probeResults.end() ? 1 : it->second;
  }
  if (gLibrary.reads.empty()) {
    throw ScriptEnd();
  }
  const ScriptedRead read = gLibrary.reads.front();
  gLibrary.reads.pop_front();
  gLibrary.current = read.newValues;
  return read.result;
}

int TG_EnableBlinkDetection(int id, int enable) {
  Record("TG_EnableBlinkDetection(" + std::to_string(id) + ", " + std::to_string(enable) + ")");
  return 0;
}

int TG_GetValueStatus(int id, int type) {
  Record("TG_GetValueStatus(" + std::to_string(id) + ", " + std::to_string(type) + ")");
  return gLibrary.current.count(type) != 0 ? 1 : 0;
}

float TG_GetValue(int id, int type) {
  Record("TG_GetValue(" + std::to_string(id) + ", " + std::to_string(type) + ")");
  const auto it = gLibrary.current.find(type);
  return it == gLibrary.current.end() ? 0.0f : it->second;
}

void Sleep(DWORD ms) {
  Record("Sleep(" + std::to_string(ms) + ")");
  gPlatform.sleeps.push_back(ms);
}

BOOL GetCursorPos(POINT *point) {
  *point = gPlatform.cursor;
  return gPlatform.cursorResult;
}

int GetSystemMetrics(int index) {
  return index == SM_CXSCREEN ? gPlatform.width : index == SM_CYSCREEN ? gPlatform.height : 0;
}

UINT SendInput(UINT count, INPUT *inputs, int size) {
  Record("SendInput(" + std::to_string(count) + ", " + std::to_string(size) + ")");
  for (UINT i = 0; i < count; ++i) {
    gPlatform.sent.push_back(inputs[i]);
  }
  return count;
}

}  // extern "C"
