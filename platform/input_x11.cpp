// The pointer and the synthesized mouse on X11: GetCursorPos,
// GetSystemMetrics and SendInput over Xlib, XTest and XRandR.
//
// As on Windows, positions are relative to the primary monitor's top-left
// corner and its size is the screen size, wherever it sits on the X screen.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <cstdint>

#include "platform/win32.h"

namespace {

struct Monitor {
  int x;
  int y;
  int width;
  int height;
};

// The display, opened at the first use and kept for the process.
Display *gDisplay = nullptr;

Display *OpenDisplay(void) {
  if (gDisplay != nullptr) {
    return gDisplay;
  }
  Display *display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    return nullptr;
  }
  int eventBase, errorBase, major, minor;
  if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
    XCloseDisplay(display);
    return nullptr;
  }
  gDisplay = display;
  return gDisplay;
}

// The primary monitor's rectangle where XRandR names one, else the screen's.
bool PrimaryMonitor(Display *display, Monitor *out) {
  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  out->x = 0;
  out->y = 0;
  out->width = DisplayWidth(display, screen);
  out->height = DisplayHeight(display, screen);

  int eventBase, errorBase;
  if (!XRRQueryExtension(display, &eventBase, &errorBase)) {
    return out->width > 0 && out->height > 0;
  }
  const RROutput primary = XRRGetOutputPrimary(display, root);
  if (primary == None) {
    return out->width > 0 && out->height > 0;
  }
  XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, root);
  if (resources == nullptr) {
    return out->width > 0 && out->height > 0;
  }
  XRROutputInfo *output = XRRGetOutputInfo(display, resources, primary);
  if (output != nullptr && output->crtc != None) {
    XRRCrtcInfo *crtc = XRRGetCrtcInfo(display, resources, output->crtc);
    if (crtc != nullptr) {
      if (crtc->width > 0 && crtc->height > 0) {
        out->x = crtc->x;
        out->y = crtc->y;
        out->width = static_cast<int>(crtc->width);
        out->height = static_cast<int>(crtc->height);
      }
      XRRFreeCrtcInfo(crtc);
    }
  }
  if (output != nullptr) {
    XRRFreeOutputInfo(output);
  }
  XRRFreeScreenResources(resources);
  return out->width > 0 && out->height > 0;
}

// Windows' conversion of an absolute coordinate into a pixel:
// floor(n * size / 65536).
int PixelOf(LONG normalized, int size) {
  const int64_t product = static_cast<int64_t>(normalized) * size;
  int64_t pixel = product / 65536;
  if (product % 65536 != 0 && product < 0) {
    --pixel;
  }
  return static_cast<int>(pixel);
}

bool InjectMouse(Display *display, const MOUSEINPUT &mouse) {
  const DWORD flags = mouse.dwFlags;
  if ((flags & MOUSEEVENTF_MOVE) != 0) {
    if ((flags & MOUSEEVENTF_ABSOLUTE) != 0) {
      Monitor monitor;
      if (!PrimaryMonitor(display, &monitor)) {
        return false;
      }
      const int x = monitor.x + PixelOf(mouse.dx, monitor.width);
      const int y = monitor.y + PixelOf(mouse.dy, monitor.height);
      if (!XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime)) {
        return false;
      }
    } else if (!XTestFakeRelativeMotionEvent(display, mouse.dx, mouse.dy, CurrentTime)) {
      return false;
    }
  }
  static const struct {
    DWORD flag;
    unsigned int button;
    Bool press;
  } kButtons[] = {
      {MOUSEEVENTF_LEFTDOWN, 1, True},   {MOUSEEVENTF_LEFTUP, 1, False},
      {MOUSEEVENTF_RIGHTDOWN, 3, True},  {MOUSEEVENTF_RIGHTUP, 3, False},
      {MOUSEEVENTF_MIDDLEDOWN, 2, True}, {MOUSEEVENTF_MIDDLEUP, 2, False},
  };
  for (const auto &b : kButtons) {
    if ((flags & b.flag) != 0 && !XTestFakeButtonEvent(display, b.button, b.press, CurrentTime)) {
      return false;
    }
  }
  return true;
}

}  // namespace

BOOL GetCursorPos(POINT *lpPoint) {
  Display *display = OpenDisplay();
  if (display == nullptr || lpPoint == nullptr) {
    return FALSE;
  }
  Monitor monitor;
  if (!PrimaryMonitor(display, &monitor)) {
    return FALSE;
  }
  Window rootReturn, childReturn;
  int rootX, rootY, winX, winY;
  unsigned int mask;
  if (!XQueryPointer(display, DefaultRootWindow(display), &rootReturn, &childReturn, &rootX,
                     &rootY, &winX, &winY, &mask)) {
    return FALSE;  // the pointer is on another screen
  }
  lpPoint->x = rootX - monitor.x;
  lpPoint->y = rootY - monitor.y;
  return TRUE;
}

int GetSystemMetrics(int nIndex) {
  Display *display = OpenDisplay();
  Monitor monitor;
  if (display == nullptr || !PrimaryMonitor(display, &monitor)) {
    return 0;
  }
  switch (nIndex) {
    case SM_CXSCREEN:
      return monitor.width;
    case SM_CYSCREEN:
      return monitor.height;
    default:
      return 0;
  }
}

UINT SendInput(UINT cInputs, INPUT *pInputs, int cbSize) {
  Display *display = OpenDisplay();
  if (display == nullptr || pInputs == nullptr || cbSize != static_cast<int>(sizeof(INPUT))) {
    return 0;
  }
  UINT sent = 0;
  for (; sent < cInputs; ++sent) {
    if (pInputs[sent].type != INPUT_MOUSE || !InjectMouse(display, pInputs[sent].mi)) {
      break;
    }
  }
  XFlush(display);
  return sent;
}
