// nictate-bench: measures the built program the way a user runs it.
//
// It starts a private Xvfb, an X client that watches the mouse buttons, and
// a headset of its own: a pseudo-terminal published as COM0 in a private
// port map, into which it writes the headset's packets itself, so that it
// knows to the nanosecond when the last byte of each went in. Then it runs
// build/nictate against them (the connect costs the program's fixed
// 10-second wait once) and measures, in this order:
//
//   blink-to-click latency   blink packet written -> the X client sees the
//                            press, while the summary stream runs
//   xdotool                  `xdotool click 1` spawned -> the press seen
//   CPU                      utime+stime from /proc/PID/stat over a span, in
//                            four states: summary packets at 1 Hz, no bytes at all,
//                            the 512 Hz raw wave, the device unplugged
//   memory                   VmRSS before and after a million packets fed
//                            as fast as nictate takes them; VmHWM at the end
//
// Given a Windows build and a running Wine session, it also measures the
// blink-to-click latency of nictate.exe under Wine, the press seen by the
// Windows build's mouse_observer.exe (Wine's clicks reach Windows programs,
// not X clients). With --wine-only it measures that alone: scripts/bench
// runs it after the native run, so that Wine's own processes are not running
// beside the native measurements.
//
// It prints the table rows (Markdown) on standard output and its progress on
// standard error. Exit status: 0 when every target holds, 1 when one is
// missed or a measurement failed, 2 when it could not run at all.
#include <getopt.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/measures.h"
#include "testkit/packets.h"

using bench::Format;
using bench::Options;
using bench::Row;

namespace {

int Usage(const char *message) {
  if (message != nullptr) {
    std::fprintf(stderr, "nictate-bench: %s\n", message);
  }
  std::fprintf(stderr,
               "Usage: nictate-bench --nictate=PATH [--blinks=N] [--raw-blinks=N]\n"
               "         [--xdotool-clicks=N] [--cpu-seconds=S] [--packets=N] [--xdotool=PATH]\n"
               "         [--win-build=DIR --wine-prefix=DIR --wine-display=:N [--wine-only]\n"
               "          [--wine-blinks=N]]\n"
               "         [--samples=FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  enum {
    kNictate = 1,
    kBlinks,
    kClicks,
    kCpu,
    kPackets,
    kXdotool,
    kWinBuild,
    kPrefix,
    kDisplay,
    kSamples,
    kRawBlinks,
    kWineOnly,
    kWineBlinks
  };
  const struct option longOptions[] = {
      {"nictate", required_argument, nullptr, kNictate},
      {"blinks", required_argument, nullptr, kBlinks},
      {"xdotool-clicks", required_argument, nullptr, kClicks},
      {"cpu-seconds", required_argument, nullptr, kCpu},
      {"packets", required_argument, nullptr, kPackets},
      {"xdotool", required_argument, nullptr, kXdotool},
      {"win-build", required_argument, nullptr, kWinBuild},
      {"wine-prefix", required_argument, nullptr, kPrefix},
      {"wine-display", required_argument, nullptr, kDisplay},
      {"samples", required_argument, nullptr, kSamples},
      {"raw-blinks", required_argument, nullptr, kRawBlinks},
      {"wine-only", no_argument, nullptr, kWineOnly},
      {"wine-blinks", required_argument, nullptr, kWineBlinks},
      {nullptr, 0, nullptr, 0},
  };
  int option;
  while ((option = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
    switch (option) {
      case kNictate:
        options.nictate = optarg;
        break;
      case kBlinks:
        options.blinks = std::atoi(optarg);
        break;
      case kClicks:
        options.xdotoolClicks = std::atoi(optarg);
        break;
      case kCpu:
        options.cpuSeconds = std::atoi(optarg);
        break;
      case kPackets:
        options.packets = std::atol(optarg);
        break;
      case kXdotool:
        options.xdotool = optarg;
        break;
      case kWinBuild:
        options.winBuild = optarg;
        break;
      case kPrefix:
        options.winePrefix = optarg;
        break;
      case kDisplay:
        options.wineDisplay = optarg;
        break;
      case kSamples:
        options.samples = optarg;
        break;
      case kRawBlinks:
        options.rawBlinks = std::atoi(optarg);
        break;
      case kWineOnly:
        options.wineOnly = true;
        break;
      case kWineBlinks:
        options.wineBlinks = std::atoi(optarg);
        break;
      default:
        return Usage(nullptr);
    }
  }
  if (optind != argc || (options.nictate.empty() && !options.wineOnly)) {
    return Usage("--nictate is required");
  }
  if (options.blinks < 1 || options.wineBlinks < 1 || options.rawBlinks < 0 ||
      options.xdotoolClicks < 0 || options.cpuSeconds < 1 || options.packets < 1) {
    return Usage("counts and seconds must be positive");
  }
  signal(SIGPIPE, SIG_IGN);

  if (options.wineOnly) {
    if (options.winBuild.empty() || options.winePrefix.empty() || options.wineDisplay.empty()) {
      return Usage("--wine-only needs --win-build, --wine-prefix and --wine-display");
    }
    const Row wine = bench::RunWine(options);
    std::printf("| %s | %s | %s | %s |\n", wine.what.c_str(), wine.result.c_str(),
                wine.target.c_str(), wine.met.c_str());
    return 0;
  }

  std::vector<Row> rows;
  bool allMet = true;
  const bool nativeOk = bench::RunNative(options, &rows, &allMet);

  Row wine = {"Blink-to-click latency, Windows build under Wine (nictate.exe)",
              "not measured: no Windows build or no Wine", "reference", ""};
  if (!options.winBuild.empty() && !options.winePrefix.empty() && !options.wineDisplay.empty()) {
    wine = bench::RunWine(options);
  }
  rows.insert(rows.begin() + (rows.empty() ? 0 : 1), wine);

  // The wire itself, for reference.
  const size_t blinkBytes = testkit::Blink(1).size();
  const Row wire = {
      Format("Wire time of the %zu-byte blink packet at 9600 / 57600 baud", blinkBytes),
      Format("%.3f ms / %.3f ms (bytes x 10 bits / baud)", blinkBytes * 10e3 / 9600,
             blinkBytes * 10e3 / 57600),
      "reference", ""};
  rows.insert(rows.begin() + std::min<size_t>(rows.size(), 2), wire);

  for (const Row &row : rows) {
    std::printf("| %s | %s | %s | %s |\n", row.what.c_str(), row.result.c_str(), row.target.c_str(),
                row.met.c_str());
  }
  std::fflush(stdout);
  if (!nativeOk) {
    return 1;
  }
  return allMet ? 0 : 1;
}
