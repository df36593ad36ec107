#include "tools/pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tools {

bool OpenRawPty(RawPty *pty, std::string *error) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    *error = std::string("cannot set up the pseudo-terminal: ") + std::strerror(errno);
    (void)close(master);
    return false;
  }
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios tio;
  bool ok = slave >= 0 && tcgetattr(slave, &tio) == 0;
  if (ok) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ok = cfsetispeed(&tio, B9600) == 0 && cfsetospeed(&tio, B9600) == 0 &&
         tcsetattr(slave, TCSANOW, &tio) == 0;
  }
  const int flags = ok ? fcntl(master, F_GETFL) : -1;
  ok = ok && flags >= 0 && fcntl(master, F_SETFL, flags | O_NONBLOCK) == 0;
  if (!ok) {
    *error = std::string("cannot make ") + name + " raw: " + std::strerror(errno);
    if (slave >= 0) {
      (void)close(slave);
    }
    (void)close(master);
    return false;
  }
  pty->master = master;
  pty->slave = slave;
  pty->path = name;
  return true;
}

}  // namespace tools
