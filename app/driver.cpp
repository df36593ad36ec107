#include "app/driver.h"

#include <cstdio>

#include "blink/loop.h"
#include "link/scan.h"
#include "link/thinkgear.h"

namespace {

const char kStreamLogName[] = "streamLog.txt";
const char kDataLogName[] = "dataLog.txt";
const int kFailureStatus = 1;

int FailureEnding(void) {
  PauseForEnter();
  return kFailureStatus;
}

}  // namespace

int RunNictate(void) {
  std::printf("ThinkGear DLL version: %d\n", TG_GetDriverVersion());

  const int connectionId = TG_GetNewConnectionId();
  if (connectionId < 0) {
    std::fprintf(stderr, "ERROR: TG_GetNewConnectionId() returned %d.\n", connectionId);
    return FailureEnding();
  }
  std::fprintf(stderr, "ThinkGear Connection ID is: %d.\n\n", connectionId);

  int result = TG_SetStreamLog(connectionId, kStreamLogName);
  if (result < 0) {
    std::fprintf(stderr, "ERROR: TG_SetStreamLog() returned %d.\n", result);
    return FailureEnding();
  }
  result = TG_SetDataLog(connectionId, kDataLogName);
  if (result < 0) {
    std::fprintf(stderr, "ERROR: TG_SetDataLog() returned %d.\n", result);
    return FailureEnding();
  }

  if (!ScanPorts(connectionId)) {
    std::printf("connection could not be established");
    return FailureEnding();
  }
  std::printf("connection established");
  RunBlinkLoop(connectionId);
  // The loop runs until the process is ended from outside.
  return kFailureStatus;
}
