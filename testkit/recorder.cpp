#include "testkit/recorder.h"

#include <X11/Xlib.h>
#include <fcntl.h>

namespace testkit {

bool operator==(const Button &a, const Button &b) {
  return a.press == b.press && a.button == b.button && a.x == b.x && a.y == b.y;
}

std::ostream &operator<<(std::ostream &out, const Button &b) {
  return out << (b.press ? "press " : "release ") << b.button << " at (" << b.x << ", " << b.y
             << ")";
}

std::vector<Button> LeftClickAt(int x, int y) { return {{true, 1, x, y}, {false, 1, x, y}}; }

Recorder::~Recorder() {
  if (display_ != nullptr) {
    XCloseDisplay(display_);
  }
}

bool Recorder::Open(const std::string &display, std::string *error) {
  display_ = XOpenDisplay(display.empty() ? nullptr : display.c_str());
  if (display_ == nullptr) {
    *error = "cannot connect to the X server " + display;
    return false;
  }
  (void)fcntl(ConnectionNumber(display_), F_SETFD, FD_CLOEXEC);
  const int screen = DefaultScreen(display_);
  XSetWindowAttributes attributes = {};
  attributes.override_redirect = True;
  attributes.event_mask =
      ButtonPressMask | ButtonReleaseMask | PointerMotionMask | StructureNotifyMask;
  const Window window =
      XCreateWindow(display_, RootWindow(display_, screen), 0, 0,
                    static_cast<unsigned>(DisplayWidth(display_, screen)),
                    static_cast<unsigned>(DisplayHeight(display_, screen)), 0, CopyFromParent,
                    InputOnly, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(display_, window);
  XEvent event;
  do {
    XWindowEvent(display_, window, StructureNotifyMask, &event);
  } while (event.type != MapNotify);
  XSync(display_, False);
  return true;
}

void Recorder::Warp(int x, int y) {
  XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
  Sync();
  motions.clear();
}

std::pair<int, int> Recorder::Pointer() {
  Window root, child;
  int rootX = -1, rootY = -1, winX, winY;
  unsigned int mask;
  XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &winX, &winY,
                &mask);
  return {rootX, rootY};
}

void Recorder::Drain() {
  while (display_ != nullptr && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == ButtonPress || event.type == ButtonRelease) {
      buttons.push_back({event.type == ButtonPress, event.xbutton.button, event.xbutton.x_root,
                         event.xbutton.y_root});
    } else if (event.type == MotionNotify) {
      motions.emplace_back(event.xmotion.x_root, event.xmotion.y_root);
    }
  }
}

void Recorder::Sync() {
  if (display_ != nullptr) {
    XSync(display_, False);
    Drain();
  }
}

std::vector<Button> Recorder::Take() {
  Sync();
  std::vector<Button> taken;
  taken.swap(buttons);
  return taken;
}

int Recorder::fd() const { return display_ != nullptr ? ConnectionNumber(display_) : -1; }

}  // namespace testkit
