// nictate-blinks: the blinks the device library finds in a recording or in
// the library's own data log.
//
// Reads an EEG recording (CSV, microvolts) and turns the chosen column into
// the headset's raw-wave stream (512 samples a second, in raw units), or
// reads the raw wave and the poor-signal values of a data log; frames them
// as the headset's packets (a recording with a good-contact summary packet
// each second) and runs those bytes through the library's own stream
// (framing, decoding and blink detection) as a connection with blink
// detection on would. Prints a line per blink reported and the count, and on
// request draws what the detector saw. tools/README.md has more.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "thinkgear/blink_detector.h"
#include "tools/blink_picture.h"
#include "tools/data_log.h"
#include "tools/raw_wave.h"
#include "tools/recording.h"

namespace {

const char kName[] = "nictate-blinks";
const int kUsageStatus = 2;

const char kUsage[] =
    "Usage: nictate-blinks [--rate HZ] [--column N] [--svg FILE.svg [--from S] [--to S]] FILE\n"
    "The blinks the device library finds in an EEG recording or in its data log.\n"
    "\n"
    "FILE is a recording (CSV) or the library's data log (dataLog.txt). A\n"
    "recording has a header line, then one row per sample: comma-separated\n"
    "columns in microvolts. The chosen column is resampled to the headset's 512\n"
    "samples a second and sent through the library as raw-wave packets with a\n"
    "good-contact summary packet each second. Of a data log, told by its first\n"
    "line, the raw wave (RAW lines) and the poor-signal values (POOR_SIGNAL) are\n"
    "sent in their order. Every blink the library reports is printed.\n"
    "\n"
    "  --rate HZ     the recording's samples a second (default 256)\n"
    "  --column N    the recording's column to take, from 0 (default 0)\n"
    "  --svg FILE    also draw what the blink detector saw into FILE (SVG): the\n"
    "                band-passed wave, the threshold, each blink reported and each\n"
    "                swing refused with the reason\n"
    "  --from S      the picture starts S seconds in (default 0)\n"
    "  --to S        and ends S seconds in (default: 600 s after --from, or the end);\n"
    "                at most 600 s\n"
    "  -h, --help    show this help and exit\n"
    "\n"
    "Standard output: a line per blink, 'blink SECONDS STRENGTH', SECONDS from\n"
    "the first sample to the report, STRENGTH from 1 to 255; then 'blinks: N'.\n"
    "\n"
    "Exit status: 0 when done, 1 when the output or the picture cannot be\n"
    "written, 2 on a usage error or a file that cannot be read or holds\n"
    "something else than a recording or a data log (the blinks before the line\n"
    "at fault are printed, the count is not).\n";

int UsageError(const std::string &message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kName, message.c_str(), kName);
  return kUsageStatus;
}

// Seconds into the input as given on a command line: 0 to 10^7.
bool ParseSeconds(const char *text, double *seconds) {
  char *end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value < 0 || value > 1e7) {
    return false;
  }
  *seconds = value;
  return true;
}

// Whether path is a regular file that starts like a data log. Anything
// else is left to the recording reader.
bool IsDataLog(const char *path) {
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char start[32];
  const ssize_t got = read(fd, start, sizeof start);
  (void)close(fd);
  return got > 0 && tools::LooksLikeDataLog(start, static_cast<size_t>(got));
}

// The raw wave through the library, blink by blink to standard output and,
// where asked for, into the picture.
class Run {
 public:
  Run(bool goodContact, tools::BlinkPicture *picture)
      : run_(new tools::RawWaveRun(goodContact)), picture_(picture), samples_(0), blinks_(0) {
    run_->watch(&trace_);
  }

  void sample(int16_t raw) {
    int strength = 0;
    if (run_->add(raw, &strength)) {
      ++blinks_;
      std::printf("blink %.3f %d\n", static_cast<double>(samples_) / tg::kRawSampleRate, strength);
    }
    if (picture_ != nullptr) {
      picture_->add(samples_, trace_);
    }
    ++samples_;
  }
  tools::RawWaveRun &stream() { return *run_; }
  int64_t samples() const { return samples_; }
  long blinks() const { return blinks_; }

 private:
  std::unique_ptr<tools::RawWaveRun> run_;
  tg::BlinkTrace trace_;
  tools::BlinkPicture *picture_;
  int64_t samples_;
  long blinks_;
};

