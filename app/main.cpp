// nictate: click the mouse by blinking. Takes no options; the command line is
// ignored.
#include <cstdio>

#include "app/driver.h"

int main() {
  // The error stream reaches the user as it is written, whatever it is
  // connected to. Windows' C runtime fully buffers it once it is redirected
  // to a file or a pipe, where a port number written without a line end
  // would wait unseen, and be lost when the program is ended from outside.
  // Should this fail, the stream keeps its usual buffering.
  (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
  return RunNictate();
}
