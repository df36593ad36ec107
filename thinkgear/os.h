// What the device library needs of the OS besides its ports: a clock and a
// pause, locks, and the files of its logs. One file per OS (os_posix.cpp,
// os_win32.cpp).
#ifndef NICTATE_THINKGEAR_OS_H
#define NICTATE_THINKGEAR_OS_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace tg {

// Why a port or a log did not open, or why a port failed: the OS's code,
// or a refusal of the library's own. The data log says it in words
// (docs/logs.md).
struct Failure {
  int error = 0;        // errno on POSIX, a GetLastError code on Windows
  std::string refusal;  // the library's own reason in words; error is then 0
};

// The failure in words: the refusal, else the OS's text for the code
// (strerror on POSIX; FormatMessage on Windows, followed by "(error N)").
std::string FailureText(const Failure &failure);

// A monotonic clock in milliseconds, for deadlines and for dating bytes;
// any thread may read it.
int64_t MonotonicMs(void);

// Blocks the calling thread for the given milliseconds; returns at once
// for 0 or less.
void Pause(int milliseconds);

// The library's locks: one per connection id (0 to kLocks - 1). A thread
// that waits for a lock sleeps in the OS.
const int kLocks = 128;

void TakeLock(int lock);
void ReleaseLock(int lock);

// Opens the named file for a log, unbuffered: created, or truncated if it is
// there. Only what takes every write at once is a log: a regular file, or a
// device that never makes a writer wait (on POSIX /dev/null, /dev/zero and
// /dev/full). Anything else is refused before it is opened where the OS
// lets the library tell (docs/logs.md). A file is held while a log has it
// open: one that another log holds (another connection's, the connection's
// other log, another program's) is refused as it is, not truncated.
// `current` is the log's own file, or null: a name that leads to it starts
// it again (truncated) and returns it. Null when refused or when it cannot
// be opened; *failure then says why.
std::FILE *OpenLogFile(const char *name, std::FILE *current, Failure *failure);

// The refusal of a file another log holds.
const char kLogInUse[] = "in use by another log";

}  // namespace tg

#endif
