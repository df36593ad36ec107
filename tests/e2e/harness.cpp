#include "tests/e2e/harness.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads what a non-blocking pipe holds; closes it at its end.
void ReadPipe(int *fd, std::string *into) {
  char buffer[65536];
  while (*fd >= 0) {
    const ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else {
      close(*fd);
      *fd = -1;
    }
  }
}

// In the child, after fork: only async-signal-safe calls, then exec.
[[noreturn]] void RunChild(const SpawnOptions &options, pid_t parent, int outWrite, int errWrite,
                           char **argv, char **envp) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
    _exit(127);
  }
  int in = options.stdinFd;
  if (in < 0) {
    in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(outWrite, STDOUT_FILENO) < 0 ||
      dup2(errWrite, STDERR_FILENO) < 0) {
    _exit(127);
  }
  if (options.controllingTty) {
    if (setsid() < 0 || ioctl(STDIN_FILENO, TIOCSCTTY, 0) != 0) {
      _exit(127);
    }
  } else if (setpgid(0, 0) != 0) {
    _exit(127);
  }
  if (options.keepFd >= 0) {
    const int flags = fcntl(options.keepFd, F_GETFD);
    if (flags < 0 || fcntl(options.keepFd, F_SETFD, flags & ~FD_CLOEXEC) != 0) {
      _exit(127);
    }
  }
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
    _exit(127);
  }
  // The test process's own signal dispositions are not the child's.
  signal(SIGPIPE, SIG_DFL);
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

Process::Process(const SpawnOptions &options) {
  // Everything the child needs is made before the fork.
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool drop = false;
    for (const auto &unset : options.unsetEnv) {
      drop = drop || unset == name;
    }
    for (const auto &set : options.setEnv) {
      drop = drop || set.first == name;
    }
    if (!drop) {
      env.push_back(entry);
    }
  }
  for (const auto &set : options.setEnv) {
    env.push_back(set.first + "=" + set.second);
  }
  std::vector<char *> argv;
  for (const auto &arg : options.argv) {
    argv.push_back(const_cast<char *>(arg.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (auto &entry : env) {
    envp.push_back(const_cast<char *>(entry.c_str()));
  }
  envp.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    return;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    RunChild(options, parent, outPipe[1], errPipe[1], argv.data(), envp.data());
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return;
  }
  // Also from this side, so a signal sent at once reaches the group.
  if (!options.controllingTty) {
    (void)setpgid(pid, pid);
  }
  pid_ = pid;
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  fcntl(outFd_, F_SETFL, fcntl(outFd_, F_GETFL) | O_NONBLOCK);
  fcntl(errFd_, F_SETFL, fcntl(errFd_, F_GETFL) | O_NONBLOCK);
}

Process::~Process() {
  Stop();
  if (outFd_ >= 0) {
    close(outFd_);
  }
  if (errFd_ >= 0) {
    close(errFd_);
  }
}

void Process::Drain() {
  ReadPipe(&outFd_, &out_);
  ReadPipe(&errFd_, &err_);
}

bool Process::Running() {
  if (pid_ <= 0 || exited_) {
    return false;
  }
  int status = 0;
  const pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    exited_ = true;
    status_ = status;
    return false;
  }
  return done == 0;
}

void Process::Signal(int signo) {
  if (pid_ > 0 && !exited_) {
    (void)kill(-pid_, signo);
  }
}

void Process::Stop(double graceSeconds) {
  if (pid_ <= 0) {
    return;
  }
  if (Running()) {
    Signal(SIGTERM);
    if (!WaitExit(this, graceSeconds)) {
      Signal(SIGKILL);
      (void)WaitExit(this, 10);
    }
  }
  // Whatever is left of its group (a child it started).
  (void)kill(-pid_, SIGKILL);
  Drain();
}

void Process::AppendFds(std::vector<int> *fds) const {
  if (outFd_ >= 0) {
    fds->push_back(outFd_);
  }
  if (errFd_ >= 0) {
    fds->push_back(errFd_);
  }
}

XRecorder::~XRecorder() {
  if (display_ != nullptr) {
    XCloseDisplay(display_);
  }
}

