// nictate-sim: a headset on a pseudo-terminal.
//
// Publishes the pseudo-terminal as a COM port in the port map (a "comN" link,
// removed again when it ends) and writes the headset's packet stream into it
// in real time: a summary packet once a second, optionally the raw wave at
// 512 samples a second, blinks on a schedule or on a key press, or the bytes
// of a stream log with their original timing. It prints one line per value it
// sends, so a test can hold nictate's output against it. tools/README.md and
// --help describe the command line.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "link/thinkgear.h"
#include "thinkgear/parser.h"
#include "thinkgear/serial.h"
#include "tools/clock.h"
#include "tools/packet.h"
#include "tools/pty.h"
#include "tools/stream_log.h"

namespace {

const char kName[] = "nictate-sim";
const int kUsageStatus = 2;
const int kFailureStatus = 1;
const int64_t kSecond = 1000000000;  // nanoseconds

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
    "  --garbage            random bytes between the packets, and now and then a blink\n"
    "                       packet with a bad checksum; no packet is lost to them\n"
    "  --silent             open the port but send nothing\n"
    "  --replay FILE        send the bytes of a stream log (nictate's streamLog.txt)\n"
    "                       byte for byte with their original timing, then stay silent\n"
    "  -h, --help           show this help and exit\n"
    "\n"
    "Times are seconds (fractions allowed) counted from the moment the port is\n"
    "published. When standard input is the terminal in the foreground, each key\n"
    "press blinks once (not with --silent or --replay).\n"
    "\n"
    "Standard output, one line each, flushed as it happens:\n"
    "  nictate-sim: COM3 is /dev/pts/4   the port is published (again after an unplug)\n"
    "  nictate-sim: COM3 unplugged       --unplug closed the port\n"
    "  attention 53                      a value sent, in the order sent, named\n"
    "                                    poor_signal, attention, meditation, delta,\n"
    "                                    theta, low_alpha, high_alpha, low_beta,\n"
    "                                    high_beta, low_gamma, mid_gamma, raw, blink\n"
    "  garbage 7                         seven random bytes sent between packets\n"
    "  corrupt blink 99                  a blink packet with a bad checksum sent\n"
    "With --replay the value lines are those the replayed bytes carry. A packet the\n"
    "port cannot take (nobody reads it and its buffer is full) is dropped, not\n"
    "printed, and counted on standard error.\n"
    "\n"
    "Exit status: 0 after --seconds or a signal, 1 on a failure, 2 on a usage error.\n";

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
  int64_t blinkEvery = 0;  // 0: none
  std::vector<int64_t> blinkAt;
  std::string replay;
  bool silent = false;
  bool garbage = false;
  int64_t seconds = 0;  // 0: until a signal
  std::vector<Unplug> unplugs;
};

// ---------------------------------------------------------------------------
// Command line

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

// Fills *options from the command line. Returns -1 to go on, else the exit
// status to end with.
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
      case ':':
        return UsageError("option '" + name + "' needs a value");
      default:
        return UsageError("unknown option '" + name + "'");
    }
  }
  if (optind < argc) {
    return UsageError(std::string("unexpected argument '") + argv[optind] + "'");
  }
  const bool generating = options->raw || options->blinkEvery != 0 || !options->blinkAt.empty() ||
                          options->garbage || options->haveSeed;
  if (options->silent && (generating || !options->replay.empty())) {
    return UsageError("--silent sends nothing; it takes no stream options");
  }
  if (!options->replay.empty() && generating) {
    return UsageError("--replay sends the log's bytes only; it takes no other stream options");
  }
  std::sort(options->blinkAt.begin(), options->blinkAt.end());
  return -1;
}

// ---------------------------------------------------------------------------
// Simulated values

// splitmix64: small, and the same sequence on every platform.
struct Random {
  uint64_t state;
};

