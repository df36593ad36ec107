#include "blink/click.h"

namespace {

const double kAbsoluteScale = 65536.0;

}  // namespace

LONG NormalizeCoordinate(LONG pixel, int extent) {
  // The classic formula: the quotient first, then the product, truncated
  // toward zero.
  const double scaled = (kAbsoluteScale / extent) * pixel;
  // Far outside any desktop; saturate rather than convert out of range.
  if (scaled >= 2147483647.0) {
    return 2147483647;
  }
  if (scaled <= -2147483648.0) {
    return -2147483647 - 1;
  }
  LONG normalized = static_cast<LONG>(scaled);
  // Truncation lands one unit short whenever the product is not whole, and
  // Windows floors that back to the pixel up and to the left: every click
  // would move the pointer one pixel, and blink after blink it would creep
  // off the button the user was looking at. One more unit lands on the
  // pointer's own pixel (1919 -> 65502 on a 1920-pixel screen, not 65501).
  if (AbsoluteToPixel(normalized, extent) != pixel) {
    ++normalized;
  }
  return normalized;
}

void ClickAtCursor(void) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  input.mi.mouseData = 0;
  input.mi.time = 0;
  input.mi.dwExtraInfo = 0;

  POINT cursor = {0, 0};
  const BOOL havePointer = GetCursorPos(&cursor);
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  if (havePointer && width > 0 && height > 0) {
    input.mi.dx = NormalizeCoordinate(cursor.x, width);
    input.mi.dy = NormalizeCoordinate(cursor.y, height);
    input.mi.dwFlags =
        MOUSEEVENTF_MOVE | MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
  } else {
    // Without a pointer position or a screen size there is nothing to move
    // to: press and release wherever the pointer is.
    input.mi.dx = 0;
    input.mi.dy = 0;
    input.mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP;
  }
  (void)SendInput(1, &input, static_cast<int>(sizeof input));
}
