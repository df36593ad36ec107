// The pointer and the synthesized mouse on X11: GetCursorPos,
// GetSystemMetrics and SendInput over Xlib, XTest and XRandR.
//
// As on Windows, positions are relative to the primary monitor's top-left
// corner and its size is the screen size, wherever it sits on the X screen.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <cerrno>
#include <cstdint>

#include "platform/posix_time.h"
#include "platform/win32.h"

namespace {

struct Monitor {
  int x;
  int y;
  int width;
  int height;
};

// The connection, opened at the first use and kept for the process. When the
// server goes away (the session ends, the server restarts) the connection is
// marked lost, every call fails, and the next call opens a new one, so the
// clicks reach a restarted server without a restart of the program.
Display *gDisplay = nullptr;
bool gDisplayLost = false;
// The server's RandR version, read once per connection; 0.0 without RandR.
int gRandrMajor = 0;
int gRandrMinor = 0;

// A click asks for the pointer, then the screen's width and height, then
// injects the move and the button: four calls that each need the primary
// monitor, and each query of it is a round trip to the server (and a wait
// for the server's turn to run), the larger part of a click's time. So the
// monitor that GetCursorPos reads serves the calls that follow it in the same
// click: until the next SendInput, and for kSnapshotMs at most. Every other
// call reads it afresh. The click then also uses one consistent picture of
// the monitor, where four queries could straddle a change.
const int64_t kSnapshotMs = 50;
Monitor gSnapshot = {0, 0, 0, 0};
bool gSnapshotValid = false;
int64_t gSnapshotMs = 0;

// A click must not wait on a server that does not answer (stopped, or grabbed
// by another client), nor queue in it: its requests would all be served when
// it answers again, long after the blinks, at once and wherever the pointer
// has gone by then. So a click first asks the server something it answers
// at once, without a reply Xlib would wait for without end: it appends
// nothing to a property of a small unmapped window of ours, and the server
// answers with an event. The answer is waited for in poll, kAnswerMs at
// most; without it, the click's calls fail at once and send nothing. Like
// the snapshot, one answer serves the calls of one click.
const int kAnswerMs = 500;
Window gAnswerWindow = None;
bool gAnswered = false;
bool gAnswerValid = false;
int64_t gAnswerMs = 0;

// Xlib's default handlers end the process, on a protocol error (an output
// unplugged between two requests) and when the connection breaks. A program
// that clicks for someone all day must not end for either: a failed request
// shows in its result, and a broken connection only marks the display lost.
// That last needs XSetIOErrorExitHandler (libX11 1.7 and later, found by the
// build); with an older libX11, Xlib still ends the process when the
// connection to the X server breaks.
int IgnoreProtocolError(Display *, XErrorEvent *) { return 0; }
int IgnoreConnectionError(Display *) { return 0; }
#ifdef NICTATE_HAVE_XSETIOERROREXITHANDLER
void MarkDisplayLost(Display *, void *) { gDisplayLost = true; }
#endif

Display *OpenDisplay(void) {
  if (gDisplay != nullptr && gDisplayLost) {
    XCloseDisplay(gDisplay);
    gDisplay = nullptr;
    gDisplayLost = false;
    gSnapshotValid = false;
    gAnswerValid = false;
  }
  if (gDisplay != nullptr) {
    return gDisplay;
  }
  XSetErrorHandler(IgnoreProtocolError);
  XSetIOErrorHandler(IgnoreConnectionError);
  Display *display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    return nullptr;
  }
#ifdef NICTATE_HAVE_XSETIOERROREXITHANDLER
  XSetIOErrorExitHandler(display, MarkDisplayLost, nullptr);
#endif
  int eventBase, errorBase, major, minor;
  if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) || gDisplayLost) {
    XCloseDisplay(display);
    gDisplayLost = false;
    return nullptr;
  }
  gRandrMajor = 0;
  gRandrMinor = 0;
  if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
      !XRRQueryVersion(display, &gRandrMajor, &gRandrMinor)) {
    gRandrMajor = 0;
    gRandrMinor = 0;
  }
  XSetWindowAttributes attributes = {};
  attributes.event_mask = PropertyChangeMask;
  gAnswerWindow = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, 0, InputOnly,
                                CopyFromParent, CWEventMask, &attributes);
  gDisplay = display;
  return gDisplay;
}

