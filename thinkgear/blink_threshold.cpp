#include "thinkgear/blink_threshold.h"

#include <cmath>

#include "thinkgear/blink_bands.h"

namespace tg {

namespace {

// The threshold: at least kFloorMicrovolts (half the smallest blink at the
// forehead), kNoiseFactor times the background's standard deviation, and
// kBlinkFactor times the median of the wearer's recent blinks (from the
// third on), so that a wearer with large blinks is not troubled by much
// smaller swings. The recent blinks fade, halving in kBlinkHalfLife, so
// that the threshold comes back down when the large ones stop (a band that
// slips shrinks every blink). A blink teaches it only once kTeachAfter has
// shown it began no rhythm: the first swing of a cable tug is taken for a
// blink, but the tug must not set the wearer's size. (The background is
// taken only away from swings, which reads a noisy wave a little low; a
// quarter more than five deviations keeps noise from passing for blinks as
// often as five did when the flanks were taken too.)
const double kFloorMicrovolts = 40.0;
const double kNoiseFactor = 5.25;
const double kBlinkFactor = 0.25;
const int kBlinksForLevel = 3;
const double kBlinkHalfLife = 20.0 * kRawSampleRate;
const int kTeachAfter = kRawSampleRate * 11 / 10;             // 1.1 s
const double kLevelFade = std::pow(0.5, 1 / kBlinkHalfLife);  // a sample's
// The background (the mean magnitude at rest; its standard deviation is
// some 1.25 times that) before any was measured, and how many samples'
// worth of weight that guess carries while learning, so that a short
// learning does not take a quiet moment for the whole background. The edge
// measure's background likewise.
const double kBackgroundGuess = 6.0;
const double kEdgeGuess = 2.0;
const double kGuessWeight = 64.0;
const double kDeviationPerMean = 1.25;
// After learning, the background follows with a time constant of 2 s, from
// samples capped at kBackgroundCap times itself (the detector gives it only
// samples of the wave at rest).
const double kBackgroundFollow = 1.0 / (2 * kRawSampleRate);
const double kBackgroundCap = 2.5;

}  // namespace

BlinkThreshold::BlinkThreshold()
    : background_(kBackgroundGuess),
      edgeBackground_(kEdgeGuess),
      learnt_(0),
      recent_(),
      recentCount_(0),
      recentNext_(0),
      recentAt_(0),
      blinkLevel_(0),
      pendingPeak_(0),
      pendingUntil_(0) {}

void BlinkThreshold::restart() {
  background_ = kBackgroundGuess;
  edgeBackground_ = kEdgeGuess;
  learnt_ = 0;
  recentCount_ = 0;
  recentNext_ = 0;
  blinkLevel_ = 0;
  pendingPeak_ = 0;
}

double BlinkThreshold::level() const {
  const double noise = kNoiseFactor * kDeviationPerMean * background_;
  return std::fmax(std::fmax(kFloorMicrovolts, noise), blinkLevel_);
}

void BlinkThreshold::nextSample(int64_t n) {
  // The wearer's size fades; below the floor it no longer counts.
  blinkLevel_ = blinkLevel_ * kLevelFade < kFloorMicrovolts ? 0 : blinkLevel_ * kLevelFade;
  if (pendingPeak_ > 0 && n >= pendingUntil_) {
    remember(n, pendingPeak_);
    pendingPeak_ = 0;
  }
}

void BlinkThreshold::follow(double magnitude, double edge, bool learning) {
  // Capped, so that the flank of a swing does not lift the threshold.
  const double x = std::fmin(magnitude, kBackgroundCap * background_);
  const double e = std::fmin(edge, kBackgroundCap * edgeBackground_);
  double weight = kBackgroundFollow;
  if (learning) {
    ++learnt_;
    weight = 1 / (kGuessWeight + static_cast<double>(learnt_));
  }
  background_ += (x - background_) * weight;
  edgeBackground_ += (e - edgeBackground_) * weight;
}

void BlinkThreshold::blinkFound(int64_t n, double peak) {
  // The blink before it began no rhythm: it teaches the threshold now.
  if (pendingPeak_ > 0) {
    remember(n, pendingPeak_);
  }
  pendingPeak_ = peak;
  pendingUntil_ = n + kTeachAfter;
}

void BlinkThreshold::remember(int64_t n, double peak) {
  const double fade = std::pow(0.5, static_cast<double>(n - recentAt_) / kBlinkHalfLife);
  for (int i = 0; i < recentCount_; ++i) {
    recent_[i] *= fade;
  }
  recentAt_ = n;
  recent_[recentNext_] = peak;
  recentNext_ = (recentNext_ + 1) % kRecentBlinks;
  if (recentCount_ < kRecentBlinks) {
    ++recentCount_;
  }
  if (recentCount_ < kBlinksForLevel) {
    return;
  }
  double sorted[kRecentBlinks];
  for (int i = 0; i < recentCount_; ++i) {
    int j = i;
    for (; j > 0 && sorted[j - 1] > recent_[i]; --j) {
      sorted[j] = sorted[j - 1];
    }
    sorted[j] = recent_[i];
  }
  const int middle = recentCount_ / 2;
  const double median =
      recentCount_ % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
  blinkLevel_ = kBlinkFactor * median;
}

}  // namespace tg
