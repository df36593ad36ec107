// The clock, the pause, locks and log files on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/posix_time.h"
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

// Why what the name points at is no log.
void RefusalOf(const struct stat &info, Failure *failure) {
  if (S_ISDIR(info.st_mode)) {
    failure->error = EISDIR;
  } else if (S_ISFIFO(info.st_mode)) {
    failure->refusal = "a named pipe, not a file";
  } else if (S_ISSOCK(info.st_mode)) {
    failure->refusal = "a socket, not a file";
  } else {
    failure->refusal = "a device, not a file";
  }
}

// strerror_r as glibc has it (the text returned) or as POSIX has it (the
// text in the buffer); the build picks one.
[[maybe_unused]] std::string ErrorWords(const char *text, const char *) { return text; }
[[maybe_unused]] std::string ErrorWords(int result, const char *buffer) {
  return result == 0 ? std::string(buffer) : std::string();
}

}  // namespace

std::string FailureText(const Failure &failure) {
  if (!failure.refusal.empty()) {
    return failure.refusal;
  }
  char buffer[128] = "";
  const std::string words = ErrorWords(strerror_r(failure.error, buffer, sizeof buffer), buffer);
  return words.empty() ? "error " + std::to_string(failure.error) : words;
}

int64_t MonotonicMs(void) { return nictate::MonotonicMs(); }

void Pause(int milliseconds) {
  if (milliseconds > 0) {
    nictate::SleepMs(static_cast<uint32_t>(milliseconds));
  }
}

void TakeLock(int lock) { gLocks[lock].lock(); }

void ReleaseLock(int lock) { gLocks[lock].unlock(); }

std::FILE *OpenLogFile(const char *name, std::FILE *current, Failure *failure) {
  // What the name points at is judged before it is opened: opening a FIFO
  // for writing waits for a reader, and opening a device can set it going.
  struct stat info;
  if (stat(name, &info) == 0) {
    if (!TakesEveryWrite(info)) {
      RefusalOf(info, failure);
      return nullptr;
    }
  } else if (errno != ENOENT) {
    failure->error = errno;
    return nullptr;
  }
  // Should something else take the name meanwhile, the open still does not
  // wait (O_NONBLOCK), nor take a terminal as ours (O_NOCTTY), and what was
  // opened is judged again. Nothing is truncated before the file is known
  // to be free.
  int fd;
  do {
    fd = open(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    failure->error = errno;
    return nullptr;
  }
  if (fstat(fd, &info) != 0) {
    failure->error = errno;
    (void)close(fd);
    return nullptr;
  }
  if (!TakesEveryWrite(info)) {
    RefusalOf(info, failure);
    (void)close(fd);
    return nullptr;
  }
  if (S_ISREG(info.st_mode)) {
    struct stat held;
    if (current != nullptr && fstat(fileno(current), &held) == 0 && held.st_dev == info.st_dev &&
        held.st_ino == info.st_ino) {
      // The log's own file, named again: started again.
      (void)close(fd);
      if (std::fseek(current, 0, SEEK_SET) != 0 || ftruncate(fileno(current), 0) != 0) {
        failure->error = errno;
        return nullptr;
      }
      return current;
    }
    // A log holds its file with a lock of its own open file (flock), so
    // that no other log, of this process or another, truncates it or
    // writes over it; the lock goes with the file however the process
    // ends. A file system that has no locks holds nothing.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      failure->refusal = kLogInUse;
      (void)close(fd);
      return nullptr;
    }
    if (ftruncate(fd, 0) != 0) {
      failure->error = errno;
      (void)close(fd);
      return nullptr;
    }
  }
  std::FILE *file = fdopen(fd, "wb");
  if (file == nullptr) {
    failure->error = errno;
    (void)close(fd);
    return nullptr;
  }
  if (std::setvbuf(file, nullptr, _IONBF, 0) != 0) {
    failure->error = errno;
    (void)std::fclose(file);
    return nullptr;
  }
  return file;
}

}  // namespace tg
