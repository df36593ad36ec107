#include "blink/loop.h"

#include <cstdio>

#include "blink/click.h"
#include "link/thinkgear.h"
#include "platform/win32.h"

namespace {

const int kEnableBlinkDetection = 1;
const int kPacketsPerRead = 1;
const DWORD kEmptyReadWaitMs = 200;
// A blink whose packet came longer ago than this (it waited in the port
// while the program or its display was stalled) is printed but does not
// click: its click would land late, wherever the pointer has gone by then,
// and a stall's blinks all at once.
const float kLateBlinkMs = 1000.0f;

}  // namespace

void RunBlinkLoop(int connectionId) {
  (void)TG_EnableBlinkDetection(connectionId, kEnableBlinkDetection);
  for (;;) {
    const int result = TG_ReadPackets(connectionId, kPacketsPerRead);
    if (result == 1) {
      std::printf(".");
      if (TG_GetValueStatus(connectionId, TG_DATA_ATTENTION) != 0) {
        std::printf("New attention value: %f\n", TG_GetValue(connectionId, TG_DATA_ATTENTION));
        std::fflush(stdout);
      }
      if (TG_GetValueStatus(connectionId, TG_DATA_BLINK_STRENGTH) != 0) {
        std::printf("New eye blinking value: %f\n",
                    TG_GetValue(connectionId, TG_DATA_BLINK_STRENGTH));
        std::fflush(stdout);
        if (TG_GetValue(connectionId, TG_DATA_BLINK_AGE) <= kLateBlinkMs) {
          ClickAtCursor();
        }
      }
    } else if (result == 0) {
      std::printf("z");
      Sleep(kEmptyReadWaitMs);
    }
    // Any other result: a failed read, tried again at once; the library
    // paces itself while the device is away.
  }
}
