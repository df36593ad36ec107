// Serial ports on Windows (XP and later).
//
// Port names: "\\.\COMn" is opened as it is, and "COMn" (case ignored) is
// given the "\\.\" device prefix first, so COM10 and above open too. Any
// other name is handed to CreateFileA unchanged and must turn out to be a
// serial port.
//
// A read takes what the driver has buffered when there is something; else it
// waits in the driver for the first byte and then takes whatever else has
// arrived. The port's COMMTIMEOUTS stay ReadIntervalTimeout and
// ReadTotalTimeoutMultiplier at MAXDWORD, ReadTotalTimeoutConstant at the
// wait (the documented "return as soon as bytes are there" setting), and
// the wait is the caller's whole timeout, the same read after read, so they
// are set once and not at every read. The bytes there are counted first
// (ClearCommError) and read by that count, which returns at once on every
// implementation; the wait asks for one byte only, since Wine 8, for one,
// treats the MAXDWORD interval as "no interval limit" and would hold a
// bigger read until the whole constant had passed. A read with bytes
// waiting thus costs two driver calls, one that waits four.
#include <windows.h>

#include <cstring>
#include <new>
#include <string>

#include "thinkgear/os.h"
#include "thinkgear/port_name.h"
#include "thinkgear/serial.h"

namespace tg {

struct SerialPort {
  HANDLE handle;
  bool timeoutsSet;     // the port's COMMTIMEOUTS are the ones below
  DWORD readTimeoutMs;  // the wait they set; 0: reads return at once
  bool lineSaved;       // line holds the port's settings as it was found
  DCB line;
};

namespace {

// A timeout counts as run out once no more than this is left of it: the
// driver and GetTickCount both count in scheduler ticks (10 to 16 ms).
const int64_t kTickSlackMs = 32;

// The name CreateFileA is given: "COMn" needs the device prefix, since
// without it only COM1 to COM9 are found.
std::string DeviceName(const char *name) {
  if (name[0] != '\\' && ComNumber(name) >= 0) {
    return std::string("\\\\.\\") + name;
  }
  return name;
}

// Raw 8N1 at the given rate: no parity check, no flow control, no
// character replaced or dropped, and no error that stops the port until
// cleared. DTR and RTS are raised, which powers some adapters.
bool SetLine(SerialPort *port, int baud) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port->handle, &dcb)) {
    return false;
  }
  port->line = dcb;
  port->lineSaved = true;
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
  return SetCommState(port->handle, &dcb) != 0;
}

// Sets the port's read timeouts: ReadFile returns the bytes there are, else
// waits up to timeoutMs for the first (with 0, returns at once). Writes are
// never used. Nothing is asked of the driver when they are set already.
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

// How many bytes the driver has buffered, in *count; false when the port no longer
// answers for its state. A device that is gone (unplugged, hung up) fails
// this, and no read waits on it. Some ports do not fail their reads once
// gone but return nothing until the wait is over (Wine on a terminal whose
// other end closed, busy all the while): this catches them after one wait.
// Clears line errors as a side effect.
bool Waiting(SerialPort *port, DWORD *count) {
  DWORD errors = 0;
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  if (ClearCommError(port->handle, &errors, &status) == 0) {
    return false;
  }
  *count = status.cbInQue;
  return true;
}

// Reads count bytes the driver has buffered (so it does not wait): the count read,
// or kSerialFailed when the port failed.
long ReadBuffered(SerialPort *port, uint8_t *buffer, DWORD count) {
  DWORD got = 0;
  if (!ReadFile(port->handle, buffer, count, &got, nullptr)) {
    return kSerialFailed;
  }
  return static_cast<long>(got);
}

}  // namespace

