// Scripted doubles of the device library's operations and of the Windows
// operations, for testing the program's own code without a headset, a port
// or a display. Every call is recorded in order.
#ifndef NICTATE_TESTS_APP_FAKES_H
#define NICTATE_TESTS_APP_FAKES_H

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

// Thrown by the doubles when their script runs out, to leave the blink
// loop, which never returns by itself.
struct ScriptEnd {};

// One scripted TG_ReadPackets result in the blink loop, with the values the
// packet brought (data-type code -> value).
struct ScriptedRead {
  int result;
  std::map<int, float> newValues;
};

struct FakeLibrary {
  int version = 42;
  int connectionId = 3;
  int streamLogResult = 0;
  int dataLogResult = 0;
  // TG_Connect result per port number; ports not listed fail with -2.
  std::map<int, int> connectResults;
  // Probe result per port number, for ports that opened; default 1.
  std::map<int, int> probeResults;
  // Reads after the probe; ScriptEnd is thrown when they run out.
  std::deque<ScriptedRead> reads;

  std::vector<std::string> calls;
  int lastConnectedPort = -1;
  std::map<int, float> current;  // values of the latest read
};

struct FakePlatform {
  BOOL cursorResult = TRUE;
  POINT cursor = {0, 0};
  int width = 1920;
  int height = 1080;
  std::vector<INPUT> sent;
  std::vector<DWORD> sleeps;
};

extern FakeLibrary gLibrary;
extern FakePlatform gPlatform;

// Restores both doubles to their defaults.
void ResetFakes(void);

#endif
