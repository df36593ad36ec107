// An X client of the test's own that records every mouse button on the
// screen: a full-screen override-redirect input window above everything
// receives each press and release with the pointer's position.
#ifndef NICTATE_TESTKIT_RECORDER_H
#define NICTATE_TESTKIT_RECORDER_H

#include <ostream>
#include <string>
#include <utility>
#include <vector>

struct _XDisplay;  // Xlib's Display

namespace testkit {

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

class Recorder {
 public:
  Recorder() = default;
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  // Connects to the display named (empty: $DISPLAY) and maps the window.
  bool Open(const std::string &display, std::string *error);
  // Places the pointer, waits until the server has done it, and forgets the
  // moves seen so far.
  void Warp(int x, int y);
  // The pointer's position on the root window.
  std::pair<int, int> Pointer();
  // Reads the events that have arrived, without waiting.
  void Drain();
  // Asks the server for every event it has sent (whatever another client
  // asked for before its last round trip has arrived by then), then reads
  // them.
  void Sync();
  // Sync(), then every press and release so far, forgotten here.
  std::vector<Button> Take();

  int fd() const;
  ::_XDisplay *display() const { return display_; }

  std::vector<Button> buttons;               // in the order the server sent them
  std::vector<std::pair<int, int>> motions;  // pointer moves since the last Warp

 private:
  ::_XDisplay *display_ = nullptr;
};

}  // namespace testkit

#endif