bool XRecorder::Open(const std::string &display, int x, int y, std::string *error) {
  display_ = XOpenDisplay(display.c_str());
  if (display_ == nullptr) {
    *error = "cannot open display " + display;
    return false;
  }
  const int screen = DefaultScreen(display_);
  const Window root = RootWindow(display_, screen);
  XSetWindowAttributes attributes;
  attributes.override_redirect = True;
  attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  const Window window =
      XCreateWindow(display_, root, 0, 0, static_cast<unsigned>(DisplayWidth(display_, screen)),
                    static_cast<unsigned>(DisplayHeight(display_, screen)), 0, CopyFromParent,
                    InputOnly, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(display_, window);
  XWarpPointer(display_, None, root, 0, 0, 0, 0, x, y);
  XSync(display_, False);
  // The warp's own motion is not a click's.
  XSync(display_, True);
  int px = -1;
  int py = -1;
  if (!Pointer(&px, &py) || px != x || py != y) {
    *error = "the pointer did not go to its place";
    return false;
  }
  return true;
}

int XRecorder::fd() const { return display_ != nullptr ? ConnectionNumber(display_) : -1; }

void XRecorder::Drain() {
  if (display_ == nullptr) {
    return;
  }
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == ButtonPress || event.type == ButtonRelease) {
      buttons.push_back(ButtonEvent{event.type == ButtonPress, event.xbutton.button,
                                    event.xbutton.x_root, event.xbutton.y_root});
    } else if (event.type == MotionNotify) {
      motions.emplace_back(event.xmotion.x_root, event.xmotion.y_root);
    }
  }
}

void XRecorder::Sync() {
  if (display_ != nullptr) {
    XSync(display_, False);
    Drain();
  }
}

bool XRecorder::Pointer(int *x, int *y) {
  Window root;
  Window child;
  int winX;
  int winY;
  unsigned int mask;
  return display_ != nullptr && XQueryPointer(display_, DefaultRootWindow(display_), &root, &child,
                                              x, y, &winX, &winY, &mask);
}

bool Xvfb::Start(std::string *error) {
  int displayPipe[2];
  if (pipe2(displayPipe, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  SpawnOptions options;
  options.argv = {"/usr/bin/Xvfb", "-displayfd", std::to_string(displayPipe[1]),
                  "-screen",       "0",          "1920x1080x24",
                  "-noreset",      "-nolisten",  "tcp"};
  options.keepFd = displayPipe[1];
  struct stat info;
  if (stat(options.argv[0].c_str(), &info) != 0) {
    *error = "Xvfb is not installed (scripts/setup installs it)";
    close(displayPipe[0]);
    close(displayPipe[1]);
    return false;
  }
  process_.reset(new Process(options));
  close(displayPipe[1]);
  std::string number;
  const auto start = std::chrono::steady_clock::now();
  while (number.find('\n') == std::string::npos && SecondsSince(start) < 20) {
    struct pollfd pfd = {displayPipe[0], POLLIN, 0};
    if (poll(&pfd, 1, 200) > 0) {
      char buffer[32];
      const ssize_t n = read(displayPipe[0], buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      number.append(buffer, static_cast<size_t>(n));
    }
    process_->Drain();
  }
  close(displayPipe[0]);
  if (number.find('\n') == std::string::npos) {
    *error = "Xvfb did not start: " + process_->err();
    return false;
  }
  display_ = ":" + number.substr(0, number.find('\n'));
  return true;
}

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/nictate-e2e-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) {
    path_ = buffer.data();
  }
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

std::string TempDir::Make(const std::string &name) const {
  const std::string dir = path_ + "/" + name;
  (void)mkdir(dir.c_str(), 0755);
  return dir;
}

bool WaitUntil(const std::vector<Process *> &processes, XRecorder *recorder, double seconds,
               const std::function<bool()> &done) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    for (Process *process : processes) {
      process->Drain();
    }
    if (recorder != nullptr) {
      recorder->Drain();
    }
    if (done()) {
      return true;
    }
    const double left = seconds - SecondsSince(start);
    if (left <= 0) {
      return false;
    }
    std::vector<int> fds;
    for (Process *process : processes) {
      process->AppendFds(&fds);
    }
    if (recorder != nullptr && recorder->fd() >= 0) {
      fds.push_back(recorder->fd());
    }
    std::vector<struct pollfd> pfds;
    for (int fd : fds) {
      pfds.push_back({fd, POLLIN, 0});
    }
    // Woken by output; the short cap also notices exits and quiet ends.
    const int timeout = static_cast<int>(std::min(left, 0.1) * 1000) + 1;
    (void)poll(pfds.data(), pfds.size(), timeout);
  }
}

bool WaitExit(Process *process, double seconds) {
  return WaitUntil({process}, nullptr, seconds, [&] { return !process->Running(); });
}

bool Exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace e2e