uint64_t NextRandom(Random *random) {
  uint64_t z = (random->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double UniformUnit(Random *random) {
  return (NextRandom(random) >> 11) * (1.0 / 9007199254740992.0);
}

int UniformInt(Random *random, int low, int high) {
  return low + static_cast<int>(NextRandom(random) % static_cast<uint64_t>(high - low + 1));
}

double Gaussian(Random *random) {
  const double u = 1.0 - UniformUnit(random);
  const double v = UniformUnit(random);
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
}

// Typical band powers of a resting wearer: delta, theta, low alpha, high
// alpha, low beta, high beta, low gamma, mid gamma.
const double kBandBase[sim::kBandCount] = {400000, 90000, 25000, 18000, 14000, 11000, 6000, 3500};

struct Wearer {
  Random random;
  double attention;
  double meditation;
  int poorSignal;
  int poorSecondsLeft;
  double logBand[sim::kBandCount];
  double alphaPhase;
  double thetaPhase;
};

void StartWearer(Wearer *wearer, uint64_t seed) {
  wearer->random.state = seed;
  wearer->attention = UniformInt(&wearer->random, 35, 65);
  wearer->meditation = UniformInt(&wearer->random, 35, 65);
  wearer->poorSignal = 0;
  wearer->poorSecondsLeft = 0;
  for (size_t band = 0; band < sim::kBandCount; ++band) {
    wearer->logBand[band] = std::log(kBandBase[band]);
  }
  wearer->alphaPhase = UniformUnit(&wearer->random) * 2 * M_PI;
  wearer->thetaPhase = UniformUnit(&wearer->random) * 2 * M_PI;
}

// A value that drifts around a centre, kept within [low, high].
double Drift(Random *random, double value, double centre, double step, double low, double high) {
  value += 0.12 * (centre - value) + step * Gaussian(random);
  return std::min(high, std::max(low, value));
}

struct Summary {
  uint8_t poorSignal;
  uint8_t attention;
  uint8_t meditation;
  uint32_t bands[sim::kBandCount];
};

// The next second's summary values.
Summary NextSummary(Wearer *wearer) {
  Random *random = &wearer->random;
  wearer->attention = Drift(random, wearer->attention, 55, 7, 1, 100);
  wearer->meditation = Drift(random, wearer->meditation, 50, 6, 1, 100);
  // Now and then the contact is poor for a few seconds.
  if (wearer->poorSecondsLeft > 0) {
    --wearer->poorSecondsLeft;
    if (wearer->poorSecondsLeft == 0) {
      wearer->poorSignal = 0;
    }
  } else if (UniformUnit(random) < 0.03) {
    wearer->poorSecondsLeft = UniformInt(random, 2, 4);
    wearer->poorSignal = UniformInt(random, 26, 80);
  }
  Summary e;
  e.poorSignal = static_cast<uint8_t>(wearer->poorSignal);
  e.attention = static_cast<uint8_t>(std::lround(wearer->attention));
  e.meditation = static_cast<uint8_t>(std::lround(wearer->meditation));
  for (size_t band = 0; band < sim::kBandCount; ++band) {
    const double centre = std::log(kBandBase[band]);
    wearer->logBand[band] += 0.3 * (centre - wearer->logBand[band]) + 0.35 * Gaussian(random);
    const double power = std::exp(wearer->logBand[band]);
    e.bands[band] = static_cast<uint32_t>(std::min(16777215.0, std::max(0.0, power)));
  }
  return e;
}

// One raw sample: alpha and theta waves and noise, in the ADC's units.
int16_t NextRawSample(Wearer *wearer, int64_t index) {
  const double t = static_cast<double>(index) / sim::kRawRate;
  const double value = 180 * std::sin(2 * M_PI * 10.0 * t + wearer->alphaPhase) +
                       90 * std::sin(2 * M_PI * 6.2 * t + wearer->thetaPhase) +
                       40 * Gaussian(&wearer->random);
  return static_cast<int16_t>(std::lround(std::min(32767.0, std::max(-32768.0, value))));
}

// ---------------------------------------------------------------------------
// Signals, the clock and standard output

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

// Standard output is the simulator's report; a reader that went away does
// not stop the device, so write errors there are dropped.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
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

// ---------------------------------------------------------------------------
// The port: a pseudo-terminal and its link in the port map

struct Port {
  int com;
  std::string mapDir;
  std::vector<std::string> madeDirs;  // made by us, removed at the end
  std::string link;                   // mapDir/comN
  int master = -1;
  int slave = -1;  // held so that writes before anyone opens the port are kept
  std::string path;
  bool linked = false;
  std::string pending;  // the tail of a packet the port took only in part
  uint64_t dropped = 0;
  bool failed = false;
};

// Makes dir and its missing parents, noting each one made.
bool MakeDirs(const std::string &dir, std::vector<std::string> *made) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), 0755) == 0) {
      made->push_back(part);
    } else if (!part.empty() && errno != EEXIST) {
      std::fprintf(stderr, "%s: cannot make %s: %s\n", kName, part.c_str(), std::strerror(errno));
      return false;
    }
    if (slash == std::string::npos) {
      break;
    }
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "%s: %s is not a directory\n", kName, dir.c_str());
    return false;
  }
  return true;
}

