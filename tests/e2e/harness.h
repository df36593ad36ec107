// Runs real programs for the end-to-end tests: child processes with both
// output streams read through pipes, a private Xvfb, an X client that
// records the mouse buttons, and private temporary directories. Every wait
// has a deadline and blocks in poll; every process started is ended (its
// whole process group) when its owner goes.
#ifndef NICTATE_TESTS_E2E_HARNESS_H
#define NICTATE_TESTS_E2E_HARNESS_H

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/files.h"

struct _XDisplay;  // Xlib's Display

namespace e2e {

struct SpawnOptions {
  std::vector<std::string> argv;
  std::vector<std::pair<std::string, std::string>> setEnv;
  std::vector<std::string> unsetEnv;
  std::string cwd;              // empty: the test's own
  int stdinFd = -1;             // -1: /dev/null
  bool controllingTty = false;  // stdinFd becomes the controlling terminal of a new session
  int keepFd = -1;              // a descriptor the child keeps open under the same number
};

// A child process in its own process group (or session), its standard
// output and error collected. It dies with the test process.
class Process {
 public:
  explicit Process(const SpawnOptions &options);
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }

  // Reads whatever the pipes hold now, without waiting.
  void Drain();
  // True while the process has not exited (reaps it when it has).
  bool Running();
  // The wait status once it has exited.
  int status() const { return status_; }
  // Sends a signal to the process group.
  void Signal(int signo);
  // Sends SIGTERM, then SIGKILL if it has not gone after graceSeconds.
  void Stop(double graceSeconds = 2.0);

  // The pipes still open, for poll.
  void AppendFds(std::vector<int> *fds) const;

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string err_;
  bool exited_ = false;
  int status_ = 0;
};

struct ButtonEvent {
  bool press;
  unsigned button;
  int x;
  int y;
};

// An X client that places the pointer and records every button press and
// release on the screen: a full-screen override-redirect input window on top
// of everything receives them with the pointer's position.
class XRecorder {
 public:
  ~XRecorder();
  bool Open(const std::string &display, int x, int y, std::string *error);
  int fd() const;
  // Reads the events that have arrived.
  void Drain();
  // Asks the server for every event it has sent, then reads them.
  void Sync();
  bool Pointer(int *x, int *y);
  std::vector<ButtonEvent> buttons;
  std::vector<std::pair<int, int>> motions;

 private:
  ::_XDisplay *display_ = nullptr;
};

// A private Xvfb, on a display number it picks itself (-displayfd).
class Xvfb {
 public:
  bool Start(std::string *error);
  const std::string &display() const { return display_; }

 private:
  std::unique_ptr<Process> process_;
  std::string display_;
};

// A private directory under $TMPDIR (or /tmp), removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  // Makes a subdirectory and returns its path.
  std::string Make(const std::string &name) const;

 private:
  std::string path_;
};

// Reads the processes' pipes and the recorder's events until done() holds or
// the seconds run out; returns done()'s last answer.
bool WaitUntil(const std::vector<Process *> &processes, XRecorder *recorder, double seconds,
               const std::function<bool()> &done);

// Waits for the process to exit, reading its pipes; false at the deadline.
bool WaitExit(Process *process, double seconds);

using testfiles::Lines;
using testfiles::ReadFile;

// Whether anything (a link too, dangling or not) is at the path.
bool Exists(const std::string &path);

}  // namespace e2e

#endif
