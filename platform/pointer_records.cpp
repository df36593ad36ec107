#include "platform/pointer_records.h"

#include <linux/input-event-codes.h>

namespace nictate {

namespace {

bool InjectRecord(const MOUSEINPUT &mouse, const PointerDevice &device) {
  const DWORD flags = mouse.dwFlags;
  if ((flags & MOUSEEVENTF_ABSOLUTE) != 0 && (flags & MOUSEEVENTF_MOVE) != 0) {
    return false;
  }
  if ((flags & MOUSEEVENTF_MOVE) != 0 && (mouse.dx != 0 || mouse.dy != 0) &&
      !device.motion(mouse.dx, mouse.dy)) {
    return false;
  }
  static const struct {
    DWORD flag;
    unsigned code;
    bool pressed;
  } kButtons[] = {
      {MOUSEEVENTF_LEFTDOWN, BTN_LEFT, true},
      {MOUSEEVENTF_LEFTUP, BTN_LEFT, false},
  };
  for (const auto &b : kButtons) {
    // A press and its release in one record are two frames: a client sees
    // the button down, then up, as from a real mouse.
    if ((flags & b.flag) != 0 && (!device.button(b.code, b.pressed) || !device.frame())) {
      return false;
    }
  }
  return (flags & MOUSEEVENTF_MOVE) == 0 || device.frame();
}

}  // namespace

UINT InjectRecords(UINT count, const INPUT *inputs, int size, const PointerDevice &device) {
  if (inputs == nullptr || size != static_cast<int>(sizeof(INPUT))) {
    return 0;
  }
  UINT sent = 0;
  while (sent < count && inputs[sent].type == INPUT_MOUSE &&
         InjectRecord(inputs[sent].mi, device)) {
    ++sent;
  }
  return sent == 0 || device.flush() ? sent : 0;
}

BOOL PointerUnknown(POINT *) { return FALSE; }

int ScreenUnknown(int) { return 0; }

}  // namespace nictate
