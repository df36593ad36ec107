#include "link/scan.h"

#include <cstdio>

#include "link/thinkgear.h"
#include "platform/win32.h"

namespace {

const int kFirstPort = 0;
const int kLastPort = 16;
const int kBaudRate = TG_BAUD_9600;
const int kDataFormat = TG_STREAM_PACKETS;
const DWORD kSettleMs = 10000;
const int kProbePackets = 1;
const char kPortPrefix[] = "\\\\.\\COM";

void ReportConnectFailure(int result) {
  std::fprintf(stderr, "ERROR: TG_Connect() returned %d.\n", result);
  switch (result) {
    case TG_CONNECT_INVALID_ID:
      std::printf(
          "FAILED connection (-1 connectionId does not refer to a valid ThinkGear Connection ID "
          "handle.)\n");
      break;
    case TG_CONNECT_PORT_NOT_OPENED:
      std::printf(
          "FAILED connection (-2 serialPortName could not be opened as a serial communication "
          "port for any reason.)\n");
      break;
    case TG_CONNECT_INVALID_BAUD:
      std::printf("FAILED connection (-3 serialBaudrate is not a valid TG_BAUD_* value.)\n");
      break;
    case TG_CONNECT_INVALID_FORMAT:
      std::printf("FAILED connection (-4 serialDataFormat is not a valid TG_STREAM_* type.)\n");
      break;
    default:
      break;
  }
}

void ReportProbeFailure(int result) {
  switch (result) {
    case TG_READ_INVALID_ID:
      std::printf("FAILED reading (Invalid connection ID)\n");
      break;
    case TG_READ_NO_BYTES:
      std::printf("FAILED reading (0 bytes on the stream)\n");
      break;
    case TG_READ_IO_ERROR:
      std::printf("FAILED reading (I/O error occured)\n");
      break;
    default:
      break;
  }
}

}  // namespace

bool ScanPorts(int connectionId) {
  // Two digits and the terminator; the prefix, two digits and the terminator.
  char portText[3];
  char portName[12];
  bool connected = false;

  std::printf("Scanning COM ports 0 to %d...\n", kLastPort);
  for (int port = kFirstPort; !connected && port <= kLastPort; ++port) {
    std::snprintf(portText, sizeof portText, "%d", port);
    std::fprintf(stderr, "%s", portText);
    std::snprintf(portName, sizeof portName, "%s%s", kPortPrefix, portText);
    std::printf("ok%strying to connect on%s\n", portName, portName);

    const int connectResult = TG_Connect(connectionId, portName, kBaudRate, kDataFormat);
    if (connectResult < 0) {
      ReportConnectFailure(connectResult);
      continue;
    }

    std::printf("Connection available...\n");
    Sleep(kSettleMs);
    const int probeResult = TG_ReadPackets(connectionId, kProbePackets);
    if (probeResult >= 0) {
      std::printf("OK\n");
      connected = true;
    } else {
      ReportProbeFailure(probeResult);
    }
  }
  return connected;
}
