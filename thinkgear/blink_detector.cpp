#include "thinkgear/blink_detector.h"

#include <cmath>

namespace tg {

namespace {

const double kPi = 3.14159265358979323846;

// The band swings are looked for in: above DC (a first-order high-pass at
// 0.1 Hz, slow enough that a step takes some 700 ms to fade to 60% of its
// size; drift is left to the level swings are measured from), below muscle
// noise and mains hum (a fourth-order low-pass at 12 Hz takes 50 Hz down by
// 50 dB and 60 Hz by 56 dB).
const double kHighPassHz = 0.1;
const double kLowPassHz = 12.0;
// The edge measure's band: wide enough for the one-sample jump of a step
// and the sharp edges of muscle (a step moves it by some 80% of its size
// within 4 ms), without the mains: narrow notches at 50 and 60 Hz and their
// second harmonics, which settle within some 200 ms.
const double kEdgeLowPassHz = 150.0;
const double kNotchHz[6] = {50, 60, 100, 120, 150, 180};
const double kNotchQ = 10.0;

// The threshold: at least kFloorMicrovolts (half the smallest blink at the
// forehead), kNoiseFactor times the background's standard deviation, and
// kBlinkFactor times the median of the wearer's recent blinks (from the
// third on), so that a wearer with large blinks is not troubled by smaller
// swings.
const double kFloorMicrovolts = 40.0;
const double kNoiseFactor = 5.0;
const double kBlinkFactor = 0.35;
const int kBlinksForLevel = 3;
// The background (the mean magnitude at rest; its standard deviation is
// some 1.25 times that) before any was measured, and how many samples'
// worth of weight that guess carries while learning, so that a short
// learning does not take a quiet moment for the whole background.
const double kBackgroundGuess = 6.0;
const double kGuessWeight = 64.0;
const double kDeviationPerMean = 1.25;
// After learning, the background follows with a time constant of 2 s, from
// samples capped at kBackgroundCap times itself, and not near a blink.
const double kBackgroundFollow = 1.0 / (2 * kRawSampleRate);
const double kBackgroundCap = 2.5;
// Swings are measured from a level that follows the band-passed wave with
// a time constant of 0.5 s at rest and stays put during a swing, so that
// what a slow drift leaves in the band does not count as part of one.
const double kBaselineFollow = 1.0 / (kRawSampleRate / 2);

// A swing is complete once it has fallen back to kFallFraction of its peak.
// It is a blink when it rose from that level to its peak within kMaxRise
// (slower is drift), fell back within kMaxFall (slower is a step, or an eye
// turned and held), and no edge in it moved the wave by more than
// kMaxEdgeFraction of its peak within 4 ms (an eyelid takes tens of
// milliseconds; a pop jumps in one sample, and muscle is all edges). Edges
// count from kEdgeLead before the rise, since the swing band lags the edge
// band by some 40 ms. A swing still under way after kHistory is no blink.
const double kFallFraction = 0.6;
const int kMaxRise = kRawSampleRate * 15 / 100;  // 150 ms
const int kMaxFall = kRawSampleRate / 5;         // 200 ms
const double kMaxEdgeFraction = 0.35;
// Beyond that, an edge must stand out of the edges at rest by kEdgeNoise
// times their mean (a broadband noise's largest edges in a swing are some
// four times its mean).
const double kEdgeNoise = 4.0;
const double kEdgeGuess = 2.0;
const int kEdgeLead = kRawSampleRate * 6 / 100;  // 60 ms
// After a blink, a swing of the other sign within kOtherSignLockout of its
// peak is its rebound, and one of the same sign within kSameSignLockout is
// part of it.
const int kOtherSignLockout = kRawSampleRate * 45 / 100;  // 450 ms
const int kSameSignLockout = kRawSampleRate / 5;          // 200 ms
// A swing that is no blink is followed by at least kRejectHold without
// reports, and then until the wave has been calm for kCalm: within the
// threshold, and within half of it from its level. What a pop leaves (a
// slow recovery) is no blink either.
const int kRejectHold = kRawSampleRate / 4;
const int kCalm = kRawSampleRate / 4;
// A sample at the raw row's limits, or the same value kFlatRun times in a
// row (a converter at its rail holds its value; a live signal never does),
// blocks reports; they resume after a new learning once that is kRailHold
// behind.
const int kRailLow = -32768;
const int kRailHigh = 32767;
const int kFlatRun = 8;
const int kRailHold = kRawSampleRate / 4;

// Filter sections by the bilinear transform (the usual cookbook forms).
Biquad Section(double b0, double b1, double b2, double a0, double a1, double a2) {
  Biquad q = {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0, 0, 0};
  return q;
}

Biquad LowPass(double hz, double q) {
  const double w = 2 * kPi * hz / kRawSampleRate;
  const double alpha = std::sin(w) / (2 * q);
  const double c = std::cos(w);
  return Section((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad Notch(double hz, double q) {
  const double w = 2 * kPi * hz / kRawSampleRate;
  const double alpha = std::sin(w) / (2 * q);
  const double c = std::cos(w);
  return Section(1, -2 * c, 1, 1 + alpha, -2 * c, 1 - alpha);
}

// First order.
Biquad HighPass(double hz) {
  const double k = std::tan(kPi * hz / kRawSampleRate);
  return Section(1, -1, 0, 1 + k, k - 1, 0);
}

}  // namespace

double Biquad::step(double x) {
  const double y = b0 * x + s1;
  s1 = b1 * x - a1 * y + s2;
  s2 = b2 * x - a2 * y;
  return y;
}

void Biquad::settle(double x) {
  const double y = (b0 + b1 + b2) / (1 + a1 + a2) * x;
  s2 = b2 * x - a2 * y;
  s1 = y - b0 * x;
}

BlinkDetector::BlinkDetector()
    : highPass_(HighPass(kHighPassHz)),
      // Fourth-order Butterworth: two sections, Q 0.54 and 1.31.
      lowPass_{LowPass(kLowPassHz, 1 / (2 * std::cos(kPi / 8))),
               LowPass(kLowPassHz, 1 / (2 * std::cos(3 * kPi / 8)))},
      edgeNotch_{Notch(kNotchHz[0], kNotchQ), Notch(kNotchHz[1], kNotchQ),
                 Notch(kNotchHz[2], kNotchQ), Notch(kNotchHz[3], kNotchQ),
                 Notch(kNotchHz[4], kNotchQ), Notch(kNotchHz[5], kNotchQ)},
      edgeLowPass_(LowPass(kEdgeLowPassHz, 1 / std::sqrt(2.0))),
      state_(State::kLearning),
      now_(0),
      learnUntil_(0),
      settlePending_(true),
      poorContact_(false),
      railUntil_(0),
      lastRaw_(0),
      flatRun_(0),
      rejectHold_(false),
      holdUntil_(0),
      calm_(0),
      wave_(),
      edges_(),
      edgeMax_(),
      background_(kBackgroundGuess),
      edgeBackground_(kEdgeGuess),
      learnt_(0),
      baseline_(0),
      recent_(),
      recentCount_(0),
      recentNext_(0),
      blinkLevel_(0),
      polarity_(0),
      peak_(0),
      peakAt_(0),
      swingStart_(0),
      lastPolarity_(0),
      lastPeakAt_(0) {
  restart();
}

void BlinkDetector::restart() {
  state_ = State::kLearning;
  learnUntil_ = now_ + kBlinkLearnSamples;
  settlePending_ = true;
  rejectHold_ = false;
  background_ = kBackgroundGuess;
  edgeBackground_ = kEdgeGuess;
  learnt_ = 0;
  recentCount_ = 0;
  recentNext_ = 0;
  blinkLevel_ = 0;
  lastPolarity_ = 0;
}

void BlinkDetector::contact(int poorSignal) {
  poorContact_ = poorSignal > kBlinkPoorContact;
  if (poorContact_) {
    state_ = State::kBlocked;
  }
}

void BlinkDetector::settle(double x) {
  baseline_ = 0;
  highPass_.settle(x);
  // Everything after the high-pass sees a steady 0.
  for (Biquad &section : lowPass_) {
    section.settle(0);
  }
  for (Biquad &section : edgeNotch_) {
    section.settle(0);
  }
  edgeLowPass_.settle(0);
  for (double &e : edges_) {
    e = 0;
  }
  for (int i = 0; i < kHistory; ++i) {
    wave_[i] = 0;
    edgeMax_[i] = 0;
  }
}

size_t BlinkDetector::slot(int64_t n, int size) {
  const int64_t r = n % size;
  return static_cast<size_t>(r < 0 ? r + size : r);
}

double BlinkDetector::threshold() const {
  const double noise = kNoiseFactor * kDeviationPerMean * background_;
  return std::fmax(std::fmax(kFloorMicrovolts, noise), blinkLevel_);
}

void BlinkDetector::remember(double peak) {
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

void BlinkDetector::followBackground(double magnitude, double edge) {
  // Capped, so that the flank of a swing does not lift the threshold.
  const double x = std::fmin(magnitude, kBackgroundCap * background_);
  const double e = std::fmin(edge, kBackgroundCap * edgeBackground_);
  double weight = kBackgroundFollow;
  if (state_ == State::kLearning) {
    ++learnt_;
    weight = 1 / (kGuessWeight + static_cast<double>(learnt_));
  }
  background_ += (x - background_) * weight;
  edgeBackground_ += (e - edgeBackground_) * weight;
}

bool BlinkDetector::sample(int raw, Blink *blink) {
  const int64_t n = now_++;
  const double x = raw * kMicrovoltsPerRawUnit;

  flatRun_ = raw == lastRaw_ ? flatRun_ + 1 : 1;
  lastRaw_ = raw;
  if (raw <= kRailLow || raw >= kRailHigh || flatRun_ >= kFlatRun) {
    railUntil_ = n + kRailHold;
    state_ = State::kBlocked;
  }
  if (settlePending_) {
    settle(x);
    settlePending_ = false;
  }

  // The swing measure: the band-passed wave from its level at rest; and the
  // edge measure: how far the wide band moved in the last 4 ms.
  const double high = highPass_.step(x);
  const double y = lowPass_[1].step(lowPass_[0].step(high));
  double e = high;
  for (Biquad &section : edgeNotch_) {
    e = section.step(e);
  }
  e = edgeLowPass_.step(e);
  const double d = y - baseline_;
  wave_[slot(n, kHistory)] = static_cast<float>(d);
  const double edge = std::fabs(e - edges_[slot(n - kEdgeLag, kEdgeLag + 1)]);
  edgeMax_[slot(n, kHistory)] = static_cast<float>(edge);
  edges_[slot(n, kEdgeLag + 1)] = e;

  const double magnitude = std::fabs(d);
  const double limit = threshold();
  switch (state_) {
    case State::kBlocked:
      if (!poorContact_ && n >= railUntil_) {
        restart();
      }
      return false;

    case State::kLearning:
      // A blink during the learning neither lifts the background (capped)
      // nor moves the level.
      followBackground(magnitude, edge);
      if (magnitude < limit) {
        baseline_ += (y - baseline_) * kBaselineFollow;
      }
      if (n + 1 >= learnUntil_) {
        state_ = State::kWaiting;
      }
      return false;

    case State::kWaiting:
      if (rejectHold_) {
        // The level follows meanwhile, so that a slow recovery is left
        // behind.
        baseline_ += (y - baseline_) * kBaselineFollow;
        calm_ = std::fabs(y) < limit && magnitude < limit / 2 ? calm_ + 1 : 0;
        if (n < holdUntil_ || calm_ < kCalm) {
          return false;
        }
        rejectHold_ = false;
      }
      if (magnitude < limit) {
        state_ = State::kArmed;
      }
      return false;

    case State::kArmed: {
      if (magnitude < limit) {
        if (lastPolarity_ == 0 || n - lastPeakAt_ > kOtherSignLockout) {
          followBackground(magnitude, edge);
          baseline_ += (y - baseline_) * kBaselineFollow;
        }
        return false;
      }
      const int sign = d > 0 ? 1 : -1;
      if (lastPolarity_ != 0 &&
          n - lastPeakAt_ < (sign == lastPolarity_ ? kSameSignLockout : kOtherSignLockout)) {
        state_ = State::kWaiting;  // the rebound or the tail of the last blink
        return false;
      }
      state_ = State::kSwing;
      polarity_ = sign;
      peak_ = magnitude;
      peakAt_ = n;
      swingStart_ = n;
      return false;
    }

    case State::kSwing: {
      const double level = polarity_ * d;
      if (level > peak_) {
        peak_ = level;
        peakAt_ = n;
      }
      if (n - peakAt_ > kMaxFall || n - swingStart_ >= kHistory) {
        reject();  // a step, or a drift
        return false;
      }
      if (level > kFallFraction * peak_) {
        return false;
      }
      return judge(n, blink);
    }
  }
  return false;
}

bool BlinkDetector::judge(int64_t n, Blink *blink) {
  // How long the swing took to rise from the level it has now fallen back
  // to, and the sharpest edge from a little before then on.
  const double mark = kFallFraction * peak_;
  const int fall = static_cast<int>(n - peakAt_);
  int rise = 0;
  while (fall + rise + 1 < kHistory &&
         polarity_ * wave_[slot(peakAt_ - rise - 1, kHistory)] > mark) {
    ++rise;
  }
  const int span = std::min(fall + rise + kEdgeLead, kHistory - 1);
  double sharpest = 0;
  for (int age = 0; age <= span; ++age) {
    sharpest = std::fmax(sharpest, edgeMax_[slot(n - age, kHistory)]);
  }
  if (rise > kMaxRise || sharpest > kMaxEdgeFraction * peak_ + kEdgeNoise * edgeBackground_) {
    reject();
    return false;
  }

  blink->microvolts = peak_;
  blink->strength = static_cast<int>(std::lround(std::fmin(255.0, std::fmax(1.0, peak_ / 2))));
  blink->samplesSincePeak = fall;
  lastPolarity_ = polarity_;
  lastPeakAt_ = peakAt_;
  remember(peak_);
  state_ = State::kWaiting;
  return true;
}

void BlinkDetector::reject() {
  rejectHold_ = true;
  holdUntil_ = now_ + kRejectHold;
  calm_ = 0;
  state_ = State::kWaiting;
}

}  // namespace tg
