// Serial ports on Linux and other POSIX systems.
//
// Port names: "\\.\COMn" and "COMn" go through the port map, a directory of
// "comN" symbolic links to device paths, as in a Wine prefix's dosdevices.
// The map's directory is $NICTATE_PORTS, else $XDG_CONFIG_HOME/nictate/ports
// (~/.config/nictate/ports). Where that directory exists it is the whole map.
// Where it does not, COM1 upward are the serial devices present, in the
// order of PresentSerialDevices (devices_posix.h), and COM0 is no port. A name that
// starts with "/" is a device path and is opened as it is.
//
// What is refused, how a port is held and given back, and how a lost device
// is told from another at its path: docs/ports.md.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "thinkgear/devices_posix.h"
#include "thinkgear/port_name.h"
#include "thinkgear/serial.h"

namespace tg {

struct SerialPort {
  int fd;
  struct termios found;  // the terminal's settings before we changed them
  bool exclusive;        // we put the terminal in exclusive mode (TIOCEXCL)
};

namespace {

// The device path a port name stands for; empty when it names no port,
// with *why saying so. *link is the port map's link it went through, or
// empty.
std::string DevicePath(const DeviceTrees &trees, const char *name, std::string *link,
                       std::string *why) {
  link->clear();
  if (name[0] == '/') {
    return name;
  }
  const int number = ComNumber(name);
  if (number < 0) {
    *why = "no such port";
    return std::string();
  }
  const std::string map = PortMapDirectory();
  struct stat info;
  if (!map.empty() && stat(map.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    const std::string entry = "com" + std::to_string(number);
    *link = map + "/" + entry;
    if (lstat(link->c_str(), &info) != 0) {
      link->clear();
      *why = "no such port (no " + entry + " in the port map " + map + ")";
      return std::string();
    }
    return *link;
  }
  const std::vector<std::string> present = PresentSerialDevices(trees);
  if (number == 0 || static_cast<size_t>(number) > present.size()) {
    *why = "no such port (" +
           (present.empty() ? std::string("no serial device")
                            : std::to_string(present.size()) +
                                  (present.size() == 1 ? " serial device" : " serial devices")) +
           " found, no port map)";
    return std::string();
  }
  return present[number - 1];
}

// Where a port map link points, as it is written there (the link itself
// when it cannot be read).
std::string LinkTarget(const std::string &link) {
  char target[PATH_MAX];
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  return length < 0 ? link : std::string(target, static_cast<size_t>(length));
}

// A port map link as it is now: its inode, change time and target. A link
// made anew (the user's, or a simulator that publishes a port) differs from
// the one it replaced even when it names the same path.
std::string LinkState(const std::string &link) {
  struct stat info;
  char target[PATH_MAX];
  if (lstat(link.c_str(), &info) != 0) {
    return std::string();
  }
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length < 0) {
    return std::string();
  }
  target[length] = '\0';
  return std::to_string(info.st_ino) + " " + std::to_string(info.st_ctim.tv_sec) + "." +
         std::to_string(info.st_ctim.tv_nsec) + " " + target;
}

bool SpeedOf(int baud, speed_t *speed) {
  switch (baud) {
    case 1200:
      *speed = B1200;
      return true;
    case 2400:
      *speed = B2400;
      return true;
    case 4800:
      *speed = B4800;
      return true;
    case 9600:
      *speed = B9600;
      return true;
    case 57600:
      *speed = B57600;
      return true;
    case 115200:
      *speed = B115200;
      return true;
    default:
      return false;
  }
}

bool MakeRaw(int fd, int baud) {
  speed_t speed;
  if (!SpeedOf(baud, &speed)) {
    return false;
  }
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) {
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
    return false;
  }
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

SerialPort *SerialOpen(const char *name, int baud, const SerialDevice *lost, SerialDevice *device,
                       Failure *failure) {
  return SerialOpenIn(DeviceTrees(), name, baud, lost, device, failure);
}

SerialPort *SerialOpenIn(const DeviceTrees &trees, const char *name, int baud,
                         const SerialDevice *lost, SerialDevice *device, Failure *failure) {
  std::string link;
  std::string path;
  if (lost != nullptr && lost->link.empty() && !lost->path.empty()) {
    // A device path, or a COM name the scan numbered: the device that was
    // lost is looked for where it was, whatever the numbers are now.
    path = lost->path;
  } else {
    path = DevicePath(trees, name, &link, &failure->refusal);
    if (path.empty()) {
      device->path.clear();
      return nullptr;
    }
  }
  device->path = link.empty() ? path : LinkTarget(link);
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    failure->error = errno;
    return nullptr;
  }
  // What is there is judged before it is opened: only a terminal is
  // opened, since opening another device can set it going (a watchdog) or
  // take what it holds (the kernel's messages); the master side of
  // pseudo-terminals (/dev/ptmx) is no port, and opening it would make a
  // new pair; and after an unplug, only the device that was lost is taken
  // again (where the map's link is the one it was, what is behind it must
  // be the same device, and a lost pseudo-terminal never comes back).
  const unsigned majorNumber = major(info.st_rdev);
  const unsigned minorNumber = minor(info.st_rdev);
  const TerminalKind kind =
      S_ISCHR(info.st_mode) ? KindOfDevice(majorNumber, minorNumber) : TerminalKind::kNone;
  if (kind == TerminalKind::kNone) {
    failure->refusal = "not a serial port";
    return nullptr;
  }
  if (kind == TerminalKind::kUnknown) {
    failure->refusal = "cannot tell whether it is a terminal (no /proc/tty/drivers)";
    return nullptr;
  }
  if (kind == TerminalKind::kPseudoMaster || (majorNumber == 5 && minorNumber == 2)) {
    failure->refusal = "a pseudo-terminal master, not a serial port";
    return nullptr;
  }
  const bool pseudo = IsPseudoTerminal(majorNumber);
  SerialDevice now;
  now.path = device->path;
  now.link = link.empty() ? std::string() : LinkState(link);
  if (!pseudo) {
    now.identity = SysfsIdentity(trees.sys, majorNumber, minorNumber);
    if (now.identity.empty()) {
      now.identity = "device " + std::to_string(majorNumber) + ":" + std::to_string(minorNumber);
    }
  }
  const bool remapped = lost != nullptr && !lost->link.empty() && now.link != lost->link;
  if (lost != nullptr && !remapped && (now.identity.empty() || now.identity != lost->identity)) {
    failure->refusal = "not the device that was lost";
    return nullptr;
  }
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    failure->error = errno;
    return nullptr;
  }
  // Nothing of the terminal is changed until it is known to be one we may
  // take; from then on, every failure gives it back as it was.
  const dev_t judged = info.st_rdev;
  int ptyNumber = 0;
  unsigned terminal = 0;
  struct termios found;
  if (isatty(fd) != 1) {
    failure->refusal = "not a serial port";
  } else if (fstat(fd, &info) != 0 || info.st_rdev != judged) {
    failure->refusal = "changed while it was opened";
  } else if (ioctl(fd, TIOCGPTN, &ptyNumber) == 0) {
    failure->refusal = "a pseudo-terminal master, not a serial port";
  } else {
    // The terminal itself, for names that stand for another (/dev/tty,
    // /dev/console).
    dev_t real = info.st_rdev;
#ifdef TIOCGDEV
    if (ioctl(fd, TIOCGDEV, &terminal) == 0) {
      real = static_cast<dev_t>(terminal);
    }
#endif
    if (IsControllingTerminal(major(real), minor(real))) {
      failure->refusal = "a session's terminal (a shell's or a login's)";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      // The lock holds against any process, root's too, and goes with the
      // descriptor however the process ends.
      if (errno == EWOULDBLOCK) {
        failure->refusal = "held by another program or connection using this library";
      } else {
        failure->error = errno;
      }
    } else if (tcgetattr(fd, &found) != 0) {
      failure->error = errno;
    } else {
      SerialPort *port = new (std::nothrow) SerialPort;
      if (port == nullptr) {
        failure->error = ENOMEM;
        (void)close(fd);
        return nullptr;
      }
      port->fd = fd;
      port->found = found;
      // Exclusive mode keeps out programs that take no lock, but it belongs
      // to the terminal, not to our descriptor: a pseudo-terminal whose
      // other side stays open would keep it after we are gone, however we
      // end (SIGKILL too), and shut out the next run. A device terminal
      // drops it with its last close. So pseudo-terminals are held by the
      // lock alone.
      port->exclusive = !pseudo;
      if (port->exclusive && ioctl(fd, TIOCEXCL) != 0) {
        failure->error = errno;
        port->exclusive = false;
        SerialClose(port);
        return nullptr;
      }
      errno = EINVAL;  // for a rate the terminal does not know
      if (!MakeRaw(fd, baud)) {
        failure->error = errno;
        SerialClose(port);
        return nullptr;
      }
      *device = now;
      return port;
    }
  }
  (void)close(fd);
  return nullptr;
}