void ClosePty(Port *port) {
  if (port->master >= 0) {
    (void)close(port->master);
  }
  if (port->slave >= 0) {
    (void)close(port->slave);
  }
  port->master = -1;
  port->slave = -1;
  port->pending.clear();
}

// A new pseudo-terminal, raw 8N1 so that every byte passes unchanged. It is
// not made exclusive (TIOCEXCL): that is the opener's to set.
bool OpenPty(Port *port) {
  sim::RawPty pty;
  std::string error;
  if (!sim::OpenRawPty(&pty, &error)) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return false;
  }
  port->master = pty.master;
  port->slave = pty.slave;
  port->path = pty.path;
  return true;
}

// Points mapDir/comN at the pseudo-terminal. A dangling link left by an
// earlier run is replaced; a link to a device that is there is not.
bool PublishLink(Port *port) {
  struct stat info;
  if (lstat(port->link.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      std::fprintf(stderr, "%s: %s is in the way and is not a link\n", kName, port->link.c_str());
      return false;
    }
    if (stat(port->link.c_str(), &info) == 0) {
      char target[256];
      const ssize_t n = readlink(port->link.c_str(), target, sizeof target - 1);
      target[n > 0 ? n : 0] = '\0';
      std::fprintf(stderr, "%s: COM%d is taken: %s links to %s; choose another --com\n", kName,
                   port->com, port->link.c_str(), target);
      return false;
    }
  }
  // Made beside it and renamed over it, so a reader never sees it half made.
  const std::string temporary =
      port->mapDir + "/.com" + std::to_string(port->com) + "." + std::to_string(getpid());
  (void)unlink(temporary.c_str());
  if (symlink(port->path.c_str(), temporary.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot make %s: %s\n", kName, temporary.c_str(),
                 std::strerror(errno));
    return false;
  }
  if (rename(temporary.c_str(), port->link.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot make %s: %s\n", kName, port->link.c_str(),
                 std::strerror(errno));
    (void)unlink(temporary.c_str());
    return false;
  }
  port->linked = true;
  return true;
}

// Removes the link if it is still ours.
void RemoveLink(Port *port) {
  if (!port->linked) {
    return;
  }
  port->linked = false;
  char target[256];
  const ssize_t n = readlink(port->link.c_str(), target, sizeof target - 1);
  if (n < 0) {
    return;
  }
  target[n] = '\0';
  if (port->path == target && unlink(port->link.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot remove %s: %s\n", kName, port->link.c_str(),
                 std::strerror(errno));
  }
}

bool PlugInPort(Port *port) {
  if (!OpenPty(port)) {
    return false;
  }
  if (!PublishLink(port)) {
    ClosePty(port);
    return false;
  }
  Say("%s: COM%d is %s\n", kName, port->com, port->path.c_str());
  FlushSaid();
  return true;
}

void UnplugPort(Port *port) {
  RemoveLink(port);
  ClosePty(port);
  Say("%s: COM%d unplugged\n", kName, port->com);
}

