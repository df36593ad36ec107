// Mouse records played on a device that cannot read or place the pointer
// (a compositor's virtual pointer, mutter's remote desktop, uinput): relative
// moves and the buttons, which land wherever the pointer is.
#ifndef NICTATE_PLATFORM_POINTER_RECORDS_H
#define NICTATE_PLATFORM_POINTER_RECORDS_H

#include "platform/win32.h"

namespace nictate {

// What a back end does with a record's parts; each returns false when the
// device or its connection failed.
struct PointerDevice {
  bool (*motion)(int dx, int dy);
  // code: the kernel's button code (BTN_LEFT).
  bool (*button)(unsigned code, bool pressed);
  // Ends the events of one record (one frame of the device).
  bool (*frame)(void);
  // Sends what was queued, and returns once the other side has taken it.
  bool (*flush)(void);
};

// SendInput's contract on such a device: each record's relative move, then
// its left button, down before up, then a frame.
// A record that is not a mouse record, or that moves in absolute
// coordinates, stops the injection there: where the pointer is cannot be
// read, so a place on the screen cannot be reached. Returns how many records
// were injected; 0 when size is not sizeof(INPUT) or the flush failed.
UINT InjectRecords(UINT count, const INPUT *inputs, int size, const PointerDevice &device);

// GetCursorPos and GetSystemMetrics on such a device: FALSE and 0.
BOOL PointerUnknown(POINT *point);
int ScreenUnknown(int index);

}  // namespace nictate

#endif
