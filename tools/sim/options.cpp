#include "tools/sim/options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/recording.h"
#include "tools/sim/say.h"

namespace sim {

namespace {

const char kUsage[] =
    "Usage: nictate-sim [OPTION]...\n"
    "A simulated headset. Publishes a pseudo-terminal as a COM port in nictate's\n"
    "port map and writes the headset's packet stream into it in real time.\n"
    "\n"
    "Port:\n"
    "  --com N              publish the port as COMN: the link comN in the port map\n"
    "                       (0-255, default 3)\n"
    "  --ports DIR          the port map directory (default $NICTATE_PORTS, else\n"
    "                       $XDG_CONFIG_HOME/nictate/ports, else ~/.config/nictate/ports);\n"
    "                       made when missing and then removed again at the end\n"
    "  --unplug AT:SECONDS  at AT seconds close the port, so the device disappears and\n"
    "                       its link goes; SECONDS later open a new pseudo-terminal\n"
    "                       under the same COM name (repeatable, in time order)\n"
    "  --seconds N          stop after N seconds (default: run until SIGINT or SIGTERM)\n"
    "\n"
    "Stream (by default a summary packet once a second: poor signal, attention,\n"
    "meditation and the eight band powers, drifting like a real wearer's):\n"
    "  --seed N             seed of the simulated values, to repeat a run (default:\n"
    "                       from the clock, printed on standard error)\n"
    "  --raw                also the raw wave: 512 samples a second, one per packet\n"
    "  --blink-every S      a blink every S seconds, the first at S\n"
    "  --blink-at T[,T...]  blinks at these times (repeatable)\n"
    "  --raw-blinks         a headset that leaves blinks to the library: the raw wave\n"
    "                       of a forehead (background, alpha, drift, mains hum) with\n"
    "                       the blinks in it, of 120 to 400 microvolts, and no blink\n"
    "                       rows; the contact stays good\n"
    "  --recording FILE     the same with a recording's raw wave, played in a loop:\n"
    "                       a CSV file of microvolts (a header line, then a row per\n"
    "                       sample); no blinks of its own are added\n"
    "  --column N           the recording's column, from 0 (default 0)\n"
    "  --rate HZ            the recording's samples a second (default 256)\n"
    "  --garbage            random bytes between the packets, and now and then a blink\n"
    "                       packet with a bad checksum; no packet is lost to them\n"
    "  --silent             open the port but send nothing\n"
    "  --replay FILE        send the bytes of a stream log (nictate's streamLog.txt)\n"
    "                       byte for byte with their original timing, then stay silent\n"
    "  -h, --help           show this help and exit\n"
    "\n"
    "Times are seconds (fractions allowed) counted from the moment the port is\n"
    "published. When standard input is the terminal in the foreground, each key\n"
    "press blinks once (not with --silent, --replay or --recording).\n"
    "\n"
    "Standard output, one line each, flushed as it happens:\n"
    "  nictate-sim: COM3 is /dev/pts/4   the port is published (again after an unplug)\n"
    "  nictate-sim: COM3 unplugged       --unplug closed the port\n"
    "  attention 53                      a value sent, in the order sent, named\n"
    "                                    poor_signal, attention, meditation, delta,\n"
    "                                    theta, low_alpha, high_alpha, low_beta,\n"
    "                                    high_beta, low_gamma, mid_gamma, raw, blink\n"
    "  raw blink 250                     --raw-blinks: a blink of 250 microvolts\n"
    "                                    begins in the raw wave\n"
    "  garbage 7                         seven random bytes sent between packets\n"
    "  corrupt blink 99                  a blink packet with a bad checksum sent\n"
    "With --replay the value lines are those the replayed bytes carry. A packet the\n"
    "port cannot take (nobody reads it and its buffer is full) is dropped, not\n"
    "printed, and counted on standard error.\n"
    "\n"
    "Exit status: 0 after --seconds or a signal, 1 on a failure, 2 on a usage error\n"
    "or a file of --replay or --recording that cannot be read or is not one.\n";

bool ParseSeconds(const char *text, bool allowZero, int64_t *nanos) {
  if (text == nullptr || *text == '\0') {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0 ||
      (!allowZero && value == 0) || value > 1e7) {
    return false;
  }
  *nanos = static_cast<int64_t>(std::llround(value * 1e9));
  return allowZero || *nanos > 0;
}

bool ParseUnsigned(const char *text, uint64_t max, uint64_t *out) {
  if (text == nullptr || *text < '0' || *text > '9') {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > max) {
    return false;
  }
  *out = value;
  return true;
}

// Reports a usage error; returns the usage status.
int UsageError(const std::string &message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kName, message.c_str(), kName);
  return kUsageStatus;
}

}  // namespace

