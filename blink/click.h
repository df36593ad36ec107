// Click synthesis: one left click where the mouse pointer is.
//
// It needs three Windows operations, declared in platform/win32.h:
// GetCursorPos, GetSystemMetrics (SM_CXSCREEN, SM_CYSCREEN) and SendInput.
#ifndef NICTATE_BLINK_CLICK_H
#define NICTATE_BLINK_CLICK_H

#include "platform/win32.h"

// Sends one mouse record that moves, in absolute coordinates, to the
// pointer's own pixel and presses and releases the left button there. When
// the pointer position or the screen size cannot be read it sends the press
// and release alone, so the click still lands where the pointer is.
void ClickAtCursor(void);

// Maps a pixel coordinate onto the absolute scale on which the screen's
// extent spans 65536 units, so that Windows' conversion back,
// floor(n * extent / 65536), gives the pixel again. extent must be > 0.
LONG NormalizeCoordinate(LONG pixel, int extent);

#endif