// Writes what the port takes of the bytes now: the count (0 while it is
// full), or -1 when it failed, which is said and marks the port failed.
ssize_t WriteSome(Port *port, const void *bytes, size_t count) {
  ssize_t n;
  do {
    n = write(port->master, bytes, count);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    return n;
  }
  if (errno == EAGAIN) {
    return 0;
  }
  std::fprintf(stderr, "%s: cannot write to %s: %s\n", kName, port->path.c_str(),
               std::strerror(errno));
  port->failed = true;
  return -1;
}

// Says how many packets were dropped since it last said so.
void ReportDropped(Port *port) {
  if (port->dropped != 0) {
    std::fprintf(stderr, "%s: dropped %" PRIu64 " packets while nobody read COM%d\n", kName,
                 port->dropped, port->com);
    port->dropped = 0;
  }
}

// Writes what is left of a packet the port took in part.
void FlushPending(Port *port) {
  while (!port->pending.empty()) {
    const ssize_t n = WriteSome(port, port->pending.data(), port->pending.size());
    if (n <= 0) {
      return;
    }
    port->pending.erase(0, static_cast<size_t>(n));
  }
}

// Sends bytes that belong together (a packet, a burst of noise). True when
// the port took them; they are dropped whole while it is full or unplugged.
bool Send(Port *port, const uint8_t *bytes, size_t count) {
  if (port->master < 0 || port->failed) {
    return false;
  }
  FlushPending(port);
  if (!port->pending.empty() || port->failed) {
    ++port->dropped;
    return false;
  }
  const ssize_t n = WriteSome(port, bytes, count);
  if (n <= 0) {
    port->dropped += n == 0 ? 1 : 0;
    return false;
  }
  if (static_cast<size_t>(n) < count) {
    port->pending.assign(reinterpret_cast<const char *>(bytes) + n, count - n);
  }
  ReportDropped(port);
  return true;
}

// ---------------------------------------------------------------------------
// The stream

struct Stream {
  const Options *options;
  Port *port;
  Wearer wearer;
  std::vector<sim::StreamChunk> replay;
  tg::Framer replayFramer;
};

bool SendPayload(Stream *stream, const sim::Payload &payload) {
  uint8_t packet[sim::kMaxPacketLength];
  const size_t length = sim::EncodePacket(payload, packet);
  return Send(stream->port, packet, length);
}

void SendSummary(Stream *stream) {
  const Summary e = NextSummary(&stream->wearer);
  sim::Payload payload;
  (void)sim::AppendSummaryRows(&payload, e.poorSignal, e.attention, e.meditation, e.bands);
  if (!SendPayload(stream, payload)) {
    return;
  }
  Say("%s %d\n", sim::ValueName(TG_DATA_POOR_SIGNAL), e.poorSignal);
  Say("%s %d\n", sim::ValueName(TG_DATA_ATTENTION), e.attention);
  Say("%s %d\n", sim::ValueName(TG_DATA_MEDITATION), e.meditation);
  for (size_t band = 0; band < sim::kBandCount; ++band) {
    Say("%s %" PRIu32 "\n", sim::ValueName(TG_DATA_DELTA + static_cast<int>(band)), e.bands[band]);
  }
}

void SendRaw(Stream *stream, int64_t index) {
  const int16_t sample = NextRawSample(&stream->wearer, index);
  sim::Payload payload;
  (void)sim::AppendRawSample(&payload, sample);
  if (SendPayload(stream, payload)) {
    Say("%s %d\n", sim::ValueName(TG_DATA_RAW), sample);
  }
}

void SendBlink(Stream *stream) {
  const uint8_t strength = static_cast<uint8_t>(UniformInt(&stream->wearer.random, 40, 160));
  sim::Payload payload;
  (void)sim::AppendByteRow(&payload, sim::kRowBlinkStrength, strength);
  if (SendPayload(stream, payload)) {
    Say("%s %d\n", sim::ValueName(TG_DATA_BLINK_STRENGTH), strength);
  }
}