int ParseOptions(int argc, char **argv, Options *options) {
  enum {
    kCom = 256,
    kPorts,
    kSeed,
    kRaw,
    kBlinkEvery,
    kBlinkAt,
    kReplay,
    kSilent,
    kGarbage,
    kSeconds,
    kUnplug,
    kRawBlinks,
    kRecording,
    kColumn,
    kRate,
  };
  static const struct option kLong[] = {
      {"com", required_argument, nullptr, kCom},
      {"ports", required_argument, nullptr, kPorts},
      {"seed", required_argument, nullptr, kSeed},
      {"raw", no_argument, nullptr, kRaw},
      {"blink-every", required_argument, nullptr, kBlinkEvery},
      {"blink-at", required_argument, nullptr, kBlinkAt},
      {"replay", required_argument, nullptr, kReplay},
      {"silent", no_argument, nullptr, kSilent},
      {"garbage", no_argument, nullptr, kGarbage},
      {"seconds", required_argument, nullptr, kSeconds},
      {"unplug", required_argument, nullptr, kUnplug},
      {"raw-blinks", no_argument, nullptr, kRawBlinks},
      {"recording", required_argument, nullptr, kRecording},
      {"column", required_argument, nullptr, kColumn},
      {"rate", required_argument, nullptr, kRate},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int option;
  while ((option = getopt_long(argc, argv, ":h", kLong, nullptr)) != -1) {
    const std::string name = optind > 1 && optind - 1 < argc ? argv[optind - 1] : "";
    switch (option) {
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case kCom: {
        uint64_t value;
        if (!ParseUnsigned(optarg, 255, &value)) {
          return UsageError(std::string("--com wants a port number from 0 to 255, not '") + optarg +
                            "'");
        }
        options->com = static_cast<int>(value);
        break;
      }
      case kPorts:
        if (optarg[0] == '\0') {
          return UsageError("--ports wants a directory");
        }
        options->ports = optarg;
        break;
      case kSeed:
        if (!ParseUnsigned(optarg, UINT64_MAX, &options->seed)) {
          return UsageError(std::string("--seed wants a whole number, not '") + optarg + "'");
        }
        options->haveSeed = true;
        break;
      case kRaw:
        options->raw = true;
        break;
      case kBlinkEvery:
        if (!ParseSeconds(optarg, false, &options->blinkEvery) ||
            options->blinkEvery < kSecond / 100) {
          return UsageError(std::string("--blink-every wants seconds of at least 0.01, not '") +
                            optarg + "'");
        }
        break;
      case kBlinkAt: {
        std::string list = optarg;
        size_t start = 0;
        for (;;) {
          const size_t comma = list.find(',', start);
          const std::string item = list.substr(start, comma - start);
          int64_t at;
          if (!ParseSeconds(item.c_str(), true, &at)) {
            return UsageError(std::string("--blink-at wants times in seconds, as 2,4.5,10; not '") +
                              optarg + "'");
          }
          options->blinkAt.push_back(at);
          if (comma == std::string::npos) {
            break;
          }
          start = comma + 1;
        }
        break;
      }
      case kReplay:
        if (optarg[0] == '\0') {
          return UsageError("--replay wants a stream log file");
        }
        options->replay = optarg;
        break;
      case kSilent:
        options->silent = true;
        break;
      case kGarbage:
        options->garbage = true;
        break;
      case kSeconds:
        if (!ParseSeconds(optarg, false, &options->seconds)) {
          return UsageError(std::string("--seconds wants a time in seconds above 0, not '") +
                            optarg + "'");
        }
        break;
      case kUnplug: {
        const std::string text = optarg;
        const size_t colon = text.find(':');
        Unplug unplug;
        if (colon == std::string::npos ||
            !ParseSeconds(text.substr(0, colon).c_str(), true, &unplug.at) ||
            !ParseSeconds(text.substr(colon + 1).c_str(), true, &unplug.gap)) {
          return UsageError(std::string("--unplug wants AT:SECONDS, as 20:5; not '") + optarg +
                            "'");
        }
        if (!options->unplugs.empty()) {
          const Unplug &last = options->unplugs.back();
          if (unplug.at < last.at + last.gap) {
            return UsageError(std::string("--unplug ") + optarg +
                              " starts before the device is back from the one before it");
          }
        }
        options->unplugs.push_back(unplug);
        break;
      }
      case kRawBlinks:
        options->rawBlinks = true;
        break;
      case kRecording:
        if (optarg[0] == '\0') {
          return UsageError("--recording wants a CSV file");
        }
        options->recording = optarg;
        break;
      case kColumn:
        if (!tools::ParseRecordingColumn(optarg, &options->column)) {
          return UsageError(std::string("--column wants a column number from 0, not '") + optarg +
                            "'");
        }
        options->haveColumnOrRate = true;
        break;
      case kRate:
        if (!tools::ParseRecordingRate(optarg, &options->rate)) {
          return UsageError(std::string("--rate wants samples a second from 1 to 100000, not '") +
                            optarg + "'");
        }
        options->haveColumnOrRate = true;
        break;
      case ':':
        return UsageError("option '" + name + "' needs a value");
      default:
        return UsageError("unknown option '" + name + "'");
    }
  }
  if (optind < argc) {
    return UsageError(std::string("unexpected argument '") + argv[optind] + "'");
  }
  const bool blinks = options->blinkEvery != 0 || !options->blinkAt.empty();
  const bool generating = options->raw || blinks || options->garbage || options->haveSeed ||
                          options->rawBlinks || !options->recording.empty();
  if (options->silent && (generating || !options->replay.empty())) {
    return UsageError("--silent sends nothing; it takes no stream options");
  }
  if (!options->replay.empty() && generating) {
    return UsageError("--replay sends the log's bytes only; it takes no other stream options");
  }
  if (options->haveColumnOrRate && options->recording.empty()) {
    return UsageError("--column and --rate go with --recording");
  }
  if (!options->recording.empty() && (options->raw || options->rawBlinks || blinks)) {
    return UsageError(
        "--recording is the raw wave and its blinks; it takes no --raw, --raw-blinks or blinks");
  }
  if (options->rawBlinks && options->raw) {
    return UsageError("--raw-blinks is a raw wave already; it takes no --raw");
  }
  std::sort(options->blinkAt.begin(), options->blinkAt.end());
  return -1;
}

}  // namespace sim
