// Serial ports on Linux and other POSIX systems.
//
// Port names: "\\.\COMn" and "COMn" go through the port map, a directory of
// "comN" symbolic links to device paths, as in a Wine prefix's dosdevices.
// The map's directory is $NICTATE_PORTS, else $XDG_CONFIG_HOME/nictate/ports
// (~/.config/nictate/ports). Where that directory exists it is the whole map.
// Where it does not, COM1 upward are the serial devices present, in the
// order of PresentSerialDevices (serial.h), and COM0 is no port. A name that
// starts with "/" is a device path and is opened as it is.
//
// What is refused, how a port is held and given back, and how a lost device
// is told from another at its path: docs/ports.md.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "thinkgear/serial.h"

namespace tg {

struct SerialPort {
  int fd;
  struct termios found;  // the terminal's settings before we changed them
  bool exclusive;        // we put the terminal in exclusive mode (TIOCEXCL)
};

namespace {

bool StartsWithNoCase(const char *text, const char *prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text == '\0' || (*text | 0x20) != (*prefix | 0x20)) {
      return false;
    }
  }
  return true;
}

// The COM number of "\\.\COMn" or "COMn" (case ignored), or -1.
int ComNumber(const char *name) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) {
    name += 4;
  }
  if (!StartsWithNoCase(name, "COM")) {
    return -1;
  }
  name += 3;
  const size_t digits = std::strspn(name, "0123456789");
  if (digits == 0 || digits > 3 || name[digits] != '\0') {
    return -1;
  }
  return std::atoi(name);
}

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

// The kinds of serial device numbered where there is no port map, in COM
// order: a headset's likely devices first.
const char *const kScannedKinds[] = {"rfcomm", "ttyUSB", "ttyACM", "ttyS"};

// The number after a kind's prefix ("ttyUSB12": 12), or -1 when the rest
// of the name is not a plain number.
long DeviceNumber(const char *name, const char *kind) {
  const size_t prefix = std::strlen(kind);
  if (std::strncmp(name, kind, prefix) != 0) {
    return -1;
  }
  name += prefix;
  const size_t digits = std::strspn(name, "0123456789");
  if (digits == 0 || digits > 6 || name[digits] != '\0' || (name[0] == '0' && digits > 1)) {
    return -1;
  }
  return std::atol(name);
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

// The first line of a small text file, without its line end; empty when it
// cannot be read.
std::string ReadLine(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::string();
  }
  char text[256];
  const ssize_t got = read(fd, text, sizeof text - 1);
  (void)close(fd);
  if (got <= 0) {
    return std::string();
  }
  text[got] = '\0';
  return std::string(text, std::strcspn(text, "\n"));
}

// Pseudo-terminal slaves: /dev/pts/N (majors 136 to 143) and the old BSD
// ttyXY (major 3). Their pair is gone for good once lost, and the number
// comes back as another terminal.
bool IsPseudoTerminal(unsigned majorNumber) {
  return (majorNumber >= 136 && majorNumber <= 143) || majorNumber == 3;
}

// Whether the terminal is some session's controlling terminal: a process has
// it as its own (the tty_nr field of /proc/PID/stat), as a shell's terminal
// or a login on a serial line is. Reading it would take that session's
// input. Without /proc there is nothing to tell by, and no terminal is taken
// for one.
bool IsControllingTerminal(unsigned majorNumber, unsigned minorNumber) {
  // The kernel's encoding of a device number in tty_nr.
  const unsigned long wanted =
      (minorNumber & 0xFFu) | (majorNumber << 8) | ((minorNumber & ~0xFFu) << 12);
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return false;
  }
  bool found = false;
  while (!found) {
    const struct dirent *entry = readdir(proc);
    if (entry == nullptr) {
      break;
    }
    if (entry->d_name[0] == '\0' ||
        entry->d_name[std::strspn(entry->d_name, "0123456789")] != '\0') {
      continue;
    }
    const std::string path = std::string("/proc/") + entry->d_name + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      continue;  // gone meanwhile
    }
    char text[512];
    const ssize_t got = read(fd, text, sizeof text - 1);
    (void)close(fd);
    if (got <= 0) {
      continue;
    }
    text[got] = '\0';
    // After the name in parentheses: state, parent, group, session, tty_nr.
    const char *afterName = std::strrchr(text, ')');
    char state = 0;
    long parent = 0;
    long group = 0;
    long session = 0;
    long tty = 0;
    if (afterName != nullptr &&
        std::sscanf(afterName + 1, " %c %ld %ld %ld %ld", &state, &parent, &group, &session,
                    &tty) == 5 &&
        tty > 0 && static_cast<unsigned long>(tty) == wanted) {
      found = true;
    }
  }
  (void)closedir(proc);
  return found;
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

