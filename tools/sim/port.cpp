#include "tools/sim/port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "tools/pty.h"
#include "tools/sim/say.h"

namespace sim {

namespace {

// A new pseudo-terminal, raw 8N1 so that every byte passes unchanged. It is
// not made exclusive (TIOCEXCL): that is the opener's to set.
bool OpenPty(Port *port) {
  tools::RawPty pty;
  std::string error;
  if (!tools::OpenRawPty(&pty, &error)) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return false;
  }
  port->master = pty.master;
  port->slave = pty.slave;
  port->path = pty.path;
  return true;
}

// Points mapDir/comN at the pseudo-terminal. A dangling link left by an
// earlier run is replaced; a link to a device that is there is not.
bool PublishLink(Port *port) {
  struct stat info;
  if (lstat(port->link.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      std::fprintf(stderr, "%s: %s is in the way and is not a link\n", kName, port->link.c_str());
      return false;
    }
    if (stat(port->link.c_str(), &info) == 0) {
      char target[256];
      const ssize_t n = readlink(port->link.c_str(), target, sizeof target - 1);
      target[n > 0 ? n : 0] = '\0';
      std::fprintf(stderr, "%s: COM%d is taken: %s links to %s; choose another --com\n", kName,
                   port->com, port->link.c_str(), target);
      return false;
    }
  }
  // Made beside it and renamed over it, so a reader never sees it half made.
  const std::string temporary =
      port->mapDir + "/.com" + std::to_string(port->com) + "." + std::to_string(getpid());
  (void)unlink(temporary.c_str());
  if (symlink(port->path.c_str(), temporary.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot make %s: %s\n", kName, temporary.c_str(),
                 std::strerror(errno));
    return false;
  }
  if (rename(temporary.c_str(), port->link.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot make %s: %s\n", kName, port->link.c_str(),
                 std::strerror(errno));
    (void)unlink(temporary.c_str());
    return false;
  }
  port->linked = true;
  return true;
}

// Writes what the port takes of the bytes now: the count (0 while it is
// full), or -1 when it failed, which is said and marks the port failed.
ssize_t WriteSome(Port *port, const void *bytes, size_t count) {
  ssize_t n;
  do {
    n = write(port->master, bytes, count);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    return n;
  }
  if (errno == EAGAIN) {
    return 0;
  }
  std::fprintf(stderr, "%s: cannot write to %s: %s\n", kName, port->path.c_str(),
               std::strerror(errno));
  port->failed = true;
  return -1;
}

}  // namespace

bool MakeDirs(const std::string &dir, std::vector<std::string> *made) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), 0755) == 0) {
      made->push_back(part);
    } else if (!part.empty() && errno != EEXIST) {
      std::fprintf(stderr, "%s: cannot make %s: %s\n", kName, part.c_str(), std::strerror(errno));
      return false;
    }
    if (slash == std::string::npos) {
      break;
    }
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "%s: %s is not a directory\n", kName, dir.c_str());
    return false;
  }
  return true;
}

void ClosePty(Port *port) {
  if (port->master >= 0) {
    (void)close(port->master);
  }
  if (port->slave >= 0) {
    (void)close(port->slave);
  }
  port->master = -1;
  port->slave = -1;
  port->pending.clear();
}

void RemoveLink(Port *port) {
  if (!port->linked) {
    return;
  }
  port->linked = false;
  char target[256];
  const ssize_t n = readlink(port->link.c_str(), target, sizeof target - 1);
  if (n < 0) {
    return;
  }
  target[n] = '\0';
  if (port->path == target && unlink(port->link.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot remove %s: %s\n", kName, port->link.c_str(),
                 std::strerror(errno));
  }
}

bool PlugInPort(Port *port) {
  if (!OpenPty(port)) {
    return false;
  }
  if (!PublishLink(port)) {
    ClosePty(port);
    return false;
  }
  Say("%s: COM%d is %s\n", kName, port->com, port->path.c_str());
  FlushSaid();
  return true;
}

void UnplugPort(Port *port) {
  RemoveLink(port);
  ClosePty(port);
  Say("%s: COM%d unplugged\n", kName, port->com);
}

void ReportDropped(Port *port) {
  if (port->dropped != 0) {
    std::fprintf(stderr, "%s: dropped %" PRIu64 " packets while nobody read COM%d\n", kName,
                 port->dropped, port->com);
    port->dropped = 0;
  }
}

void FlushPending(Port *port) {
  while (!port->pending.empty()) {
    const ssize_t n = WriteSome(port, port->pending.data(), port->pending.size());
    if (n <= 0) {
      return;
    }
    port->pending.erase(0, static_cast<size_t>(n));
  }
}

bool Send(Port *port, const uint8_t *bytes, size_t count) {
  if (port->master < 0 || port->failed) {
    return false;
  }
  FlushPending(port);
  if (!port->pending.empty() || port->failed) {
    ++port->dropped;
    return false;
  }
  const ssize_t n = WriteSome(port, bytes, count);
  if (n <= 0) {
    port->dropped += n == 0 ? 1 : 0;
    return false;
  }
  if (static_cast<size_t>(n) < count) {
    port->pending.assign(reinterpret_cast<const char *>(bytes) + n, count - n);
  }
  ReportDropped(port);
  return true;
}

bool SendWhole(Port *port, const uint8_t *bytes, size_t count) {
  if (port->master < 0 || port->failed) {
    return false;
  }
  size_t sent = 0;
  if (port->pending.empty()) {
    const ssize_t n = WriteSome(port, bytes, count);
    if (n < 0) {
      return false;
    }
    sent = static_cast<size_t>(n);
  }
  port->pending.append(reinterpret_cast<const char *>(bytes) + sent, count - sent);
  return true;
}

}  // namespace sim
