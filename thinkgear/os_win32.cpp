// Locks and log files on Windows (XP and later).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "thinkgear/os.h"

namespace tg {

namespace {

CRITICAL_SECTION gLocks[kLocks];

// Made ready while the DLL loads, before any call can come.
struct LocksReady {
  LocksReady() {
    for (int i = 0; i < kLocks; ++i) {
      InitializeCriticalSection(&gLocks[i]);
    }
  }
} gLocksReady;

}  // namespace

void TakeLock(int lock) { EnterCriticalSection(&gLocks[lock]); }

void ReleaseLock(int lock) { LeaveCriticalSection(&gLocks[lock]); }

std::FILE *OpenLogFile(const char *name, int *error) {
  // Only a file on a disk is a log: a pipe can make a writer wait, and a
  // device name (CON, NUL, COM1, \\.\...) is no file. Windows tells what a
  // name is only once it is opened, so the handle is judged and let go.
  const HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    return nullptr;
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    *error = ERROR_INVALID_NAME;
    (void)CloseHandle(handle);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    *error = ERROR_TOO_MANY_OPEN_FILES;
    (void)CloseHandle(handle);
    return nullptr;
  }
  std::FILE *file = _fdopen(fd, "wb");
  if (file == nullptr) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    (void)_close(fd);  // closes the handle too
    return nullptr;
  }
  if (std::setvbuf(file, nullptr, _IONBF, 0) != 0) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    (void)std::fclose(file);
    return nullptr;
  }
  return file;
}

}  // namespace tg