std::string PortMapDirectory(void) {
  const char *ports = std::getenv("NICTATE_PORTS");
  if (ports != nullptr && ports[0] != '\0') {
    return ports;
  }
  const char *config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] != '\0') {
    return std::string(config) + "/nictate/ports";
  }
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.config/nictate/ports";
  }
  return std::string();
}

std::string SysfsIdentity(const std::string &sysfs, unsigned majorNumber, unsigned minorNumber) {
  const std::string entry =
      sysfs + "/dev/char/" + std::to_string(majorNumber) + ":" + std::to_string(minorNumber);
  char resolved[PATH_MAX];
  if (realpath(entry.c_str(), resolved) == nullptr) {
    return std::string();
  }
  const std::string device = resolved;
  // A Bluetooth serial terminal names the remote device and its channel.
  const std::string address = ReadLine(device + "/address");
  if (!address.empty()) {
    return "bluetooth " + address + " channel " + ReadLine(device + "/channel");
  }
  // A USB adapter: the first directory above the terminal that has the
  // maker's id is the USB device.
  char top[PATH_MAX];
  const std::string devices = sysfs + "/devices";
  const std::string stop = realpath(devices.c_str(), top) != nullptr ? top : devices;
  for (std::string dir = device; dir.size() > stop.size() && dir.compare(0, stop.size(), stop) == 0;
       dir.erase(dir.rfind('/'))) {
    const std::string vendor = ReadLine(dir + "/idVendor");
    if (vendor.empty()) {
      continue;
    }
    const std::string model = "usb " + vendor + ":" + ReadLine(dir + "/idProduct");
    const std::string serial = ReadLine(dir + "/serial");
    // Without a serial number, two adapters of one model differ only by
    // the USB port they are in: the last part of the directory's name.
    return serial.empty() ? model + " port " + dir.substr(dir.rfind('/') + 1)
                          : model + " serial " + serial;
  }
  return "device " + device.substr(stop.size());
}

std::vector<std::string> PresentSerialDevices(const DeviceTrees &trees) {
  DIR *dir = opendir(trees.dev.c_str());
  if (dir == nullptr) {
    return std::vector<std::string>();
  }
  // The kernel's consoles: "tty0 ttyS0" for a serial console beside the
  // screen's.
  const std::string consoles = " " + ReadLine(trees.sys + "/class/tty/console/active") + " ";
  struct Found {
    size_t kind;
    long number;
    std::string path;
  };
  std::vector<Found> found;
  for (;;) {
    const struct dirent *entry = readdir(dir);
    if (entry == nullptr) {
      break;
    }
    const std::string name = entry->d_name;
    for (size_t kind = 0; kind < sizeof kScannedKinds / sizeof kScannedKinds[0]; ++kind) {
      const long number = DeviceNumber(name.c_str(), kScannedKinds[kind]);
      if (number < 0) {
        continue;
      }
      const std::string path = trees.dev + "/" + name;
      struct stat info;
      if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) ||
          consoles.find(" " + name + " ") != std::string::npos) {
        break;
      }
      // Linux makes ttyS nodes whether or not a UART is there (ttyS0 to
      // ttyS3, or to ttyS31); sysfs tells the port type, 0 for none.
      const std::string type = std::strcmp(kScannedKinds[kind], "ttyS") == 0
                                   ? ReadLine(trees.sys + "/class/tty/" + name + "/type")
                                   : std::string();
      if (!type.empty() && std::strspn(type.c_str(), "0") == type.size()) {
        break;
      }
      found.push_back({kind, number, path});
      break;
    }
  }
  (void)closedir(dir);
  std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
    return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
  });
  std::vector<std::string> paths;
  for (const Found &f : found) {
    paths.push_back(f.path);
  }
  return paths;
}

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
  // What is there is judged before it is opened: the master side of
  // pseudo-terminals (/dev/ptmx) is no port, and opening it would make a
  // new pair; and after an unplug, only the device that was lost is taken
  // again (where the map's link is the one it was, what is behind it must
  // be the same device, and a lost pseudo-terminal never comes back).
  const unsigned majorNumber = major(info.st_rdev);
  const unsigned minorNumber = minor(info.st_rdev);
  if (!S_ISCHR(info.st_mode)) {
    failure->refusal = "not a serial port";
    return nullptr;
  }
  if (majorNumber == 5 && minorNumber == 2) {
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
      return -1;
    }
    if (ready == 0) {
      return 0;
    }
    if ((pfd.revents & POLLNVAL) != 0) {
      failure->error = EBADF;
      return -1;
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
    return -1;
  }
}

size_t SerialWaiting(SerialPort *port) {
  int waiting = 0;
  if (ioctl(port->fd, FIONREAD, &waiting) != 0 || waiting < 0) {
    return 0;
  }
  return static_cast<size_t>(waiting);
}

void SerialPause(int milliseconds) {
  struct timespec left;
  left.tv_sec = milliseconds / 1000;
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int64_t MonotonicMs(void) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return 0;
  }
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace tg
