// What the device library needs of the OS besides its ports: locks and the
// files of its logs. One file per OS (os_posix.cpp, os_win32.cpp).
#ifndef NICTATE_THINKGEAR_OS_H
#define NICTATE_THINKGEAR_OS_H

#include <cstdio>

namespace tg {

// The library's locks: one per connection id (0 to 127) and one for its
// clock. A thread that waits for a lock sleeps in the OS.
const int kClockLock = 128;
const int kLocks = 129;

void TakeLock(int lock);
void ReleaseLock(int lock);

// Opens the named file for a log, unbuffered: created, or truncated if it is
// there. Only what takes every write at once is a log: a regular file, or a
// device that never makes a writer wait (on POSIX /dev/null, /dev/zero and
// /dev/full). Anything else is refused before it is opened where the OS
// lets the library tell (docs/logs.md). Null when refused or when it cannot
// be opened; *error then holds why: an errno value on POSIX, a GetLastError
// code on Windows.
std::FILE *OpenLogFile(const char *name, int *error);

}  // namespace tg

#endif
