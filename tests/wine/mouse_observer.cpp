// mouse_observer.exe X Y: a Windows test program that watches the mouse
// input of the desktop it runs on, the way any other Windows program would
// see nictate's clicks.
//
// It puts the pointer at pixel (X, Y), installs a low-level mouse hook and
// writes one line per mouse event that passes the hook, flushed at once:
//   ready X Y WIDTH HEIGHT      the pointer is placed and the hook is in
//   move X Y injected|hardware  the pointer moved to (X, Y)
//   down X Y injected|hardware  the left button went down at (X, Y)
//   up X Y injected|hardware    the left button came up at (X, Y)
//   other MSG X Y ...           any other mouse message
// When its standard input reaches its end it writes "final X Y", the
// pointer's position then, and exits with status 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

DWORD gMainThread = 0;

const char *EventName(WPARAM message) {
  switch (message) {
    case WM_MOUSEMOVE:
      return "move";
    case WM_LBUTTONDOWN:
      return "down";
    case WM_LBUTTONUP:
      return "up";
    default:
      return nullptr;
  }
}

LRESULT CALLBACK OnMouse(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    const MSLLHOOKSTRUCT *event = reinterpret_cast<const MSLLHOOKSTRUCT *>(data);
    const char *origin = (event->flags & LLMHF_INJECTED) != 0 ? "injected" : "hardware";
    const char *name = EventName(message);
    if (name != nullptr) {
      std::printf("%s %ld %ld %s\n", name, static_cast<long>(event->pt.x),
                  static_cast<long>(event->pt.y), origin);
    } else {
      std::printf("other 0x%x %ld %ld %s\n", static_cast<unsigned>(message),
                  static_cast<long>(event->pt.x), static_cast<long>(event->pt.y), origin);
    }
    std::fflush(stdout);
  }
  return CallNextHookEx(nullptr, code, message, data);
}

// Waits for the end of standard input, then ends the message loop.
DWORD WINAPI WatchInput(LPVOID) {
  char chunk[64];
  while (std::fgets(chunk, sizeof chunk, stdin) != nullptr) {
  }
  (void)PostThreadMessageA(gMainThread, WM_QUIT, 0, 0);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: mouse_observer X Y\n");
    return 2;
  }
  const int x = std::atoi(argv[1]);
  const int y = std::atoi(argv[2]);
  gMainThread = GetCurrentThreadId();

  // A message queue for this thread before anything may post to it.
  MSG message;
  (void)PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

  // The desktop first: under Wine it is made on demand, and a pointer
  // placed before it exists is placed nowhere.
  if (GetDesktopWindow() == nullptr) {
    std::fprintf(stderr, "no desktop window\n");
    return 1;
  }
  if (!SetCursorPos(x, y)) {
    std::fprintf(stderr, "SetCursorPos failed: %lu\n", GetLastError());
    return 1;
  }
  HHOOK hook = SetWindowsHookExA(WH_MOUSE_LL, OnMouse, GetModuleHandleA(nullptr), 0);
  if (hook == nullptr) {
    std::fprintf(stderr, "SetWindowsHookEx failed: %lu\n", GetLastError());
    return 1;
  }
  POINT at;
  if (!GetCursorPos(&at)) {
    std::fprintf(stderr, "GetCursorPos failed: %lu\n", GetLastError());
    return 1;
  }
  std::printf("ready %ld %ld %d %d\n", static_cast<long>(at.x), static_cast<long>(at.y),
              GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  std::fflush(stdout);

  HANDLE watcher = CreateThread(nullptr, 0, WatchInput, nullptr, 0, nullptr);
  if (watcher == nullptr) {
    std::fprintf(stderr, "CreateThread failed: %lu\n", GetLastError());
    return 1;
  }
  // Wine 8 hands an input to a thread's low-level hook only while the thread
  // waits for messages or has asked for one in the last 5 seconds. After a
  // quiet spell the press wakes the thread, and the release right behind it
  // would pass the hook by. A timer keeps the thread asking.
  if (SetTimer(nullptr, 0, 500, nullptr) == 0) {
    std::fprintf(stderr, "SetTimer failed: %lu\n", GetLastError());
    return 1;
  }
  // The hook runs inside this loop.
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    (void)TranslateMessage(&message);
    (void)DispatchMessageA(&message);
  }
  (void)UnhookWindowsHookEx(hook);
  if (!GetCursorPos(&at)) {
    std::fprintf(stderr, "GetCursorPos failed: %lu\n", GetLastError());
    return 1;
  }
  std::printf("final %ld %ld\n", static_cast<long>(at.x), static_cast<long>(at.y));
  std::fflush(stdout);
  return 0;
}
