// The Windows serial back end (thinkgear/serial_win32.cpp), compiled here
// against a stand-in for <windows.h> (tests/library/win32/windows.h) whose
// functions this file implements over a port of its own: bytes the driver
// holds, bytes that arrive while a read waits, and a clock that moves only
// when a read waits. Every call that reaches the driver is counted, so the
// cost of a read is seen call by call, as on Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "thinkgear/os.h"
#include "thinkgear/serial.h"

namespace {

struct FakePort {
  std::deque<uint8_t> held;                   // bytes the driver holds
  std::deque<std::vector<uint8_t>> arriving;  // each comes during a wait
  COMMTIMEOUTS timeouts = {};
  DCB line = {};
  DWORD now = 1000;  // GetTickCount
  int setTimeouts = 0;
  int statusCalls = 0;
  int reads = 0;
  int setState = 0;
  DWORD lastBaud = 0;
  int DriverCalls() const { return setTimeouts + statusCalls + reads; }
};

FakePort gPort;
HANDLE const kHandle = reinterpret_cast<HANDLE>(0x1234);

}  // namespace

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) { return kHandle; }
BOOL CloseHandle(HANDLE) { return TRUE; }
BOOL GetCommState(HANDLE, DCB *dcb) {
  *dcb = gPort.line;
  return TRUE;
}
BOOL SetCommState(HANDLE, DCB *dcb) {
  ++gPort.setState;
  gPort.lastBaud = dcb->BaudRate;
  return TRUE;
}
BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS *timeouts) {
  ++gPort.setTimeouts;
  gPort.timeouts = *timeouts;
  return TRUE;
}
BOOL ClearCommError(HANDLE, DWORD *errors, COMSTAT *status) {
  ++gPort.statusCalls;
  *errors = 0;
  status->cbInQue = static_cast<DWORD>(gPort.held.size());
  status->cbOutQue = 0;
  return TRUE;
}
// With ReadIntervalTimeout MAXDWORD and ReadTotalTimeoutMultiplier MAXDWORD,
// a read returns the bytes held at once, else waits up to the constant for
// the first byte; with both 0 and no constant it returns at once.
BOOL ReadFile(HANDLE, void *buffer, DWORD size, DWORD *read, void *) {
  ++gPort.reads;
  const bool waits = gPort.timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
                     gPort.timeouts.ReadTotalTimeoutConstant > 0;
  if (gPort.held.empty() && waits) {
    if (gPort.arriving.empty()) {
      gPort.now += gPort.timeouts.ReadTotalTimeoutConstant;
    } else {
      gPort.now += 1;
      gPort.held.insert(gPort.held.end(), gPort.arriving.front().begin(),
                        gPort.arriving.front().end());
      gPort.arriving.pop_front();
    }
  }
  DWORD got = 0;
  for (uint8_t *out = static_cast<uint8_t *>(buffer); got < size && !gPort.held.empty(); ++got) {
    out[got] = gPort.held.front();
    gPort.held.pop_front();
  }
  *read = got;
  return TRUE;
}
DWORD GetLastError(void) { return 0; }
DWORD GetTickCount(void) { return gPort.now; }
void Sleep(DWORD milliseconds) { gPort.now += milliseconds; }

// The library's clock (thinkgear/os_win32.cpp counts GetTickCount's wraps).
namespace tg {
int64_t MonotonicMs(void) { return GetTickCount(); }
}  // namespace tg

namespace {

class Win32Serial : public ::testing::Test {
 protected:
  void SetUp() override {
    gPort = FakePort();
    gPort.line.BaudRate = 4800;
    tg::Failure failure;
    tg::SerialDevice device;
    port = tg::SerialOpen("COM3", 9600, nullptr, &device, &failure);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(gPort.lastBaud, 9600u);
    gPort.setTimeouts = gPort.statusCalls = gPort.reads = 0;
  }
  void TearDown() override { tg::SerialClose(port); }

  tg::SerialPort *port = nullptr;
  uint8_t buffer[4096];
};

TEST_F(Win32Serial, ReadsThatWaitSetTheTimeoutsOnceAndAskTheDriverFourTimesEach) {
  // Ten reads of the blink loop, each waiting for a six-byte packet: the
  // timeouts are set by the first and kept; each read asks for the bytes
  // held, waits for one, asks again and takes the other five.
  for (int i = 0; i < 10; ++i) {
    gPort.arriving.push_back({0xAA, 0xAA, 0x02, 0x16, static_cast<uint8_t>(i + 1), 0x00});
    ASSERT_EQ(tg::SerialRead(port, buffer, sizeof buffer, 2000), 6) << i;
    EXPECT_EQ(buffer[4], i + 1);
  }
  EXPECT_EQ(gPort.setTimeouts, 1);
  EXPECT_EQ(gPort.DriverCalls(), 1 + 10 * 4);
  EXPECT_EQ(gPort.timeouts.ReadTotalTimeoutConstant, 2000u);
}

TEST_F(Win32Serial, BytesAlreadyHeldAreTakenWithTwoCalls) {
  gPort.held = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(tg::SerialRead(port, buffer, 5, 2000), 5);
  EXPECT_EQ(tg::SerialRead(port, buffer, sizeof buffer, 2000), 7);
  EXPECT_EQ(buffer[0], 6);
  EXPECT_EQ(gPort.DriverCalls(), 2 * 2);
  EXPECT_EQ(gPort.setTimeouts, 0);
}

TEST_F(Win32Serial, SilenceWaitsTheWholeTimeoutOnceAndGivesZero) {
  const DWORD start = gPort.now;
  EXPECT_EQ(tg::SerialRead(port, buffer, sizeof buffer, 2000), 0);
  EXPECT_GE(gPort.now - start, 2000u);
  EXPECT_EQ(gPort.reads, 1);
}

TEST_F(Win32Serial, ThePortIsGivenBackAtTheRateItHad) {
  tg::SerialClose(port);
  port = nullptr;
  EXPECT_EQ(gPort.lastBaud, 4800u);
}

}  // namespace