void SerialClose(SerialPort *port) {
  if (port == nullptr) {
    return;
  }
  // Each of these can fail only for a device that is gone already; the
  // lock goes with the close, which releases the descriptor even when it
  // reports an error.
  (void)tcsetattr(port->fd, TCSANOW, &port->found);
  if (port->exclusive) {
    (void)ioctl(port->fd, TIOCNXCL);
  }
  (void)close(port->fd);
  delete port;
}

long SerialRead(SerialPort *port, uint8_t *buffer, size_t capacity, int timeoutMs,
                Failure *failure) {
  Failure ignored;
  if (failure == nullptr) {
    failure = &ignored;
  }
  const int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    struct pollfd pfd = {port->fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      failure->error = errno;
      return kSerialFailed;
    }
    if (ready == 0) {
      return 0;
    }
    if ((pfd.revents & POLLNVAL) != 0) {
      failure->error = EBADF;
      return kSerialFailed;
    }
    const ssize_t got = read(port->fd, buffer, capacity);
    if (got > 0) {
      return static_cast<long>(got);
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (left <= 0) {
        return 0;
      }
      continue;
    }
    // End of file or EIO: the far end hung up or the device went away.
    if (got == 0) {
      failure->refusal = "hung up";
    } else {
      failure->error = errno;
    }
    return kSerialFailed;
  }
}

size_t SerialWaiting(SerialPort *port) {
  int waiting = 0;
  if (ioctl(port->fd, FIONREAD, &waiting) != 0 || waiting < 0) {
    return 0;
  }
  return static_cast<size_t>(waiting);
}

}  // namespace tg
