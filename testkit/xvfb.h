// A private Xvfb, with -noreset so that it neither resets nor recentres the
// pointer when its last client leaves. It dies with the process that
// started it.
#ifndef NICTATE_TESTKIT_XVFB_H
#define NICTATE_TESTKIT_XVFB_H

#include <signal.h>

#include <memory>
#include <string>

#include "testkit/process.h"

struct _XDisplay;  // Xlib's Display

namespace testkit {

class Xvfb {
 public:
  Xvfb() = default;
  ~Xvfb() { Stop(); }
  Xvfb(const Xvfb &) = delete;
  Xvfb &operator=(const Xvfb &) = delete;

  // Starts a server with one screen of the given size ("1920x1080") and
  // waits until it accepts connections. display < 0: on a free number the
  // server picks itself; otherwise on the first free one of display,
  // display + 1, ... display + 99.
  bool Start(const std::string &size, std::string *error, int display = -1);
  // Ends it (SIGTERM; SIGKILL is a crash) and waits until it has gone.
  void Stop(int signo = SIGTERM);

  int number() const { return number_; }
  std::string name() const { return ":" + std::to_string(number_); }

 private:
  bool StartOn(const std::string &size, int display, std::string *error);
  std::unique_ptr<Process> process_;
  int number_ = -1;
};

// Another client that holds the X server grabbed: until Release(), the
// server serves no other client's request.
class ServerGrab {
 public:
  ServerGrab() = default;
  ~ServerGrab() { Release(); }
  ServerGrab(const ServerGrab &) = delete;
  ServerGrab &operator=(const ServerGrab &) = delete;

  // Connects to the display named and grabs the server; false when it
  // cannot connect.
  bool Grab(const std::string &display);
  // Lets the server go and disconnects.
  void Release();

 private:
  ::_XDisplay *display_ = nullptr;
};

}  // namespace testkit

#endif
