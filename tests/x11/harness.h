// What the X11 tests run against: a private Xvfb, an X client that records
// every mouse button on the screen, and child processes with pipes. Every
// wait blocks in poll with a deadline; every Xvfb started dies with its test.
#ifndef NICTATE_TESTS_X11_HARNESS_H
#define NICTATE_TESTS_X11_HARNESS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct _XDisplay;  // Xlib's Display

namespace x11test {

// An Xvfb server of the test's own, with -noreset so that it neither resets
// nor recentres the pointer when its last client leaves.
class Xvfb {
 public:
  Xvfb() = default;
  ~Xvfb();
  Xvfb(const Xvfb &) = delete;
  Xvfb &operator=(const Xvfb &) = delete;

  // Starts a server with one screen of the given size ("1920x1080") and
  // waits until it accepts connections. display < 0: on a free number the
  // server picks itself; otherwise on the first free one of display,
  // display + 1, ... display + 99.
  bool Start(const std::string &size, int display, std::string *error);
  // Ends it (SIGTERM, or SIGKILL as a crash) and waits until it has gone.
  void Stop(int signo = 15);

  int number() const { return number_; }
  std::string name() const { return ":" + std::to_string(number_); }

 private:
  bool StartOn(const std::string &size, int display, std::string *error);
  pid_t pid_ = -1;
  int number_ = -1;
};

// One Xvfb for the whole test program, started before the first test with
// DISPLAY set to it, so the code under test connects there and only there.
class XvfbEnvironment : public testing::Environment {
 public:
  explicit XvfbEnvironment(std::string size) : size_(std::move(size)) {}
  void SetUp() override;
  void TearDown() override;

 private:
  std::string size_;
  Xvfb server_;
};

struct Button {
  bool press;
  unsigned button;
  int x;  // where the pointer was, on the root window
  int y;
};
bool operator==(const Button &a, const Button &b);
std::ostream &operator<<(std::ostream &out, const Button &b);

// A press and a release of the left button at (x, y).
std::vector<Button> LeftClickAt(int x, int y);

// An X client of the test's own with a full-screen override-redirect input
// window above everything, which every button press and release reaches
// with the pointer's position.
class Recorder {
 public:
  Recorder() = default;
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  // Connects to the display named (empty: $DISPLAY) and maps the window.
  bool Open(const std::string &display, std::string *error);
  // Places the pointer and waits until the server has done it.
  void Warp(int x, int y);
  // The pointer's position on the root window.
  std::pair<int, int> Pointer();
  // Every press and release the server has sent so far, and forgets them.
  // Whatever another client asked for before its last round trip has
  // arrived by then (XTest events are delivered while their request is
  // handled).
  std::vector<Button> Take();

  ::_XDisplay *display() const { return display_; }

 private:
  ::_XDisplay *display_ = nullptr;
  unsigned long window_ = 0;
};

// A child process with its standard input, output and error on pipes.
class Child {
 public:
  // env: NAME=VALUE to set, or NAME alone to unset.
  Child(const std::vector<std::string> &argv, const std::vector<std::string> &env);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool started() const { return pid_ > 0; }
  // Writes to its standard input.
  void Send(const std::string &text);
  // Closes its standard input.
  void CloseInput();
  // Reads its standard output until it holds `lines` complete lines more
  // than it did, or the seconds run out; returns the text read.
  std::string ReadLines(int lines, double seconds);
  // Waits for the end, reading both streams; the wait status, or -1 when it
  // has not ended in time (it is then killed).
  int Wait(double seconds);
  const std::string &err() const { return err_; }

 private:
  bool Pump(int timeoutMs);
  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  size_t consumed_ = 0;
  std::string err_;
};

}  // namespace x11test

#endif