SerialPort *SerialOpen(const char *name, int baud, const SerialDevice *lost, SerialDevice *device,
                       Failure *failure) {
  // Windows gives each adapter a COM number of its own and keeps it, so the
  // name that comes back after an unplug is the device that was lost: there
  // is nothing more to tell it by.
  (void)lost;
  device->path.clear();
  if (name == nullptr || name[0] == '\0' || baud <= 0) {
    failure->error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  const std::string deviceName = DeviceName(name);
  // Share mode 0: no other handle to the port while we hold it. Windows
  // drops the hold with the handle, however the process ends.
  const HANDLE handle = CreateFileA(deviceName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    failure->error = static_cast<int>(GetLastError());
    return nullptr;
  }
  SerialPort *port = new (std::nothrow) SerialPort;
  if (port == nullptr) {
    failure->error = ERROR_NOT_ENOUGH_MEMORY;
    (void)CloseHandle(handle);
    return nullptr;
  }
  port->handle = handle;
  port->timeoutsSet = false;
  port->readTimeoutMs = 0;
  port->lineSaved = false;
  // GetCommState inside SetLine fails on anything but a serial port.
  if (!SetLine(port, baud) || !SetReadWait(port, 0)) {
    failure->error = static_cast<int>(GetLastError());
    SerialClose(port);
    return nullptr;
  }
  device->link.clear();
  device->identity = deviceName;
  return port;
}

void SerialClose(SerialPort *port) {
  if (port == nullptr) {
    return;
  }
  // The line as it was found; this fails only for a device gone already.
  if (port->lineSaved) {
    (void)SetCommState(port->handle, &port->line);
  }
  // The handle is gone even when CloseHandle reports an error.
  (void)CloseHandle(port->handle);
  delete port;
}

long SerialRead(SerialPort *port, uint8_t *buffer, size_t capacity, int timeoutMs,
                Failure *failure) {
  Failure ignored;
  if (failure == nullptr) {
    failure = &ignored;
  }
  const DWORD want = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(capacity);
  if (want == 0) {
    return 0;
  }
  const DWORD whole = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0;
  const int64_t deadline = MonotonicMs() + whole;
  DWORD wait = whole;
  bool returnedEarly = false;
  for (;;) {
    DWORD buffered = 0;
    if (!Waiting(port, &buffered)) {
      failure->error = static_cast<int>(GetLastError());
      return kSerialFailed;
    }
    if (buffered > 0) {
      const long got = ReadBuffered(port, buffer, buffered < want ? buffered : want);
      if (got < 0) {
        failure->error = static_cast<int>(GetLastError());
      }
      return got;
    }
    if (wait == 0 || deadline - MonotonicMs() <= 0) {
      return 0;  // no time to wait, and nothing there
    }
    DWORD got = 0;
    if (!SetReadWait(port, wait) || !ReadFile(port->handle, buffer, 1, &got, nullptr)) {
      // An unplugged adapter fails its reads (ERROR_ACCESS_DENIED,
      // ERROR_DEVICE_NOT_CONNECTED, ...): the device is gone.
      failure->error = static_cast<int>(GetLastError());
      return kSerialFailed;
    }
    if (got > 0) {
      // Should the port fail right after its first byte, that byte still
      // counts; the failure shows again on the next read.
      DWORD more = 0;
      if (want == 1 || !Waiting(port, &more) || more == 0) {
        return 1;
      }
      const long rest = ReadBuffered(port, buffer + 1, more < want - 1 ? more : want - 1);
      return rest > 0 ? 1 + rest : 1;
    }
    const int64_t left = deadline - MonotonicMs();
    if (left <= kTickSlackMs) {
      // The wait is over. A device that went away during it may have ended
      // it with nothing read: that is told now, not after another wait.
      if (!Waiting(port, &buffered)) {
        failure->error = static_cast<int>(GetLastError());
        return kSerialFailed;
      }
      return 0;
    }
    // Nothing read, yet well before the time was up. Once may be a line
    // error; a port that keeps returning at once would have the caller spin:
    // it is no working port, and is reported as failed so the caller reopens
    // it at its own pace.
    if (returnedEarly) {
      failure->refusal = "reads return at once with nothing";
      return kSerialFailed;
    }
    returnedEarly = true;
    wait = static_cast<DWORD>(left);
  }
}

size_t SerialWaiting(SerialPort *port) {
  DWORD errors = 0;
  COMSTAT status;
  if (!ClearCommError(port->handle, &errors, &status)) {
    return 0;
  }
  return status.cbInQue;
}

}  // namespace tg
