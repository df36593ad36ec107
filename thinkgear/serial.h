// The serial back end: what both serial_posix.cpp and serial_win32.cpp
// provide. (How the POSIX one finds its devices: thinkgear/devices_posix.h.)
#ifndef NICTATE_THINKGEAR_SERIAL_H
#define NICTATE_THINKGEAR_SERIAL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "thinkgear/os.h"

namespace tg {

struct SerialPort;  // defined by the back end

// What a port's device is, noted when it opens: once the device is lost, a
// connection takes again only that device (docs/ports.md).
struct SerialDevice {
  // POSIX: the device path the name led to, where the port map's link
  // points as it is written there (set also when the open fails past the
  // name); empty on Windows, where the name is the device.
  std::string path;
  // POSIX: the port map's link the name went through, as it was then (its
  // inode, change time and target); empty for a device path.
  std::string link;
  // What the device is (its adapter or remote device, from sysfs); empty for
  // one that cannot come back once lost, a pseudo-terminal.
  std::string identity;
};

// Opens the named port raw at the given rate with 8 data bits, no parity and
// one stop bit, held so that no second program using this library can take
// it (docs/ports.md). With `lost` given, only the device it describes is
// taken: a connection reopening the port whose device it lost (a COM name
// the scan numbered is tried at the device path it stood for). On success
// *device describes what was opened. Returns null when the name does not
// resolve to a device that opens as a serial port, or the port is refused,
// with *failure saying why: the OS's code where the OS refused, else the
// library's own refusal (no such port, not a serial port, a session's
// controlling terminal, held by another, not the device that was lost).
SerialPort *SerialOpen(const char *name, int baud, const SerialDevice *lost, SerialDevice *device,
                       Failure *failure);

// Closes the port, giving it back as it was found (its terminal settings,
// and no exclusive mode), and frees it.
void SerialClose(SerialPort *port);

// SerialRead's result when the device is gone or failed.
const long kSerialFailed = -1;

// Waits in the OS up to timeoutMs for bytes and reads what is there, up to
// capacity. Returns the count read (> 0), 0 when the time ran out with no
// byte, or kSerialFailed, with *failure (where given) saying why.
long SerialRead(SerialPort *port, uint8_t *buffer, size_t capacity, int timeoutMs,
                Failure *failure = nullptr);

// How many bytes have arrived at the port and wait to be read (0 when the
// port cannot tell).
size_t SerialWaiting(SerialPort *port);

}  // namespace tg

#endif
