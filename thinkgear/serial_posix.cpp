// Serial ports on Linux and other POSIX systems.
//
// Port names: "\\.\COMn" and "COMn" go through the port map, a directory of
// "comN" symbolic links to device paths, as in a Wine prefix's dosdevices.
// The map's directory is $NICTATE_PORTS, else $XDG_CONFIG_HOME/nictate/ports
// (~/.config/nictate/ports). Where that directory exists it is the whole map.
// Where it does not, COMn is /dev/ttyS(n-1) and COM0 is no port. A name that
// starts with "/" is a device path and is opened as it is.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "thinkgear/serial.h"

namespace tg {

struct SerialPort {
  int fd;
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

// The device path a port name stands for; empty when it names no port.
std::string DevicePath(const char *name) {
  if (name[0] == '/') {
    return name;
  }
  const int number = ComNumber(name);
  if (number < 0) {
    return std::string();
  }
  const std::string map = PortMapDirectory();
  struct stat info;
  if (!map.empty() && stat(map.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    const std::string link = map + "/com" + std::to_string(number);
    return lstat(link.c_str(), &info) == 0 ? link : std::string();
  }
  if (number == 0) {
    return std::string();
  }
  return "/dev/ttyS" + std::to_string(number - 1);
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

SerialPort *SerialOpen(const char *name, int baud) {
  const std::string path = DevicePath(name);
  if (path.empty()) {
    return nullptr;
  }
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return nullptr;
  }
  // A terminal device, not held by another program (the lock holds against
  // any process, root's too), and kept from other openers while we hold it.
  const bool ok = isatty(fd) == 1 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                  ioctl(fd, TIOCEXCL) == 0 && MakeRaw(fd, baud);
  if (!ok) {
    (void)close(fd);
    return nullptr;
  }
  SerialPort *port = new (std::nothrow) SerialPort;
  if (port == nullptr) {
    (void)close(fd);
    return nullptr;
  }
  port->fd = fd;
  return port;
}

void SerialClose(SerialPort *port) {
  if (port == nullptr) {
    return;
  }
  // The exclusive mode belongs to the terminal, not to our descriptor: it
  // would outlast us wherever the terminal stays open (a pseudo-terminal's
  // other side), and shut others out, even this library reconnecting. It
  // can fail only for a device gone already; the lock goes with the close.
  (void)ioctl(port->fd, TIOCNXCL);
  // The descriptor is released even when close reports an error.
  (void)close(port->fd);
  delete port;
}

long SerialRead(SerialPort *port, uint8_t *buffer, size_t capacity, int timeoutMs) {
  const int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    struct pollfd pfd = {port->fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (ready == 0) {
      return 0;
    }
    if ((pfd.revents & POLLNVAL) != 0) {
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
    return -1;
  }
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
