// The serial back end: one file per OS (serial_posix.cpp, serial_win32.cpp).
#ifndef NICTATE_THINKGEAR_SERIAL_H
#define NICTATE_THINKGEAR_SERIAL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// Waits in the OS up to timeoutMs for bytes and reads what is there, up to
// capacity. Returns the count read (> 0), 0 when the time ran out with no
// byte, or -1 when the device is gone or failed, with *failure (where
// given) saying why.
long SerialRead(SerialPort *port, uint8_t *buffer, size_t capacity, int timeoutMs,
                Failure *failure = nullptr);

// How many bytes have arrived at the port and wait to be read (0 when the
// port cannot tell).
size_t SerialWaiting(SerialPort *port);

// Blocks the calling thread for the given milliseconds.
void SerialPause(int milliseconds);

// POSIX only: where the library looks for serial devices and what it
// knows of them: /dev and /sys, other trees in tests.
struct DeviceTrees {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// POSIX only: SerialOpen with the devices and sysfs of `trees`.
SerialPort *SerialOpenIn(const DeviceTrees &trees, const char *name, int baud,
                         const SerialDevice *lost, SerialDevice *device, Failure *failure);

// POSIX only: the serial devices present, as the paths COM1 upward stand
// for where there is no port map: the Bluetooth terminals rfcomm*, then
// the USB ones ttyUSB* and ttyACM*, then ttyS*, each kind in the order of
// its numbers. A ttyS* counts only where sysfs knows a UART behind it (its
// type is not 0, unknown) or cannot tell; a device that is a console of
// the kernel's (/sys/class/tty/console/active) never counts.
std::vector<std::string> PresentSerialDevices(const DeviceTrees &trees);

// POSIX only: the directory of the port map, whose comN links name the
// devices of COM ports ($NICTATE_PORTS, else $XDG_CONFIG_HOME/nictate/ports,
// else ~/.config/nictate/ports); empty when none of these is set.
std::string PortMapDirectory(void);

// POSIX only: what the character device major:minor is, by the kernel's
// list of its terminal drivers (/proc/tty/drivers), which tells it without
// opening it: no terminal, a terminal, a pseudo-terminal master; or
// unknown, where the list cannot be read.
enum class TerminalKind { kNone, kTerminal, kPseudoMaster, kUnknown };
TerminalKind KindOfDevice(unsigned majorNumber, unsigned minorNumber);

// POSIX only: whether a terminal device is a pseudo-terminal's slave side
// (a pair gone for good once lost, whose number comes back as another
// terminal).
bool IsPseudoTerminal(unsigned majorNumber);

// POSIX only: whether the terminal is some session's controlling terminal
// (a shell's, or a login's on a serial line): reading it would take that
// session's input. False where /proc cannot tell.
bool IsControllingTerminal(unsigned majorNumber, unsigned minorNumber);

// POSIX only: what the terminal device major:minor is, read from the sysfs
// tree at `sysfs` (/sys): the remote address and channel of a Bluetooth
// terminal, the maker, model and serial number of a USB adapter (or the USB
// port it is in, for one without a serial number), else the device's place
// in the tree. Empty when sysfs does not know the device.
std::string SysfsIdentity(const std::string &sysfs, unsigned majorNumber, unsigned minorNumber);

// A monotonic clock in milliseconds, for read deadlines.
int64_t MonotonicMs(void);

}  // namespace tg

#endif
