// nictate-sim's command line (--help and tools/README.md describe it).
#ifndef NICTATE_TOOLS_SIM_OPTIONS_H
#define NICTATE_TOOLS_SIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Every time here is in nanoseconds, counted from the moment the port is
// first published.
const int64_t kSecond = 1000000000;

const int kUsageStatus = 2;
const int kFailureStatus = 1;

struct Unplug {
  int64_t at;
  int64_t gap;
};

struct Options {
  int com = 3;
  std::string ports;
  bool haveSeed = false;
  uint64_t seed = 0;
  bool raw = false;
  bool rawBlinks = false;  // a synthetic raw wave with blinks, no blink rows
  std::string recording;   // a recording played as the raw wave
  int column = 0;          // its column
  double rate = 256;       // and its samples a second
  bool haveColumnOrRate = false;
  int64_t blinkEvery = 0;  // 0: none
  std::vector<int64_t> blinkAt;
  std::string replay;
  bool silent = false;
  bool garbage = false;
  int64_t seconds = 0;  // 0: until a signal
  std::vector<Unplug> unplugs;
};

// Fills *options from the command line. Returns -1 to go on, else the exit
// status to end with (--help, or a usage error said on standard error).
int ParseOptions(int argc, char **argv, Options *options);

}  // namespace sim

#endif
