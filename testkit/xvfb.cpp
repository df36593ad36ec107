#include "testkit/xvfb.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "testkit/clock.h"

namespace testkit {

bool Xvfb::Start(const std::string &size, std::string *error, int display) {
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
  // The server writes its display number to this pipe once it listens, and
  // its messages to an unnamed file, read back only when it fails to start.
  int ready[2];
  char logName[] = "/tmp/nictate-xvfb-XXXXXX";
  const int log = mkostemp(logName, O_CLOEXEC);
  if (log < 0 || unlink(logName) != 0 || pipe2(ready, O_CLOEXEC) != 0) {
    *error = std::string("cannot set up Xvfb: ") + std::strerror(errno);
    if (log >= 0) {
      (void)close(log);
    }
    return false;
  }
  Command command;
  command.argv = {"Xvfb"};
  if (display >= 0) {
    command.argv.push_back(":" + std::to_string(display));
  }
  command.argv.insert(command.argv.end(), {"-displayfd", std::to_string(ready[1]), "-screen", "0",
                                           size + "x24", "-noreset", "-nolisten", "tcp"});
  command.keepFd = ready[1];
  command.errFd = log;
  process_.reset(new Process(command));
  (void)close(ready[1]);

  std::string number;
  const Deadline deadline(20);
  while (process_->started() && number.find('\n') == std::string::npos) {
    struct pollfd pfd = {ready[0], POLLIN, 0};
    char buffer[32];
    ssize_t n = 0;
    if (poll(&pfd, 1, deadline.MillisecondsLeft()) <= 0 ||
        (n = read(ready[0], buffer, sizeof buffer)) <= 0) {
      break;  // no word in time, or the server ended without listening
    }
    number.append(buffer, static_cast<size_t>(n));
  }
  (void)close(ready[0]);
  if (number.find('\n') == std::string::npos) {
    const bool installed = process_->started();
    Stop(SIGKILL);
    std::string messages(4096, '\0');
    const ssize_t n = pread(log, &messages[0], messages.size(), 0);
    messages.resize(n > 0 ? static_cast<size_t>(n) : 0);
    *error = installed ? "Xvfb did not start: " + messages
                       : "Xvfb is not installed (scripts/setup installs it)";
    (void)close(log);
    return false;
  }
  (void)close(log);
  number_ = std::atoi(number.c_str());
  return true;
}

void Xvfb::Stop(int signo) {
  if (process_ != nullptr) {
    process_->Signal(signo);
    (void)WaitExit(process_.get(), 10);
    process_.reset();
  }
}

bool ServerGrab::Grab(const std::string &display) {
  Release();
  display_ = XOpenDisplay(display.c_str());
  if (display_ == nullptr) {
    return false;
  }
  XGrabServer(display_);
  XSync(display_, False);
  return true;
}

void ServerGrab::Release() {
  if (display_ != nullptr) {
    XUngrabServer(display_);
    XSync(display_, False);
    XCloseDisplay(display_);
    display_ = nullptr;
  }
}

}  // namespace testkit
