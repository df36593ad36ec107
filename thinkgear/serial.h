// The serial back end: one file per OS (serial_posix.cpp, serial_win32.cpp).
#ifndef NICTATE_THINKGEAR_SERIAL_H
#define NICTATE_THINKGEAR_SERIAL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tg {

struct SerialPort;  // defined by the back end

// Opens the named port raw at the given rate with 8 data bits, no parity and
// one stop bit, exclusively (no second program can take it). Returns null
// when the name does not resolve to a device that opens as a serial port.
SerialPort *SerialOpen(const char *name, int baud);

// Closes the port and frees it.
void SerialClose(SerialPort *port);

// Waits in the OS up to timeoutMs for bytes and reads what is there, up to
// capacity. Returns the count read (> 0), 0 when the time ran out with no
// byte, or -1 when the device is gone or failed.
long SerialRead(SerialPort *port, uint8_t *buffer, size_t capacity, int timeoutMs);

// Blocks the calling thread for the given milliseconds.
void SerialPause(int milliseconds);

// POSIX only: the directory of the port map, whose comN links name the
// devices of COM ports ($NICTATE_PORTS, else $XDG_CONFIG_HOME/nictate/ports,
// else ~/.config/nictate/ports); empty when none of these is set.
std::string PortMapDirectory(void);

// A monotonic clock in milliseconds, for read deadlines.
int64_t MonotonicMs(void);

}  // namespace tg

#endif
