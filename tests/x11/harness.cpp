#include "tests/x11/harness.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ostream>

namespace x11test {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

// In a freshly forked child: dies with the test process, whatever ends it.
void DieWithParent(pid_t parent) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
    _exit(127);
  }
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

// --- Xvfb ---

Xvfb::~Xvfb() { Stop(); }

bool Xvfb::Start(const std::string &size, int display, std::string *error) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) {
    *error = "Xvfb is not installed (scripts/setup installs it)";
    return false;
  }
  if (display < 0) {
    return StartOn(size, -1, error);
  }
  for (int n = display; n < display + 100; ++n) {
    if (StartOn(size, n, error)) {
      return true;
    }
  }
  return false;
}

bool Xvfb::StartOn(const std::string &size, int display, std::string *error) {
  Stop();
  // The server writes its display number to this pipe once it listens.
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  // Its messages, read back only when it fails to start.
  char logName[] = "/tmp/nictate-x11-xvfb-XXXXXX";
  const int log = mkostemp(logName, O_CLOEXEC);
  if (log < 0) {
    *error = std::string("mkostemp: ") + std::strerror(errno);
    close(ready[0]);
    close(ready[1]);
    return false;
  }
  unlink(logName);

  std::vector<std::string> args = {"/usr/bin/Xvfb"};
  if (display >= 0) {
    args.push_back(":" + std::to_string(display));
  }
  args.insert(args.end(), {"-displayfd", std::to_string(ready[1]), "-screen", "0", size + "x24",
                           "-noreset", "-nolisten", "tcp"});
  std::vector<char *> argv;
  for (auto &arg : args) {
    argv.push_back(&arg[0]);
  }
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    DieWithParent(parent);
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(devnull, 1) < 0 || dup2(log, 2) < 0 ||
        fcntl(ready[1], F_SETFD, 0) != 0) {
      _exit(127);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(ready[1]);
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    close(ready[0]);
    close(log);
    return false;
  }
  pid_ = pid;

  std::string number;
  const auto deadline = After(20);
  while (number.find('\n') == std::string::npos) {
    struct pollfd pfd = {ready[0], POLLIN, 0};
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || poll(&pfd, 1, left) <= 0) {
      break;
    }
    char buffer[32];
    const ssize_t n = read(ready[0], buffer, sizeof buffer);
    if (n <= 0) {
      break;  // the server ended without listening
    }
    number.append(buffer, static_cast<size_t>(n));
  }
  close(ready[0]);
  if (number.find('\n') == std::string::npos) {
    Stop(SIGKILL);
    *error = "Xvfb did not start: " + ReadAll(log);
    close(log);
    return false;
  }
  close(log);
  number_ = std::atoi(number.c_str());
  return true;
}

void Xvfb::Stop(int signo) {
  if (pid_ <= 0) {
    return;
  }
  kill(pid_, signo);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void XvfbEnvironment::SetUp() {
  std::string error;
  ASSERT_TRUE(server_.Start(size_, -1, &error)) << error;
  ASSERT_EQ(setenv("DISPLAY", server_.name().c_str(), 1), 0);
}

void XvfbEnvironment::TearDown() { server_.Stop(); }

// --- Recorder ---

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
  const int screen = DefaultScreen(display_);
  XSetWindowAttributes attributes = {};
  attributes.override_redirect = True;
  attributes.event_mask = ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
  window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0,
                          static_cast<unsigned>(DisplayWidth(display_, screen)),
                          static_cast<unsigned>(DisplayHeight(display_, screen)), 0, CopyFromParent,
                          InputOnly, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(display_, window_);
  XEvent event;
  do {
    XWindowEvent(display_, window_, StructureNotifyMask, &event);
  } while (event.type != MapNotify);
  XSync(display_, False);
  return true;
}

void Recorder::Warp(int x, int y) {
  XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
  XSync(display_, False);
}

std::pair<int, int> Recorder::Pointer() {
  Window root, child;
  int rootX = -1, rootY = -1, winX, winY;
  unsigned int mask;
  XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &winX, &winY,
                &mask);
  return {rootX, rootY};
}

std::vector<Button> Recorder::Take() {
  XSync(display_, False);
  std::vector<Button> buttons;
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == ButtonPress || event.type == ButtonRelease) {
      buttons.push_back({event.type == ButtonPress, event.xbutton.button, event.xbutton.x_root,
                         event.xbutton.y_root});
    }
  }
  return buttons;
}

// --- Child ---

Child::Child(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    return;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    return;
  }
  std::vector<std::string> args = argv;
  std::vector<char *> cargs;
  for (auto &arg : args) {
    cargs.push_back(&arg[0]);
  }
  cargs.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    DieWithParent(parent);
    for (const auto &setting : env) {
      const size_t equals = setting.find('=');
      if (equals == std::string::npos) {
        unsetenv(setting.c_str());
      } else {
        setenv(setting.substr(0, equals).c_str(), setting.c_str() + equals + 1, 1);
      }
    }
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) {
      _exit(127);
    }
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  inFd_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  pid_ = pid;
  // A child that has gone must not end the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
}

Child::~Child() {
  CloseInput();
  if (pid_ > 0) {
    Wait(5);
  }
  if (outFd_ >= 0) {
    close(outFd_);
  }
  if (errFd_ >= 0) {
    close(errFd_);
  }
}

void Child::Send(const std::string &text) {
  size_t done = 0;
  while (inFd_ >= 0 && done < text.size()) {
    const ssize_t n = write(inFd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
}

void Child::CloseInput() {
  if (inFd_ >= 0) {
    close(inFd_);
    inFd_ = -1;
  }
}

// Reads what the pipes hold, waiting up to timeoutMs for the first bytes;
// false when both have ended.
bool Child::Pump(int timeoutMs) {
  struct pollfd fds[2];
  int *owners[2];
  nfds_t count = 0;
  for (int *fd : {&outFd_, &errFd_}) {
    if (*fd >= 0) {
      fds[count] = {*fd, POLLIN, 0};
      owners[count++] = fd;
    }
  }
  if (count == 0) {
    return false;
  }
  if (poll(fds, count, timeoutMs) <= 0) {
    return true;
  }
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t n = read(*owners[i], buffer, sizeof buffer);
    if (n > 0) {
      (owners[i] == &outFd_ ? out_ : err_).append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(*owners[i]);
      *owners[i] = -1;
    }
  }
  return true;
}

std::string Child::ReadLines(int lines, double seconds) {
  const auto deadline = After(seconds);
  for (;;) {
    size_t end = consumed_;
    int found = 0;
    while (found < lines) {
      const size_t newline = out_.find('\n', end);
      if (newline == std::string::npos) {
        break;
      }
      end = newline + 1;
      ++found;
    }
    const int left = MillisecondsLeft(deadline);
    if (found == lines || left == 0 || !Pump(left)) {
      if (found < lines) {
        end = out_.size();
      }
      const std::string text = out_.substr(consumed_, end - consumed_);
      consumed_ = end;
      return text;
    }
  }
}

int Child::Wait(double seconds) {
  if (pid_ <= 0) {
    return -1;
  }
  const auto deadline = After(seconds);
  while (Pump(MillisecondsLeft(deadline)) && MillisecondsLeft(deadline) > 0) {
  }
  // Both pipes end when it does; a child still writing is killed.
  int status = -1;
  if (outFd_ >= 0 || errFd_ >= 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  } else {
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  return status;
}

}  // namespace x11test
