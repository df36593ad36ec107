#include "tools/recording.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "thinkgear/blink_detector.h"

namespace tools {

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

bool RecordingReader::open(const std::string &path, int column, std::string *error) {
  path_ = path;
  column_ = column;
  return input_.open(path, error);
}

int RecordingReader::next(double *microvolts, std::string *error) {
  std::string line;
  for (;;) {
    const int got = input_.next(&line, error);
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      if (input_.number() == 0) {
        *error = path_ + ": empty: a header line and rows of samples are expected";
        return -1;
      }
      if (samples_ == 0) {
        *error = path_ + ": no samples after the header line";
        return -1;
      }
      return 0;
    }
    if (input_.number() == 1 || line.empty() || line == "\r") {
      continue;  // the header, or a blank line
    }
    if (!Field(line, column_, microvolts)) {
      *error = path_ + ":" + std::to_string(input_.number()) + ": no number in column " +
               std::to_string(column_) + ": '" + line.substr(0, 80) + "'";
      return -1;
    }
    ++samples_;
    return 1;
  }
}

bool ReadRecording(const std::string &path, int column, std::vector<double> *microvolts,
                   std::string *error) {
  microvolts->clear();
  RecordingReader reader;
  if (!reader.open(path, column, error)) {
    return false;
  }
  double value;
  int got;
  while ((got = reader.next(&value, error)) > 0) {
    microvolts->push_back(value);
  }
  return got == 0;
}

Resampler::Resampler(double rate)
    : step_(rate / tg::kRawSampleRate),
      cutoff_(step_ > 1 ? 1 / step_ : 1),
      span_(kSincHalfWidth / cutoff_) {}

double Resampler::at(size_t m) const { return static_cast<double>(m) * step_; }

double Resampler::make(double moment, long last) const {
  // Input sample k, held at the input's first and last values beyond them.
  const auto input = [&](long k) {
    return k < 0      ? first_
           : k > last ? window_.back()
                      : window_[static_cast<size_t>(k - windowStart_)];
  };
  const long from = static_cast<long>(std::ceil(moment - span_));
  const long to = static_cast<long>(std::floor(moment + span_));
  double sum = 0;
  double weight = 0;
  for (long k = from; k <= to; ++k) {
    const double tap = Tap(moment - static_cast<double>(k), cutoff_);
    sum += tap * input(k);
    weight += tap;
  }
  return weight != 0 ? sum / weight : input(std::lround(moment));
}

void Resampler::add(double sample, std::vector<double> *out) {
  if (taken_ == 0) {
    first_ = sample;
  }
  window_.push_back(sample);
  ++taken_;
  // Each output sample once the input after its moment has come; then the
  // input no later one reaches goes.
  while (static_cast<long>(std::floor(at(made_) + span_)) <= taken_ - 1) {
    out->push_back(make(at(made_), taken_ - 1));
    ++made_;
    const long from = static_cast<long>(std::ceil(at(made_) - span_));
    while (windowStart_ < from && window_.size() > 1) {
      window_.pop_front();
      ++windowStart_;
    }
  }
}

void Resampler::finish(std::vector<double> *out) {
  if (taken_ > 0) {
    const long last = taken_ - 1;
    const size_t count = static_cast<size_t>(std::floor(last / step_)) + 1;
    for (; made_ < count; ++made_) {
      out->push_back(make(at(made_), last));
    }
  }
  window_.clear();
  windowStart_ = 0;
  taken_ = 0;
  made_ = 0;
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

}  // namespace tools
