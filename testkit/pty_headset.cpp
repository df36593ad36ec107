#include "testkit/pty_headset.h"

#include <poll.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "testkit/clock.h"
#include "tools/pty.h"

namespace testkit {

bool PtyHeadset::Open() {
  Unplug();
  tools::RawPty pty;
  if (!tools::OpenRawPty(&pty, &error_)) {
    return false;
  }
  master_ = pty.master;
  slave_ = pty.slave;
  path_ = pty.path;
  struct termios tio;
  if (tcgetattr(slave_, &tio) != 0 || cfsetispeed(&tio, B38400) != 0 ||
      cfsetospeed(&tio, B38400) != 0 || tcsetattr(slave_, TCSANOW, &tio) != 0) {
    error_ = "cannot set the speed of " + path_ + ": " + std::strerror(errno);
    Unplug();
    return false;
  }
  return true;
}

bool PtyHeadset::Plug(const std::string &ports, int com) {
  if (!Open()) {
    return false;
  }
  const std::string link = ports + "/com" + std::to_string(com);
  const std::string fresh = link + ".new";
  (void)unlink(fresh.c_str());
  if (symlink(path_.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0) {
    error_ = "cannot link " + link + ": " + std::strerror(errno);
    Unplug();
    return false;
  }
  link_ = link;
  return true;
}

void PtyHeadset::Unplug() {
  // The link first: one left behind could meet the terminal's number reused
  // by another program.
  if (!link_.empty()) {
    (void)unlink(link_.c_str());
    link_.clear();
  }
  for (int *fd : {&slave_, &master_}) {
    if (*fd >= 0) {
      (void)close(*fd);
      *fd = -1;
    }
  }
}

bool PtyHeadset::Send(const std::vector<uint8_t> &bytes) {
  const Deadline deadline(10);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    struct pollfd pfd = {master_, POLLOUT, 0};
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || deadline.Passed() ||
        poll(&pfd, 1, deadline.MillisecondsLeft()) < 0) {
      return false;
    }
  }
  return true;
}

unsigned PtyHeadset::Speed() const {
  struct termios tio;
  return slave_ >= 0 && tcgetattr(slave_, &tio) == 0 ? cfgetispeed(&tio) : 0;
}

bool PtyHeadset::LineSetUp() const { return Speed() != 0 && Speed() != B38400; }

}  // namespace testkit