// Line noise: random bytes that never hold two sync bytes in a row, so they
// cannot start a frame and swallow the packet after them.
void SendNoise(Stream *stream) {
  Random *random = &stream->wearer.random;
  uint8_t bytes[24];
  const size_t count = static_cast<size_t>(UniformInt(random, 1, sizeof bytes));
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(NextRandom(random));
    if (i > 0 && bytes[i] == sim::kSyncByte && bytes[i - 1] == sim::kSyncByte) {
      bytes[i] = 0x00;
    }
  }
  if (Send(stream->port, bytes, count)) {
    Say("garbage %zu\n", count);
  }
}

// A blink packet whose checksum is wrong: a reader must drop it.
void SendCorruptBlink(Stream *stream) {
  const uint8_t strength = static_cast<uint8_t>(UniformInt(&stream->wearer.random, 40, 160));
  sim::Payload payload;
  (void)sim::AppendByteRow(&payload, sim::kRowBlinkStrength, strength);
  uint8_t packet[sim::kMaxPacketLength];
  const size_t length = sim::EncodePacket(payload, packet);
  packet[length - 1] ^= 0x5A;
  if (Send(stream->port, packet, length)) {
    Say("corrupt blink %d\n", strength);
  }
}

// Sends the bytes whole: what the port cannot take now waits in pending.
// False when the port is unplugged or failed.
bool SendWhole(Port *port, const uint8_t *bytes, size_t count) {
  if (port->master < 0 || port->failed) {
    return false;
  }
  size_t sent = 0;
  if (port->pending.empty()) {
    const ssize_t n = WriteSome(port, bytes, count);
    if (n < 0) {
      return false;
    }
    sent = static_cast<size_t>(n);
  }
  port->pending.append(reinterpret_cast<const char *>(bytes) + sent, count - sent);
  return true;
}

void SendReplayChunk(Stream *stream, const sim::StreamChunk &chunk) {
  if (!SendWhole(stream->port, chunk.bytes.data(), chunk.bytes.size())) {
    return;
  }
  // The values these bytes carry, as a reader that frames them will see them.
  // The framer consumes every byte before it reports no frame.
  size_t at = 0;
  for (;;) {
    bool ready = false;
    at += stream->replayFramer.feed(chunk.bytes.data() + at, chunk.bytes.size() - at, &ready);
    if (!ready) {
      break;
    }
    tg::Value values[tg::kMaxValuesPerFrame];
    const tg::Frame &frame = stream->replayFramer.frame();
    const size_t count = tg::DecodePayload(frame.payload, frame.length, values);
    for (size_t i = 0; i < count; ++i) {
      Say("%s %.0f\n", sim::ValueName(values[i].dataType), values[i].value);
    }
  }
}

// ---------------------------------------------------------------------------
// The schedule

enum EventKind {
  kEventEnd,
  kEventUnplug,
  kEventPlugIn,
  kEventSummary,
  kEventBlink,
  kEventGarbage,
  kEventRaw,
  kEventReplay,
  kEventCount,
};

const int64_t kNever = INT64_MAX;

struct Schedule {
  int64_t due[kEventCount];
  int64_t summaryIndex = 0;
  int64_t rawIndex = 0;
  int64_t garbageIndex = 0;
  int64_t everyIndex = 1;
  size_t blinkAtIndex = 0;
  size_t unplugIndex = 0;
  size_t replayIndex = 0;
  int64_t replayStart = 0;  // the log's first time, in microseconds
  // A replay loses no byte: while the port holds bytes nobody has read, it
  // waits, and the rest of the log is sent that much later.
  int64_t replayDelay = 0;
  int64_t replayWaitingSince = -1;
};

int64_t NextBlink(const Options &options, const Schedule &schedule) {
  int64_t next = kNever;
  if (options.blinkEvery != 0) {
    next = options.blinkEvery * schedule.everyIndex;
  }
  if (schedule.blinkAtIndex < options.blinkAt.size()) {
    next = std::min(next, options.blinkAt[schedule.blinkAtIndex]);
  }
  return next;
}

int64_t NextReplay(const Stream &stream, const Schedule &schedule) {
  if (schedule.replayIndex >= stream.replay.size()) {
    return kNever;
  }
  // Log times come from the wall clock; one that went back is sent at once.
  const int64_t micros = stream.replay[schedule.replayIndex].micros - schedule.replayStart;
  return std::max<int64_t>(0, micros) * 1000 + schedule.replayDelay;
}

