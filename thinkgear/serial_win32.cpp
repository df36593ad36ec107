// Serial ports on Windows (XP and later).
//
// Port names: "\\.\COMn" is opened as it is, and "COMn" (case ignored) is
// given the "\\.\" device prefix first, so COM10 and above open too. Any
// other name is handed to CreateFileA unchanged and must turn out to be a
// serial port.
//
// A read waits in the driver for the first byte, then takes whatever else
// has arrived without waiting: two ReadFile calls under two sets of
// COMMTIMEOUTS. The first asks for one byte with ReadIntervalTimeout and
// ReadTotalTimeoutMultiplier at MAXDWORD and ReadTotalTimeoutConstant at the
// wait (the documented "return as soon as bytes are there" setting); the
// second uses ReadIntervalTimeout MAXDWORD alone, which returns at once.
// Asking for one byte first keeps the wait short on every implementation:
// Wine 8, for one, treats the MAXDWORD interval as "no interval limit" and
// would hold a bigger read until the whole constant had passed.
#include <windows.h>

#include <cstring>
#include <new>
#include <string>

#include "thinkgear/serial.h"

namespace tg {

struct SerialPort {
  HANDLE handle;
  bool timeoutsSet;     // the port's COMMTIMEOUTS are the ones below
  DWORD readTimeoutMs;  // the wait they set; 0: reads return at once
};

namespace {

// A timeout counts as run out once no more than this is left of it: the
// driver and GetTickCount both count in scheduler ticks (10 to 16 ms).
const int64_t kTickSlackMs = 32;

bool StartsWithNoCase(const char *text, const char *prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text == '\0' || (*text | 0x20) != (*prefix | 0x20)) {
      return false;
    }
  }
  return true;
}

// The name CreateFileA is given: "COMn" needs the device prefix, since
// without it only COM1 to COM9 are found.
std::string DeviceName(const char *name) {
  if (StartsWithNoCase(name, "COM")) {
    return std::string("\\\\.\\") + name;
  }
  return name;
}

// Raw 8N1 at the given rate: no parity check, no flow control, no
// character replaced or dropped, and no error that stops the port until
// cleared. DTR and RTS are raised, which powers some adapters.
bool SetLine(HANDLE handle, int baud) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) {
    return false;
  }
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
  return SetCommState(handle, &dcb) != 0;
}

// Sets the port's read timeouts: with timeoutMs > 0 ReadFile returns the
// bytes there are, else waits up to timeoutMs for the first; with 0 it
// returns at once with what is there. Writes are never used.
bool SetReadWait(SerialPort *port, DWORD timeoutMs) {
  if (port->timeoutsSet && port->readTimeoutMs == timeoutMs) {
    return true;
  }
  COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = timeoutMs > 0 ? MAXDWORD : 0;
  timeouts.ReadTotalTimeoutConstant = timeoutMs;
  if (!SetCommTimeouts(port->handle, &timeouts)) {
    port->timeoutsSet = false;
    return false;
  }
  port->timeoutsSet = true;
  port->readTimeoutMs = timeoutMs;
  return true;
}

// Whether the port still answers for its state. A device that is gone
// (unplugged, hung up) fails this, and no read waits on it. Some ports do not
// fail their reads once gone but return nothing until the wait is over (Wine
// on a terminal whose other end closed, busy all the while): this catches
// them after one wait. Clears line errors as a side effect.
bool PortAlive(SerialPort *port) {
  DWORD errors = 0;
  COMSTAT status;
  return ClearCommError(port->handle, &errors, &status) != 0;
}

// Reads what the driver holds now, up to capacity, without waiting: the
// count (0 or more), or -1 when the port failed.
long ReadWaiting(SerialPort *port, uint8_t *buffer, DWORD capacity) {
  DWORD got = 0;
  if (capacity == 0) {
    return 0;
  }
  if (!SetReadWait(port, 0) || !ReadFile(port->handle, buffer, capacity, &got, nullptr)) {
    return -1;
  }
  return static_cast<long>(got);
}

}  // namespace

SerialPort *SerialOpen(const char *name, int baud) {
  if (name == nullptr || name[0] == '\0' || baud <= 0) {
    return nullptr;
  }
  const std::string device = DeviceName(name);
  // Share mode 0: no other handle to the port while we hold it.
  const HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  SerialPort *port = new (std::nothrow) SerialPort;
  if (port == nullptr) {
    (void)CloseHandle(handle);
    return nullptr;
  }
  port->handle = handle;
  port->timeoutsSet = false;
  port->readTimeoutMs = 0;
  // GetCommState inside SetLine fails on anything but a serial port.
  if (!SetLine(handle, baud) || !SetReadWait(port, 0)) {
    SerialClose(port);
    return nullptr;
  }
  return port;
}

void SerialClose(SerialPort *port) {
  if (port == nullptr) {
    return;
  }
  // The handle is gone even when CloseHandle reports an error.
  (void)CloseHandle(port->handle);
  delete port;
}

long SerialRead(SerialPort *port, uint8_t *buffer, size_t capacity, int timeoutMs) {
  const DWORD want = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(capacity);
  if (want == 0) {
    return 0;
  }
  const int64_t deadline = MonotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
  bool returnedEarly = false;
  for (;;) {
    if (!PortAlive(port)) {
      return -1;
    }
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) {
      // No time to wait: what is there, if anything.
      return ReadWaiting(port, buffer, want);
    }
    DWORD got = 0;
    if (!SetReadWait(port, static_cast<DWORD>(left)) ||
        !ReadFile(port->handle, buffer, 1, &got, nullptr)) {
      // An unplugged adapter fails its reads (ERROR_ACCESS_DENIED,
      // ERROR_DEVICE_NOT_CONNECTED, ...): the device is gone.
      return -1;
    }
    if (got > 0) {
      const long rest = ReadWaiting(port, buffer + 1, want - 1);
      // Should the port fail right after its first byte, that byte still
      // counts; the failure shows again on the next read.
      return rest > 0 ? 1 + rest : 1;
    }
    if (deadline - MonotonicMs() <= kTickSlackMs) {
      // The wait is over. A device that went away during it may have ended
      // it with nothing read: that is told now, not after another wait.
      return PortAlive(port) ? 0 : -1;
    }
    // Nothing read, yet well before the time was up. Once may be a line
    // error; a port that keeps returning at once would have the caller spin:
    // it is no working port, and is reported as failed so the caller reopens
    // it at its own pace.
    if (returnedEarly) {
      return -1;
    }
    returnedEarly = true;
  }
}

void SerialPause(int milliseconds) {
  Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

int64_t MonotonicMs(void) {
  // GetTickCount wraps after 49.7 days (XP has no GetTickCount64): the
  // wraps are counted here. The library is called from one thread, and far
  // more often than once in 49 days.
  static DWORD last = 0;
  static int64_t wraps = 0;
  const DWORD now = GetTickCount();
  if (now < last) {
    ++wraps;
  }
  last = now;
  return wraps * (int64_t(1) << 32) + static_cast<int64_t>(now);
}

}  // namespace tg
