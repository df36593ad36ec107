// The clock, the pause, locks and log files on Windows (XP and later).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>

#include "thinkgear/os.h"

namespace tg {

namespace {

CRITICAL_SECTION gLocks[kLocks];
// The clock's own: it counts the wraps of GetTickCount for every thread.
CRITICAL_SECTION gClockLock;

// Made ready while the DLL loads, before any call can come.
struct LocksReady {
  LocksReady() {
    for (int i = 0; i < kLocks; ++i) {
      InitializeCriticalSection(&gLocks[i]);
    }
    InitializeCriticalSection(&gClockLock);
  }
} gLocksReady;

// Whether the name leads to the file the stream has open (the same volume
// and file index). The name is opened with no access, which no share mode
// keeps out.
bool SameFile(const char *name, std::FILE *stream) {
  const HANDLE probe = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    return false;
  }
  const HANDLE held = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  const bool same = held != INVALID_HANDLE_VALUE && GetFileInformationByHandle(probe, &a) &&
                    GetFileInformationByHandle(held, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  (void)CloseHandle(probe);
  return same;
}

}  // namespace

std::string FailureText(const Failure &failure) {
  if (!failure.refusal.empty()) {
    return failure.refusal;
  }
  const std::string number = "error " + std::to_string(static_cast<unsigned long>(failure.error));
  char text[256];
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, static_cast<DWORD>(failure.error), 0, text, sizeof text, nullptr);
  if (length == 0 || length >= sizeof text) {
    return number;
  }
  // Windows ends its texts with a full stop and blanks.
  std::string words(text, length);
  while (!words.empty() && (words.back() == ' ' || words.back() == '\r' || words.back() == '\n' ||
                            words.back() == '.')) {
    words.pop_back();
  }
  return words.empty() ? number : words + " (" + number + ")";
}

int64_t MonotonicMs(void) {
  // GetTickCount wraps after 49.7 days (XP has no GetTickCount64): the
  // wraps are counted here, under the clock's lock, as any thread may ask.
  // The clock is read far more often than once in 49 days.
  static DWORD last = 0;
  static int64_t wraps = 0;
  EnterCriticalSection(&gClockLock);
  const DWORD now = GetTickCount();
  if (now < last) {
    ++wraps;
  }
  last = now;
  const int64_t ms = wraps * (int64_t(1) << 32) + static_cast<int64_t>(now);
  LeaveCriticalSection(&gClockLock);
  return ms;
}

void Pause(int milliseconds) { Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0); }

void TakeLock(int lock) { EnterCriticalSection(&gLocks[lock]); }

void ReleaseLock(int lock) { LeaveCriticalSection(&gLocks[lock]); }

std::FILE *OpenLogFile(const char *name, std::FILE *current, Failure *failure) {
  // Only a file on a disk is a log: a pipe can make a writer wait, and a
  // device name (CON, NUL, COM1, \\.\...) is no file. Windows tells what a
  // name is only once it is opened, so the handle is judged and let go.
  // The file is shared for reading only: a log holds it against every other
  // writer, and one that another holds is refused before anything of it is
  // truncated.
  const HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION) {
      failure->error = static_cast<int>(error);
      return nullptr;
    }
    if (current == nullptr || !SameFile(name, current)) {
      failure->refusal = kLogInUse;
      return nullptr;
    }
    // The log's own file, named again: started again.
    if (std::fseek(current, 0, SEEK_SET) != 0 || _chsize(_fileno(current), 0) != 0) {
      failure->error = static_cast<int>(GetLastError());
      return nullptr;
    }
    return current;
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    failure->refusal = "not a file on a disk";
    (void)CloseHandle(handle);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    failure->error = ERROR_TOO_MANY_OPEN_FILES;
    (void)CloseHandle(handle);
    return nullptr;
  }
  std::FILE *file = _fdopen(fd, "wb");
  if (file == nullptr) {
    failure->error = ERROR_NOT_ENOUGH_MEMORY;
    (void)_close(fd);  // closes the handle too
    return nullptr;
  }
  if (std::setvbuf(file, nullptr, _IONBF, 0) != 0) {
    failure->error = ERROR_NOT_ENOUGH_MEMORY;
    (void)std::fclose(file);
    return nullptr;
  }
  return file;
}

}  // namespace tg