void StartSchedule(const Stream &stream, Schedule *schedule) {
  const Options &options = *stream.options;
  for (int64_t &due : schedule->due) {
    due = kNever;
  }
  schedule->due[kEventEnd] = options.seconds != 0 ? options.seconds : kNever;
  if (!options.unplugs.empty()) {
    schedule->due[kEventUnplug] = options.unplugs[0].at;
  }
  if (!options.replay.empty()) {
    schedule->replayStart = stream.replay.front().micros;
    schedule->due[kEventReplay] = NextReplay(stream, *schedule);
  } else if (!options.silent) {
    schedule->due[kEventSummary] = 0;
    schedule->due[kEventBlink] = NextBlink(options, *schedule);
    if (options.garbage) {
      schedule->due[kEventGarbage] = kSecond / 2;
    }
    if (options.raw) {
      schedule->due[kEventRaw] = 0;
    }
  }
}

// Handles one due event and schedules its next one. False to stop.
bool RunEvent(Stream *stream, Schedule *schedule, EventKind kind, int64_t now) {
  const Options &options = *stream->options;
  Port *port = stream->port;
  switch (kind) {
    case kEventEnd:
      return false;
    case kEventUnplug: {
      const Unplug &unplug = options.unplugs[schedule->unplugIndex];
      UnplugPort(port);
      schedule->due[kEventUnplug] = kNever;
      schedule->due[kEventPlugIn] = unplug.at + unplug.gap;
      break;
    }
    case kEventPlugIn:
      schedule->due[kEventPlugIn] = kNever;
      if (!PlugInPort(port)) {
        port->failed = true;
        return false;
      }
      if (++schedule->unplugIndex < options.unplugs.size()) {
        schedule->due[kEventUnplug] = options.unplugs[schedule->unplugIndex].at;
      }
      break;
    case kEventSummary:
      if (options.garbage) {
        SendNoise(stream);
      }
      SendSummary(stream);
      schedule->due[kEventSummary] = ++schedule->summaryIndex * kSecond;
      break;
    case kEventBlink:
      // A time given twice, or by both options, blinks twice.
      if (schedule->blinkAtIndex < options.blinkAt.size() &&
          options.blinkAt[schedule->blinkAtIndex] == schedule->due[kEventBlink]) {
        ++schedule->blinkAtIndex;
      } else {
        ++schedule->everyIndex;
      }
      if (options.garbage) {
        SendNoise(stream);
      }
      SendBlink(stream);
      schedule->due[kEventBlink] = NextBlink(options, *schedule);
      break;
    case kEventGarbage:
      SendNoise(stream);
      if (schedule->garbageIndex % 2 == 1) {
        SendCorruptBlink(stream);
        SendNoise(stream);
      }
      schedule->due[kEventGarbage] = ++schedule->garbageIndex * kSecond + kSecond / 2;
      break;
    case kEventRaw:
      SendRaw(stream, schedule->rawIndex);
      ++schedule->rawIndex;
      schedule->due[kEventRaw] = schedule->rawIndex * kSecond / sim::kRawRate;
      break;
    case kEventReplay:
      FlushPending(port);
      if (!port->pending.empty()) {
        schedule->replayWaitingSince = now;
        schedule->due[kEventReplay] = kNever;
        break;
      }
      SendReplayChunk(stream, stream->replay[schedule->replayIndex]);
      ++schedule->replayIndex;
      schedule->due[kEventReplay] = NextReplay(*stream, *schedule);
      break;
    case kEventCount:
      break;
  }
  return !port->failed;
}

// ---------------------------------------------------------------------------
// The terminal, for blinks on a key press

struct Keyboard {
  bool active = false;
  struct termios saved;
};

void StartKeyboard(Keyboard *keyboard) {
  if (isatty(STDIN_FILENO) != 1 || tcgetpgrp(STDIN_FILENO) != getpgrp()) {
    return;
  }
  if (tcgetattr(STDIN_FILENO, &keyboard->saved) != 0) {
    return;
  }
  struct termios tio = keyboard->saved;
  tio.c_lflag &= ~(ICANON | ECHO);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &tio) != 0) {
    return;
  }
  keyboard->active = true;
  std::fprintf(stderr, "%s: press a key to blink, Ctrl-C to stop\n", kName);
}