// Whether the server answers within kAnswerMs (see kAnswerMs).
bool ServerAnswers(Display *display) {
  const unsigned long asked = NextRequest(display);
  const unsigned char nothing = 0;
  XChangeProperty(display, gAnswerWindow, XA_WM_NAME, XA_STRING, 8, PropModeAppend, &nothing, 0);
  XFlush(display);
  const int64_t start = nictate::MonotonicMs();
  int64_t left = kAnswerMs;
  for (;;) {
    // Reads what has come, without waiting; answers to earlier questions
    // that came too late are passed over.
    XEvent event;
    while (XCheckTypedWindowEvent(display, gAnswerWindow, PropertyNotify, &event)) {
      if (event.xproperty.serial >= asked) {
        return !gDisplayLost;
      }
    }
    if (gDisplayLost || left <= 0) {
      return false;
    }
    struct pollfd pfd = {ConnectionNumber(display), POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
      return false;
    }
    left = kAnswerMs - (nictate::MonotonicMs() - start);
  }
}

// The display, where the server answered for this click; null where it did
// not, or there is none.
Display *AnsweringDisplay(void) {
  Display *display = OpenDisplay();
  if (display == nullptr) {
    return nullptr;
  }
  const int64_t now = nictate::MonotonicMs();
  if (!gAnswerValid || now < gAnswerMs || now - gAnswerMs > kSnapshotMs) {
    gAnswered = ServerAnswers(display);
    gAnswerMs = nictate::MonotonicMs();
    gAnswerValid = true;
  }
  return gAnswered ? display : nullptr;
}

bool RandrAtLeast(int major, int minor) {
  return gRandrMajor > major || (gRandrMajor == major && gRandrMinor >= minor);
}

// RandR 1.5: the monitor flagged primary (an output's, or one set by hand
// with xrandr --setmonitor).
bool PrimaryFromMonitors(Display *display, Window root, Monitor *out) {
  int count = 0;
  XRRMonitorInfo *monitors = XRRGetMonitors(display, root, True, &count);
  if (monitors == nullptr) {
    return false;
  }
  bool found = false;
  for (int i = 0; i < count && !found; ++i) {
    if (monitors[i].primary && monitors[i].width > 0 && monitors[i].height > 0) {
      *out = {monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height};
      found = true;
    }
  }
  XRRFreeMonitors(monitors);
  return found;
}

// RandR 1.3 and 1.4: the CRTC that shows the primary output.
bool PrimaryFromOutput(Display *display, Window root, Monitor *out) {
  const RROutput primary = XRRGetOutputPrimary(display, root);
  if (primary == None) {
    return false;
  }
  XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, root);
  if (resources == nullptr) {
    return false;
  }
  bool found = false;
  XRROutputInfo *output = XRRGetOutputInfo(display, resources, primary);
  if (output != nullptr && output->crtc != None) {
    XRRCrtcInfo *crtc = XRRGetCrtcInfo(display, resources, output->crtc);
    if (crtc != nullptr) {
      if (crtc->width > 0 && crtc->height > 0) {
        *out = {crtc->x, crtc->y, static_cast<int>(crtc->width), static_cast<int>(crtc->height)};
        found = true;
      }
      XRRFreeCrtcInfo(crtc);
    }
  }
  if (output != nullptr) {
    XRRFreeOutputInfo(output);
  }
  XRRFreeScreenResources(resources);
  return found;
}

