// Sleep for POSIX systems.
#include <cerrno>
#include <ctime>

#include "platform/win32.h"

void Sleep(DWORD dwMilliseconds) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(dwMilliseconds / 1000);
  left.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  // A signal cuts the sleep short; the rest is slept.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
