// nictate-blinks: the blinks the device library finds in a recording.
//
// Reads an EEG recording (CSV, microvolts), turns the chosen column into the
// headset's raw-wave stream (512 samples a second, in raw units), frames it
// as the headset's packets with a good-contact summary packet each second,
// and runs those bytes through the library's own stream (framing, decoding
// and blink detection) as a connection with blink detection on would. Prints
// a line per blink reported and the count. tools/README.md has more.
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "thinkgear/blink_detector.h"
#include "tools/raw_wave.h"
#include "tools/recording.h"

namespace {

const char kName[] = "nictate-blinks";
const int kUsageStatus = 2;

const char kUsage[] =
    "Usage: nictate-blinks [--rate HZ] [--column N] FILE.csv\n"
    "The blinks the device library finds in an EEG recording.\n"
    "\n"
    "FILE.csv has a header line, then one row per sample: comma-separated\n"
    "columns in microvolts. The chosen column is resampled to the headset's 512\n"
    "samples a second, sent through the library as raw-wave packets with a\n"
    "good-contact summary packet each second, and every blink the library\n"
    "reports is printed.\n"
    "\n"
    "  --rate HZ     the recording's samples a second (default 256)\n"
    "  --column N    the column to take, from 0 (default 0)\n"
    "  -h, --help    show this help and exit\n"
    "\n"
    "Standard output: a line per blink, 'blink SECONDS STRENGTH', SECONDS from\n"
    "the recording's first sample to the report, STRENGTH from 1 to 255; then\n"
    "'blinks: N'.\n"
    "\n"
    "Exit status: 0 when done, 1 when the output cannot be written, 2 on a\n"
    "usage error or a file that cannot be read or holds something else than\n"
    "lines of numbers (the blinks before the line at fault are printed, the\n"
    "count is not).\n";

int UsageError(const std::string &message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kName, message.c_str(), kName);
  return kUsageStatus;
}

}  // namespace

int main(int argc, char **argv) {
  double rate = 256;
  int column = 0;
  enum { kRate = 256, kColumn };
  static const struct option kLong[] = {
      {"rate", required_argument, nullptr, kRate},
      {"column", required_argument, nullptr, kColumn},
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
        if (!sim::ParseRecordingRate(optarg, &rate)) {
          return UsageError(std::string("--rate wants samples a second from 1 to 100000, not '") +
                            optarg + "'");
        }
        break;
      case kColumn:
        if (!sim::ParseRecordingColumn(optarg, &column)) {
          return UsageError(std::string("--column wants a column number from 0, not '") + optarg +
                            "'");
        }
        break;
      case ':':
        return UsageError(std::string(argv[optind - 1]) + " wants a value");
      default:
        return UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind != argc - 1) {
    return UsageError(optind == argc ? "a recording (FILE.csv) is needed" : "one recording only");
  }

  // The recording is read, resampled and run through the library as it
  // comes, in memory that does not grow with it.
  sim::RecordingReader recording;
  std::string error;
  if (!recording.open(argv[optind], column, &error)) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return kUsageStatus;
  }
  sim::Resampler resampler(rate);
  std::unique_ptr<sim::RawWaveRun> run(new sim::RawWaveRun);
  std::vector<double> wave;
  int64_t index = 0;
  long blinks = 0;
  for (int got = 1; got != 0;) {
    double microvolts = 0;
    got = recording.next(&microvolts, &error);
    if (got < 0) {
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
      int strength = 0;
      if (run->add(sim::RawUnits(value), &strength)) {
        ++blinks;
        std::printf("blink %.3f %d\n", static_cast<double>(index) / tg::kRawSampleRate, strength);
      }
      ++index;
    }
  }
  std::printf("blinks: %ld\n", blinks);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: cannot write the output\n", kName);
    return 1;
  }
  return 0;
}