// The primary monitor's rectangle where XRandR names one, else the screen's.
// Read afresh at every call: monitors come and go while the program runs.
bool PrimaryMonitor(Display *display, Monitor *out) {
  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  bool found = false;
  if (RandrAtLeast(1, 5)) {
    found = PrimaryFromMonitors(display, root, out);
  } else if (RandrAtLeast(1, 3)) {
    found = PrimaryFromOutput(display, root, out);
  }
  if (!found) {
    *out = {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
  }
  // The screen's size is known without asking the server, so a connection
  // that broke during the requests above must be checked for here.
  return !gDisplayLost && out->width > 0 && out->height > 0;
}

// The primary monitor as GetCursorPos last read it, while that serves (see
// kSnapshotMs), else read afresh.
bool ClickMonitor(Display *display, Monitor *out) {
  if (gSnapshotValid) {
    const int64_t now = nictate::MonotonicMs();
    if (now >= gSnapshotMs && now - gSnapshotMs <= kSnapshotMs) {
      *out = gSnapshot;
      return true;
    }
    gSnapshotValid = false;
  }
  return PrimaryMonitor(display, out);
}

// What a click sends: an absolute move and the left button. A relative
// move is refused, which ends the injection there.
bool InjectMouse(Display *display, const MOUSEINPUT &mouse) {
  const DWORD flags = mouse.dwFlags;
  if ((flags & MOUSEEVENTF_MOVE) != 0) {
    if ((flags & MOUSEEVENTF_ABSOLUTE) == 0) {
      return false;
    }
    Monitor monitor;
    if (!ClickMonitor(display, &monitor)) {
      return false;
    }
    const int x = monitor.x + static_cast<int>(AbsoluteToPixel(mouse.dx, monitor.width));
    const int y = monitor.y + static_cast<int>(AbsoluteToPixel(mouse.dy, monitor.height));
    if (!XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime)) {
      return false;
    }
  }
  const unsigned int kLeftButton = 1;
  if ((flags & MOUSEEVENTF_LEFTDOWN) != 0 &&
      !XTestFakeButtonEvent(display, kLeftButton, True, CurrentTime)) {
    return false;
  }
  return (flags & MOUSEEVENTF_LEFTUP) == 0 ||
         XTestFakeButtonEvent(display, kLeftButton, False, CurrentTime);
}

}  // namespace

BOOL GetCursorPos(POINT *lpPoint) {
  Display *display = AnsweringDisplay();
  if (display == nullptr || lpPoint == nullptr) {
    return FALSE;
  }
  Monitor monitor;
  gSnapshotValid = false;
  if (!PrimaryMonitor(display, &monitor)) {
    return FALSE;
  }
  Window rootReturn, childReturn;
  int rootX, rootY, winX, winY;
  unsigned int mask;
  if (!XQueryPointer(display, DefaultRootWindow(display), &rootReturn, &childReturn, &rootX, &rootY,
                     &winX, &winY, &mask)) {
    return FALSE;  // the pointer is on another screen, or the server went away
  }
  lpPoint->x = rootX - monitor.x;
  lpPoint->y = rootY - monitor.y;
  gSnapshot = monitor;
  gSnapshotMs = nictate::MonotonicMs();
  gSnapshotValid = true;
  return TRUE;
}

int GetSystemMetrics(int nIndex) {
  Display *display = AnsweringDisplay();
  Monitor monitor;
  if (display == nullptr || !ClickMonitor(display, &monitor)) {
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
  if (pInputs == nullptr || cbSize != static_cast<int>(sizeof(INPUT))) {
    return 0;
  }
  Display *display = AnsweringDisplay();
  if (display == nullptr) {
    gAnswerValid = false;  // the click is over
    return 0;
  }
  UINT sent = 0;
  for (; sent < cInputs; ++sent) {
    if (pInputs[sent].type != INPUT_MOUSE || !InjectMouse(display, pInputs[sent].mi)) {
      break;
    }
  }
  XFlush(display);
  gSnapshotValid = false;  // the click is over
  gAnswerValid = false;
  // Events written to a connection that has broken reached no one.
  return gDisplayLost ? 0 : sent;
}
