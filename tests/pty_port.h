// A device on a pseudo-terminal, reached by its path or published as COMn in
// a private port map: the test writes the device's bytes into the master
// side, and closing the master is the device going away (the program's
// reads then fail).
#ifndef NICTATE_TESTS_PTY_PORT_H
#define NICTATE_TESTS_PTY_PORT_H

#include <fcntl.h>
#include <pty.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

class PtyPort {
 public:
  ~PtyPort() { Unplug(); }

  // Opens a new pseudo-terminal, raw. The slave side stays open here too,
  // so bytes written before the library opens it are kept as they are.
  // False on any failure.
  bool Open() {
    Unplug();
    char name[64];
    struct termios raw;
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0 ||
        fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave_, F_SETFD, FD_CLOEXEC) != 0 ||
        tcgetattr(slave_, &raw) != 0) {
      return false;
    }
    cfmakeraw(&raw);
    path_ = name;
    return tcsetattr(slave_, TCSANOW, &raw) == 0;
  }

  // Opens a new pseudo-terminal and links it as <ports>/com<number>
  // (replacing the link at once if there is one). False on any failure.
  bool Plug(const std::string &ports, int number) {
    if (!Open()) {
      return false;
    }
    link_ = ports + "/com" + std::to_string(number);
    const std::string fresh = link_ + ".new";
    (void)unlink(fresh.c_str());
    return symlink(path_.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), link_.c_str()) == 0;
  }

  // The device goes away: both sides closed and the link removed, as a
  // device node goes (a link left behind could meet the terminal number
  // reused by another program).
  void Unplug() {
    if (!link_.empty()) {
      (void)unlink(link_.c_str());
      link_.clear();
    }
    if (slave_ >= 0) {
      (void)close(slave_);
      slave_ = -1;
    }
    if (master_ >= 0) {
      (void)close(master_);
      master_ = -1;
    }
  }

  bool Send(const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  const std::string &path() const { return path_; }

 private:
  int master_ = -1;
  int slave_ = -1;  // held so the terminal keeps its settings until a reader opens it
  std::string path_;
  std::string link_;
};

#endif
