// The headset's end of a pseudo-terminal, for the simulator and the
// benchmarks: the master side, non-blocking, is where the headset writes;
// the slave side is the serial port the library opens.
#ifndef NICTATE_TOOLS_PTY_H
#define NICTATE_TOOLS_PTY_H

#include <string>

namespace tools {

struct RawPty {
  int master;
  int slave;         // held open, so bytes written before the port is opened wait
  std::string path;  // the slave's device path, /dev/pts/N
};

// Opens a new pseudo-terminal with its slave side raw (8N1 at 9600 baud, as
// a port the library has not set up yet). False, with *error saying why and
// nothing left open, on any failure.
bool OpenRawPty(RawPty *pty, std::string *error);

}  // namespace tools

#endif
