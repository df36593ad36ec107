// How the POSIX serial back end finds and knows its devices: which serial
// devices are present (numbered as COM ports where there is no port map),
// the port map, which devices are terminals, which terminal is some
// session's, and what a device is (from sysfs), so that only a lost device
// is taken again. docs/ports.md tells the rules.
#ifndef NICTATE_THINKGEAR_DEVICES_POSIX_H
#define NICTATE_THINKGEAR_DEVICES_POSIX_H

#include <string>
#include <vector>

#include "thinkgear/serial.h"

namespace tg {

// Where the library looks for serial devices and what it knows of them:
// /dev and /sys, other trees in tests.
struct DeviceTrees {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// SerialOpen with the devices and sysfs of `trees`.
SerialPort *SerialOpenIn(const DeviceTrees &trees, const char *name, int baud,
                         const SerialDevice *lost, SerialDevice *device, Failure *failure);

// The serial devices present, as the paths COM1 upward stand for where
// there is no port map: the Bluetooth terminals rfcomm*, then the USB ones
// ttyUSB* and ttyACM*, then ttyS*, each kind in the order of its numbers. A
// ttyS* counts only where sysfs knows a UART behind it (its type is not 0,
// unknown) or cannot tell; a device that is a console of the kernel's
// (/sys/class/tty/console/active) never counts.
std::vector<std::string> PresentSerialDevices(const DeviceTrees &trees);

// The directory of the port map, whose comN links name the devices of COM
// ports ($NICTATE_PORTS, else $XDG_CONFIG_HOME/nictate/ports, else
// ~/.config/nictate/ports); empty when none of these is set.
std::string PortMapDirectory(void);

// What the character device major:minor is, by the kernel's list of its
// terminal drivers (/proc/tty/drivers), which tells it without opening it:
// no terminal, a terminal, a pseudo-terminal master; or unknown, where the
// list cannot be read.
enum class TerminalKind { kNone, kTerminal, kPseudoMaster, kUnknown };
TerminalKind KindOfDevice(unsigned majorNumber, unsigned minorNumber);

// Whether a terminal device is a pseudo-terminal's slave side (a pair gone
// for good once lost, whose number comes back as another terminal).
bool IsPseudoTerminal(unsigned majorNumber);

// Whether the terminal is some session's controlling terminal (a shell's,
// or a login's on a serial line): reading it would take that session's
// input. False where /proc cannot tell.
bool IsControllingTerminal(unsigned majorNumber, unsigned minorNumber);

// What the terminal device major:minor is, read from the sysfs tree at
// `sysfs` (/sys): the remote address and channel of a Bluetooth terminal,
// the maker, model and serial number of a USB adapter (or the USB port it
// is in, for one without a serial number), else the device's place in the
// tree. Empty when sysfs does not know the device.
std::string SysfsIdentity(const std::string &sysfs, unsigned majorNumber, unsigned minorNumber);

}  // namespace tg

#endif
