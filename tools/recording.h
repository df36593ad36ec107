// EEG recordings as the headset's raw wave: a CSV file of microvolts (a
// header line, then one row per sample, comma-separated columns) read, one
// column taken, resampled to the headset's 512 samples a second and turned
// into raw units, all as the file is read. Shared by nictate-blinks and
// nictate-sim --recording.
#ifndef NICTATE_TOOLS_RECORDING_H
#define NICTATE_TOOLS_RECORDING_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/line_input.h"

namespace tools {

// A recording's samples a second as given on a command line: a number from
// 1 to 100000. False for anything else.
bool ParseRecordingRate(const char *text, double *rate);

// A column number as given on a command line: 0 to 10000. False for
// anything else.
bool ParseRecordingColumn(const char *text, int *column);

// A recording read a sample at a time: memory that does not grow with the
// file, and input that cannot take it without end (tools/line_input.h).
class RecordingReader {
 public:
  // Opens the recording at `path` to read its column `column` (from 0).
  // False, with *error saying why, when it cannot be read.
  bool open(const std::string &path, int column, std::string *error);

  // The next sample in microvolts: 1, with *microvolts; 0 after the last;
  // -1, with *error saying which line is wrong and why: a row without the
  // column or with a value that is not a finite number, no header line or
  // no sample at all, a line too long, nothing coming, a read that failed.
  int next(double *microvolts, std::string *error);

 private:
  LineInput input_;
  std::string path_;
  int column_ = 0;
  long samples_ = 0;
};

// The whole column of a recording, as RecordingReader reads it.
bool ReadRecording(const std::string &path, int column, std::vector<double> *microvolts,
                   std::string *error);

// Resamples from `rate` samples a second to 512 with a windowed-sinc
// interpolator (a low-pass at the lower of the two Nyquist frequencies), as
// the input comes: it holds only the input samples around the moment it
// makes, whatever the rate and however long the input. The first output
// sample is the first input sample's moment; the input is taken to stay at
// its first and last values beyond its ends.
class Resampler {
 public:
  explicit Resampler(double rate);

  // Takes the next input sample, and appends to *out the output samples it
  // completes (none until enough input has come after their moment).
  void add(double sample, std::vector<double> *out);

  // Ends the input: appends the output samples still to come. The
  // resampler then starts again, for a new input.
  void finish(std::vector<double> *out);

 private:
  double at(size_t m) const;
  double make(double moment, long last) const;

  double step_;                // input samples per output sample
  double cutoff_;              // of the input's Nyquist frequency
  double span_;                // taps on each side, in input samples
  std::deque<double> window_;  // input samples from windowStart_ on
  long windowStart_ = 0;
  long taken_ = 0;    // input samples taken
  size_t made_ = 0;   // output samples made
  double first_ = 0;  // the first input sample
};

// Microvolts at the electrode in raw units, rounded and held to the raw
// row's range.
int16_t RawUnits(double microvolts);

}  // namespace tools

#endif
