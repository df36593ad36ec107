// Locks and log files on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "thinkgear/os.h"

namespace tg {

namespace {

std::mutex gLocks[kLocks];

// Whether a write to the file is taken at once, whoever is at the other end:
// a regular file, or one of the memory devices /dev/null (1,3), /dev/zero
// (1,5) and /dev/full (1,7). A FIFO, a socket or a terminal can make a
// writer wait, and so can any other device (and writing to some, a disk or
// a watchdog, does harm).
bool TakesEveryWrite(const struct stat &info) {
  if (S_ISREG(info.st_mode)) {
    return true;
  }
  if (!S_ISCHR(info.st_mode) || major(info.st_rdev) != 1) {
    return false;
  }
  const unsigned minorNumber = minor(info.st_rdev);
  return minorNumber == 3 || minorNumber == 5 || minorNumber == 7;
}

int RefusalOf(const struct stat &info) { return S_ISDIR(info.st_mode) ? EISDIR : EINVAL; }

}  // namespace

void TakeLock(int lock) { gLocks[lock].lock(); }

void ReleaseLock(int lock) { gLocks[lock].unlock(); }

std::FILE *OpenLogFile(const char *name, int *error) {
  // What the name points at is judged before it is opened: opening a FIFO
  // for writing waits for a reader, and opening a device can set it going.
  struct stat info;
  if (stat(name, &info) == 0) {
    if (!TakesEveryWrite(info)) {
      *error = RefusalOf(info);
      return nullptr;
    }
  } else if (errno != ENOENT) {
    *error = errno;
    return nullptr;
  }
  // Should something else take the name meanwhile, the open still does not
  // wait (O_NONBLOCK), nor take a terminal as ours (O_NOCTTY), and what was
  // opened is judged again.
  int fd;
  do {
    fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  if (fstat(fd, &info) != 0) {
    *error = errno;
    (void)close(fd);
    return nullptr;
  }
  if (!TakesEveryWrite(info)) {
    *error = RefusalOf(info);
    (void)close(fd);
    return nullptr;
  }
  std::FILE *file = fdopen(fd, "wb");
  if (file == nullptr) {
    *error = errno;
    (void)close(fd);
    return nullptr;
  }
  if (std::setvbuf(file, nullptr, _IONBF, 0) != 0) {
    *error = errno;
    (void)std::fclose(file);
    return nullptr;
  }
  return file;
}

}  // namespace tg
