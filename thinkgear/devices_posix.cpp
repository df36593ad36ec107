// How the POSIX back end finds and knows its devices
// (thinkgear/devices_posix.h). docs/ports.md tells the rules.
#include "thinkgear/devices_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace tg {

namespace {

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

TerminalKind KindOfDevice(unsigned majorNumber, unsigned minorNumber) {
  // The list is small (a line per driver); more than this is not it.
  const int fd = open("/proc/tty/drivers", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return TerminalKind::kUnknown;
  }
  std::string text;
  char chunk[4096];
  ssize_t got;
  while (text.size() < 65536 && (got = read(fd, chunk, sizeof chunk)) != 0) {
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
  (void)close(fd);
  // A line per driver: its name, its nodes' name, the major number, the
  // minor numbers ("64" or "0-255") and its kind ("serial", "pty:slave",
  // "pty:master", "system:/dev/tty", ...), the last three read from the end.
  bool listed = false;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::istringstream line(text.substr(start, end - start));
    std::vector<std::string> words;
    for (std::string word; line >> word;) {
      words.push_back(word);
    }
    start = end + 1;
    unsigned long major = 0;
    unsigned long first = 0;
    unsigned long last = 0;
    char rest = 0;
    if (words.size() < 5 ||
        std::sscanf(words[words.size() - 3].c_str(), "%lu%c", &major, &rest) != 1) {
      continue;
    }
    const std::string &minors = words[words.size() - 2];
    const int fields = std::sscanf(minors.c_str(), "%lu-%lu%c", &first, &last, &rest);
    if (fields == 1) {
      last = first;
    } else if (fields != 2) {
      continue;
    }
    listed = true;
    if (major == majorNumber && minorNumber >= first && minorNumber <= last) {
      return words.back().compare(0, 10, "pty:master") == 0 ? TerminalKind::kPseudoMaster
                                                            : TerminalKind::kTerminal;
    }
  }
  return listed ? TerminalKind::kNone : TerminalKind::kUnknown;
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

}  // namespace tg