void StopKeyboard(Keyboard *keyboard) {
  if (keyboard->active) {
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &keyboard->saved);
    keyboard->active = false;
  }
}

// Blinks once per key waiting on the terminal.
void ReadKeys(Stream *stream, Keyboard *keyboard) {
  char keys[64];
  const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
  if (n <= 0) {
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      StopKeyboard(keyboard);
    }
    return;
  }
  for (ssize_t i = 0; i < n; ++i) {
    SendBlink(stream);
  }
}

// ---------------------------------------------------------------------------

// Runs the schedule until it ends, a signal comes or the port fails.
void Run(Stream *stream, Keyboard *keyboard) {
  Schedule schedule;
  StartSchedule(*stream, &schedule);
  const int64_t start = sim::MonotonicNs();
  for (;;) {
    if (gStopSignal != 0) {
      return;
    }
    const int64_t now = sim::MonotonicNs() - start;
    // Every event that is due, earliest first.
    for (;;) {
      int next = -1;
      for (int kind = 0; kind < kEventCount; ++kind) {
        if (schedule.due[kind] <= now && (next < 0 || schedule.due[kind] < schedule.due[next])) {
          next = kind;
        }
      }
      if (next < 0) {
        break;
      }
      if (!RunEvent(stream, &schedule, static_cast<EventKind>(next), now)) {
        FlushSaid();
        return;
      }
    }
    FlushSaid();

    int64_t wake = kNever;
    for (int64_t due : schedule.due) {
      wake = std::min(wake, due);
    }
    struct pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {gWakePipe[0], POLLIN, 0};
    if (keyboard->active) {
      fds[count++] = {STDIN_FILENO, POLLIN, 0};
    }
    if (!stream->port->pending.empty() && stream->port->master >= 0) {
      fds[count++] = {stream->port->master, POLLOUT, 0};
    }
    struct timespec timeout;
    struct timespec *timeoutPointer = nullptr;
    if (wake != kNever) {
      const int64_t left = std::max<int64_t>(0, wake - (sim::MonotonicNs() - start));
      timeout.tv_sec = static_cast<time_t>(left / kSecond);
      timeout.tv_nsec = static_cast<long>(left % kSecond);
      timeoutPointer = &timeout;
    }
    const int ready = ppoll(fds, count, timeoutPointer, nullptr);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "%s: poll: %s\n", kName, std::strerror(errno));
      stream->port->failed = true;
      return;
    }
    for (nfds_t i = 1; ready > 0 && i < count; ++i) {
      if (fds[i].fd == STDIN_FILENO && fds[i].revents != 0) {
        ReadKeys(stream, keyboard);
      } else if (fds[i].fd == stream->port->master && fds[i].revents != 0) {
        FlushPending(stream->port);
      }
    }
    if (schedule.replayWaitingSince >= 0 && stream->port->pending.empty()) {
      schedule.replayDelay += sim::MonotonicNs() - start - schedule.replayWaitingSince;
      schedule.replayWaitingSince = -1;
      schedule.due[kEventReplay] = NextReplay(*stream, schedule);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) {
    return parsed;
  }

  Stream stream;
  stream.options = &options;
  if (!options.replay.empty()) {
    std::string error;
    if (!sim::ReadStreamLog(options.replay, &stream.replay, &error)) {
      std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
      return kFailureStatus;
    }
  } else if (!options.silent) {
    if (!options.haveSeed) {
      options.seed =
          static_cast<uint64_t>(sim::MonotonicNs()) ^ (static_cast<uint64_t>(getpid()) << 32);
      std::fprintf(stderr, "%s: seed %" PRIu64 "\n", kName, options.seed);
    }
    StartWearer(&stream.wearer, options.seed);
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
    if (!options.silent && options.replay.empty()) {
      StartKeyboard(&keyboard);
    }
    Run(&stream, &keyboard);
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
