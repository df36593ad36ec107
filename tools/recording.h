// EEG recordings as the headset's raw wave: a CSV file of microvolts (a
// header line, then one row per sample, comma-separated columns) read, one
// column taken, resampled to the headset's 512 samples a second and turned
// into raw units. Shared by nictate-blinks and nictate-sim --recording.
#ifndef NICTATE_TOOLS_RECORDING_H
#define NICTATE_TOOLS_RECORDING_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A recording's samples a second as given on a command line: a number from
// 1 to 100000. False for anything else.
bool ParseRecordingRate(const char *text, double *rate);

// A column number as given on a command line: 0 to 10000. False for
// anything else.
bool ParseRecordingColumn(const char *text, int *column);

// Reads column `column` (from 0) of a recording. False, with *error saying
// which line is wrong and why, when the file cannot be read, has no header
// line, has a row without that column or with a value that is not a finite
// number, or has no sample at all.
bool ReadRecording(const std::string &path, int column, std::vector<double> *microvolts,
                   std::string *error);

// Resamples from `rate` samples a second to 512 with a windowed-sinc
// interpolator (a low-pass at the lower of the two Nyquist frequencies). The
// first output sample is the first input sample's moment; the recording is
// taken to stay at its first and last values beyond its ends.
std::vector<double> ResampleToRaw(const std::vector<double> &samples, double rate);

// Microvolts at the electrode in raw units, rounded and held to the raw
// row's range.
int16_t RawUnits(double microvolts);

}  // namespace sim

#endif
