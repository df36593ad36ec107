// nictate-sim: a headset on a pseudo-terminal.
//
// Publishes the pseudo-terminal as a COM port in the port map (a "comN" link,
// removed again when it ends) and writes the headset's packet stream into it
// in real time: a summary packet once a second, optionally the raw wave at
// 512 samples a second, blinks on a schedule or on a key press, or the bytes
// of a stream log with their original timing. It prints one line per value it
// sends, so a test can hold nictate's output against it. tools/README.md and
// --help describe the command line.
//
// Here: the signals and the run from start to end. The command line is in
// options.cpp, the simulated wearer in wearer.cpp, the port in port.cpp,
// the packets in stream.cpp, their times in schedule.cpp, the keyboard in
// terminal.cpp.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/posix_time.h"
#include "thinkgear/devices_posix.h"
#include "tools/sim/options.h"
#include "tools/sim/say.h"
#include "tools/sim/schedule.h"

namespace sim {

namespace {

volatile sig_atomic_t gStopSignal = 0;
int gWakePipe[2] = {-1, -1};

void OnStopSignal(int signo) {
  gStopSignal = signo;
  const int saved = errno;
  const char byte = 1;
  // A full pipe already holds a wake-up.
  if (write(gWakePipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

bool InstallSignals(void) {
  if (pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write blocked on a stalled standard output gives way.
  action.sa_flags = 0;
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
         sigaction(SIGHUP, &action, nullptr) == 0 && sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

}  // namespace

int Main(int argc, char **argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) {
    return parsed;
  }

  Stream stream;
  stream.options = &options;
  if (!options.replay.empty()) {
    std::string error;
    if (!tools::ReadStreamLog(options.replay, &stream.replay, &error)) {
      std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
      return kUsageStatus;
    }
  } else if (!options.silent) {
    if (!options.haveSeed) {
      options.seed =
          static_cast<uint64_t>(nictate::MonotonicNs()) ^ (static_cast<uint64_t>(getpid()) << 32);
      std::fprintf(stderr, "%s: seed %" PRIu64 "\n", kName, options.seed);
    }
    StartWearer(&stream.wearer, options.seed);
    std::string error;
    if (!options.recording.empty() &&
        !StartRecordedWave(&stream.wave, options.recording, options.column, options.rate, &error)) {
      std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
      return kUsageStatus;
    }
    if (options.rawBlinks) {
      StartSyntheticWave(&stream.wave, options.seed);
    }
  }

  if (!InstallSignals()) {
    std::fprintf(stderr, "%s: cannot set up signals: %s\n", kName, std::strerror(errno));
    return kFailureStatus;
  }

  Port port;
  port.com = options.com;
  port.mapDir = options.ports.empty() ? tg::PortMapDirectory() : options.ports;
  if (port.mapDir.empty()) {
    std::fprintf(stderr, "%s: no port map directory: give --ports or set NICTATE_PORTS\n", kName);
    return kFailureStatus;
  }
  while (port.mapDir.size() > 1 && port.mapDir.back() == '/') {
    port.mapDir.pop_back();
  }
  port.link = port.mapDir + "/com" + std::to_string(port.com);
  if (!MakeDirs(port.mapDir, &port.madeDirs)) {
    return kFailureStatus;
  }
  if (!port.madeDirs.empty()) {
    std::fprintf(stderr, "%s: made the port map %s; it goes again at the end\n", kName,
                 port.mapDir.c_str());
  }
  stream.port = &port;

  int status = kFailureStatus;
  if (PlugInPort(&port)) {
    Keyboard keyboard;
    if (!options.silent && options.replay.empty() && options.recording.empty()) {
      StartKeyboard(&keyboard);
    }
    Run(&stream, &keyboard, &gStopSignal, gWakePipe[0]);
    StopKeyboard(&keyboard);
    status = port.failed ? kFailureStatus : 0;
    ReportDropped(&port);
  }
  RemoveLink(&port);
  ClosePty(&port);
  for (auto dir = port.madeDirs.rbegin(); dir != port.madeDirs.rend(); ++dir) {
    (void)rmdir(dir->c_str());
  }
  FlushSaid();
  return status;
}

}  // namespace sim

int main(int argc, char **argv) { return sim::Main(argc, argv); }