// A data log's raw wave and poor-signal values, in order.
bool RunDataLog(const char *path, Run *run, std::string *error) {
  tools::DataLogReader reader;
  if (!reader.open(path, error)) {
    return false;
  }
  for (;;) {
    int value = 0;
    switch (reader.next(&value, error)) {
      case tools::DataLogItem::kRaw:
        run->sample(static_cast<int16_t>(value));
        break;
      case tools::DataLogItem::kPoorSignal:
        run->stream().contact(static_cast<uint8_t>(value));
        break;
      case tools::DataLogItem::kOpened:
        run->stream().newSignal();
        break;
      case tools::DataLogItem::kEnd:
        if (run->samples() == 0) {
          *error = std::string(path) +
                   ": no raw wave (RAW lines) in this data log: the headset sent none";
          return false;
        }
        return true;
      case tools::DataLogItem::kBad:
        return false;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  double rate = 256;
  int column = 0;
  bool recordingOptions = false;
  const char *svg = nullptr;
  double from = 0;
  double to = -1;
  bool span = false;
  enum { kRate = 256, kColumn, kSvg, kFrom, kTo };
  static const struct option kLong[] = {
      {"rate", required_argument, nullptr, kRate},
      {"column", required_argument, nullptr, kColumn},
      {"svg", required_argument, nullptr, kSvg},
      {"from", required_argument, nullptr, kFrom},
      {"to", required_argument, nullptr, kTo},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int option;
  while ((option = getopt_long(argc, argv, ":h", kLong, nullptr)) != -1) {
    switch (option) {
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case kRate:
        if (!tools::ParseRecordingRate(optarg, &rate)) {
          return UsageError(std::string("--rate wants samples a second from 1 to 100000, not '") +
                            optarg + "'");
        }
        recordingOptions = true;
        break;
      case kColumn:
        if (!tools::ParseRecordingColumn(optarg, &column)) {
          return UsageError(std::string("--column wants a column number from 0, not '") + optarg +
                            "'");
        }
        recordingOptions = true;
        break;
      case kSvg:
        svg = optarg;
        break;
      case kFrom:
      case kTo:
        if (!ParseSeconds(optarg, option == kFrom ? &from : &to)) {
          return UsageError(std::string(option == kFrom ? "--from" : "--to") +
                            " wants seconds from 0, not '" + optarg + "'");
        }
        span = true;
        break;
      case ':':
        return UsageError(std::string(argv[optind - 1]) + " wants a value");
      default:
        return UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind != argc - 1) {
    return UsageError(optind == argc ? "a recording or a data log (FILE) is needed"
                                     : "one file only");
  }
  if (span && svg == nullptr) {
    return UsageError("--from and --to choose the span of the picture: they need --svg");
  }
  if (to < 0) {
    to = from + tools::kLongestPicture;
  }
  if (to <= from || to - from > tools::kLongestPicture) {
    return UsageError("--to must come after --from, and at most 600 s after it");
  }
  const char *path = argv[optind];
  const bool dataLog = IsDataLog(path);
  if (dataLog && recordingOptions) {
    return UsageError(std::string(path) + " is a data log: --rate and --column are for recordings");
  }

  std::unique_ptr<tools::BlinkPicture> picture;
  if (svg != nullptr) {
    picture.reset(new tools::BlinkPicture(std::llround(from * tg::kRawSampleRate),
                                          std::llround(to * tg::kRawSampleRate)));
  }
  Run run(!dataLog, picture.get());
  std::string error;
  if (dataLog) {
    if (!RunDataLog(path, &run, &error)) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
      return kUsageStatus;
    }
  } else {
    // The recording is read, resampled and run through the library as it
    // comes, in memory that does not grow with it.
    tools::RecordingReader recording;
    if (!recording.open(path, column, &error)) {
      std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
      return kUsageStatus;
    }
    tools::Resampler resampler(rate);
    std::vector<double> wave;
    for (int got = 1; got != 0;) {
      double microvolts = 0;
      got = recording.next(&microvolts, &error);
      if (got < 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        return kUsageStatus;
      }
      wave.clear();
      if (got > 0) {
        resampler.add(microvolts, &wave);
      } else {
        resampler.finish(&wave);
      }
      for (const double value : wave) {
        run.sample(tools::RawUnits(value));
      }
    }
  }
  std::printf("blinks: %ld\n", run.blinks());
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: cannot write the output\n", kName);
    return 1;
  }
  if (picture && !picture->write(svg, path, &error)) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  return 0;
}
