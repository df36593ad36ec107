#include "tools/sim/say.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

void Say(const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (std::vprintf(format, args) < 0) {
    std::clearerr(stdout);
  }
  va_end(args);
}

void FlushSaid(void) {
  if (std::fflush(stdout) != 0) {
    std::clearerr(stdout);
  }
}

}  // namespace sim
