#include "tools/recording.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "thinkgear/blink_detector.h"

namespace sim {

namespace {

const double kPi = 3.14159265358979323846;
// Taps on each side of the interpolated moment, in input samples.
const int kSincHalfWidth = 16;

// The value of field `column` of a comma-separated line: false when the
// line has fewer fields or the field is not a finite number.
bool Field(const std::string &line, int column, double *value) {
  size_t start = 0;
  for (int i = 0; i < column; ++i) {
    start = line.find(',', start);
    if (start == std::string::npos) {
      return false;
    }
    ++start;
  }
  size_t end = line.find(',', start);
  if (end == std::string::npos) {
    end = line.size();
  }
  std::string text = line.substr(start, end - start);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.pop_back();
  }
  size_t lead = 0;
  while (lead < text.size() && (text[lead] == ' ' || text[lead] == '\t')) {
    ++lead;
  }
  text.erase(0, lead);
  if (text.empty()) {
    return false;
  }
  char *stop = nullptr;
  errno = 0;
  const double parsed = std::strtod(text.c_str(), &stop);
  if (errno != 0 || *stop != '\0' || !std::isfinite(parsed)) {
    return false;
  }
  *value = parsed;
  return true;
}

// A Blackman-windowed sinc at t input samples from the centre, for a
// cutoff of `cutoff` times the input's Nyquist frequency; the interpolator
// divides by the sum of its taps.
double Tap(double t, double cutoff) {
  const double u = cutoff * t;
  if (std::fabs(u) >= kSincHalfWidth) {
    return 0;
  }
  const double x = kPi * u;
  const double sinc = u == 0 ? 1 : std::sin(x) / x;
  return sinc * (0.42 + 0.5 * std::cos(kPi * u / kSincHalfWidth) +
                 0.08 * std::cos(2 * kPi * u / kSincHalfWidth));
}

}  // namespace

bool ParseRecordingRate(const char *text, double *rate) {
  char *end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 1 ||
      value > 100000) {
    return false;
  }
  *rate = value;
  return true;
}

bool ParseRecordingColumn(const char *text, int *column) {
  if (text[0] < '0' || text[0] > '9') {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 10000) {
    return false;
  }
  *column = static_cast<int>(value);
  return true;
}

bool ReadRecording(const std::string &path, int column, std::vector<double> *microvolts,
                   std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  microvolts->clear();
  std::string line;
  long number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1) {
      continue;  // the header
    }
    if (line.empty() || line == "\r") {
      continue;
    }
    double value;
    if (!Field(line, column, &value)) {
      *error = path + ":" + std::to_string(number) + ": no number in column " +
               std::to_string(column) + ": '" + line.substr(0, 80) + "'";
      return false;
    }
    microvolts->push_back(value);
  }
  if (in.bad()) {
    *error = path + ": read failed: " + std::strerror(errno);
    return false;
  }
  if (number == 0) {
    *error = path + ": empty: a header line and rows of samples are expected";
    return false;
  }
  if (microvolts->empty()) {
    *error = path + ": no samples after the header line";
    return false;
  }
  return true;
}

std::vector<double> ResampleToRaw(const std::vector<double> &samples, double rate) {
  std::vector<double> out;
  if (samples.empty() || !(rate > 0)) {
    return out;
  }
  const double step = rate / tg::kRawSampleRate;  // input samples per output sample
  const double cutoff = step > 1 ? 1 / step : 1;
  const double span = kSincHalfWidth / cutoff;
  const long last = static_cast<long>(samples.size()) - 1;
  const size_t count = static_cast<size_t>(std::floor(last / step)) + 1;
  out.reserve(count);
  for (size_t m = 0; m < count; ++m) {
    const double at = static_cast<double>(m) * step;
    const long from = static_cast<long>(std::ceil(at - span));
    const long to = static_cast<long>(std::floor(at + span));
    double sum = 0;
    double weight = 0;
    for (long k = from; k <= to; ++k) {
      const double tap = Tap(at - static_cast<double>(k), cutoff);
      const long index = k < 0 ? 0 : (k > last ? last : k);
      sum += tap * samples[static_cast<size_t>(index)];
      weight += tap;
    }
    out.push_back(weight != 0 ? sum / weight : samples[static_cast<size_t>(std::lround(at))]);
  }
  return out;
}

int16_t RawUnits(double microvolts) {
  const double units = std::nearbyint(microvolts / tg::kMicrovoltsPerRawUnit);
  if (units <= -32768) {
    return -32768;
  }
  if (units >= 32767) {
    return 32767;
  }
  return static_cast<int16_t>(units);
}

}  // namespace sim
