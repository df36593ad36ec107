// The X server's XTest as a back end module: the operations of
// platform/input_x11.cpp, which keep their own connection to $DISPLAY.
#include <stdlib.h>

#include <cstdio>

#include "platform/click_backend.h"

namespace {

int Open(char *why, size_t whySize) {
  // Opens the connection when there is none; a screen of no size means no
  // server, or one without XTest.
  if (GetSystemMetrics(SM_CXSCREEN) > 0) {
    return 1;
  }
  const char *display = getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') {
    std::snprintf(why, whySize, "DISPLAY is not set");
  } else {
    std::snprintf(why, whySize, "no X server with XTest answers at DISPLAY=%s", display);
  }
  return 0;
}

// The connection stays: input_x11.cpp opens a new one when it breaks.
void Close(void) {}

const NictateClickBackend kBackend = {"xtest",          Open,     Close, GetCursorPos,
                                      GetSystemMetrics, SendInput};

}  // namespace

extern "C" __attribute__((visibility("default"))) const NictateClickBackend *
nictate_click_backend_v1(void) {
  return &kBackend;
}
