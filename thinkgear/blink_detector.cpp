#include "thinkgear/blink_detector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

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
// learning does not take a quiet moment for the whole background.
const double kBackgroundGuess = 6.0;
const double kGuessWeight = 64.0;
const double kDeviationPerMean = 1.25;
// After learning, the background follows with a time constant of 2 s, from
// samples capped at kBackgroundCap times itself, and only from the wave at
// rest: kRestMargin or more from any swing past the threshold on either
// side (a sample that far back is taken once the wave has stayed within
// the threshold since), and not near a blink. The flanks of swings in
// quick succession would lift it otherwise.
const double kBackgroundFollow = 1.0 / (2 * kRawSampleRate);
const double kBackgroundCap = 2.5;
const int kRestMargin = kRawSampleRate / 10;  // 100 ms
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
// After a blink, a swing of the same sign within kSameSignLockout of its
// peak is part of it, and one of the other sign within kOpeningWindow is the
// eyes opening: right after a short blink its rebound, later the opening of
// eyes held shut (up to some 2 s). An opening kOtherSignLockout or more
// after the closing may swing back itself: a swing of the blink's sign
// starting within kOtherSignLockout of the opening's peak and smaller than
// kSwingBack times the opening is that. The eyes closing again so soon are
// as large as ever.
const int kOtherSignLockout = kRawSampleRate * 45 / 100;  // 450 ms
const int kSameSignLockout = kRawSampleRate / 5;          // 200 ms
const int kOpeningWindow = kRawSampleRate * 22 / 10;      // 2.2 s
const double kSwingBack = 0.5;
// A rhythm: swings of alternating sign, evenly spaced (from the last but
// one to this one a period, from the middle of the one before to the middle
// of the last half of it, within kRhythmSpread of the period), no more than
// kRhythmLongest a period (a sine of 0.8 Hz or faster: slower swings rise
// too slowly for a blink anyway), of like size (within a factor of
// kRhythmSizes) and with little rest between them (a calm wave, within half
// the threshold, for less than kRhythmRest of the period). Blinks stand
// alone: between two the wave rests, and a blink's rebound is much smaller
// than the blink; the eyes held shut rest between closing and opening.
// A wave off its level may pass the threshold only one way: swings of one
// sign evenly spaced (the last two spans within kRhythmSpread of each
// other), kBeatLongest apart or less, are a rhythm too. Nobody blinks on
// purpose that fast for long.
const double kRhythmSpread = 0.25;
const int kRhythmLongest = kRawSampleRate * 125 / 100;
const double kRhythmSizes = 2.0;
const int kBeatLongest = kRawSampleRate * 35 / 100;
const double kRhythmRest = 0.3;
// A swing that is no blink by its shape, or one of a rhythm, is followed by
// at least kRejectHold without reports, and then until the wave has been
// calm for kCalm: within the threshold, and within half of it from its
// level. What a pop leaves (a slow recovery) is no blink either, and a
// rhythm is silent as long as it keeps swinging.
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
      rest_(0),
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
      recentAt_(0),
      blinkLevel_(0),
      pendingPeak_(0),
      pendingUntil_(0),
      polarity_(0),
      peak_(0),
      peakAt_(0),
      swingStart_(0),
      placed_(SwingVerdict::kBlink),
      lastPolarity_(0),
      lastPeakAt_(0),
      openedAt_(0),
      openingPeak_(0),
      marks_(),
      markCount_(0),
      starts_(),
      startCount_(),
      swingOut_(false),
      trace_(nullptr),
      ended_(false),
      end_() {
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
  pendingPeak_ = 0;
  lastPolarity_ = 0;
  openedAt_ = 0;
  markCount_ = 0;
  startCount_[0] = 0;
  startCount_[1] = 0;
  swingOut_ = false;
}

void BlinkDetector::contact(int poorSignal) {
  poorContact_ = poorSignal > kBlinkPoorContact;
  if (poorContact_) {
    block(now_, SwingVerdict::kPoorContact);
  }
}

void BlinkDetector::watch(BlinkTrace *trace) { trace_ = trace; }

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

void BlinkDetector::remember(int64_t n, double peak) {
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

bool BlinkDetector::inRhythm(int64_t n, int sign) const {
  const int way = sign > 0 ? 0 : 1;
  if (startCount_[way] == 2) {
    const double last = static_cast<double>(n - starts_[way][0]);
    const double before = static_cast<double>(starts_[way][0] - starts_[way][1]);
    const double longer = std::max(last, before);
    if (longer <= kBeatLongest && std::fabs(last - before) <= kRhythmSpread * longer) {
      return true;
    }
  }
  if (markCount_ < 2) {
    return false;
  }
  const Mark &older = marks_[1];
  const Mark &last = marks_[0];
  if (older.sign != sign || last.sign == sign) {
    return false;
  }
  // Middles, not starts: a wave off its level passes the threshold late one
  // way and early the other.
  const double period = static_cast<double>(n - older.start);
  const double half = static_cast<double>(last.start + last.end - older.start - older.end) / 2;
  return period <= kRhythmLongest && std::fabs(period - 2 * half) <= kRhythmSpread * period &&
         older.peak <= kRhythmSizes * last.peak && last.peak <= kRhythmSizes * older.peak &&
         static_cast<double>(rest_ + last.rest) < kRhythmRest * period;
}

SwingVerdict BlinkDetector::placeOf(int64_t n, int sign) const {
  if (lastPolarity_ != 0) {
    const int64_t since = n - lastPeakAt_;
    if (sign == lastPolarity_ && since < kSameSignLockout) {
      return SwingVerdict::kPartOfBlink;
    }
    if (sign != lastPolarity_ && since < kOpeningWindow) {
      return SwingVerdict::kEyesOpening;
    }
  }
  return inRhythm(n, sign) ? SwingVerdict::kRhythm : SwingVerdict::kBlink;
}

bool BlinkDetector::sample(int raw, Blink *blink) {
  const int64_t n = now_++;
  const double x = raw * kMicrovoltsPerRawUnit;

  flatRun_ = raw == lastRaw_ ? flatRun_ + 1 : 1;
  lastRaw_ = raw;
  if (raw <= kRailLow || raw >= kRailHigh || flatRun_ >= kFlatRun) {
    railUntil_ = n + kRailHold;
    block(n, SwingVerdict::kRail);
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

  // The wearer's size fades; below the floor it no longer counts.
  blinkLevel_ = blinkLevel_ * kLevelFade < kFloorMicrovolts ? 0 : blinkLevel_ * kLevelFade;
  if (pendingPeak_ > 0 && n >= pendingUntil_) {
    remember(n, pendingPeak_);
    pendingPeak_ = 0;
  }

  const double magnitude = std::fabs(d);
  const double limit = threshold();
  bool found = false;
  switch (state_) {
    case State::kBlocked:
      if (!poorContact_ && n >= railUntil_) {
        restart();
      }
      break;

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
      break;

    case State::kWaiting:
      if (swingOut_ && magnitude < limit) {
        marks_[0].end = n;  // the last swing is back within the threshold
        swingOut_ = false;
      }
      if (rejectHold_) {
        // The level follows meanwhile, so that a slow recovery is left
        // behind.
        baseline_ += (y - baseline_) * kBaselineFollow;
        calm_ = std::fabs(y) < limit && magnitude < limit / 2 ? calm_ + 1 : 0;
        if (n < holdUntil_ || calm_ < kCalm) {
          break;
        }
        rejectHold_ = false;
      }
      if (magnitude < limit) {
        state_ = State::kArmed;
        rest_ = 0;
      }
      break;

    case State::kArmed: {
      if (magnitude < limit) {
        rest_ += magnitude < limit / 2 ? 1 : 0;
        if (lastPolarity_ == 0 || n - lastPeakAt_ > kOtherSignLockout) {
          if (n - marks_[0].end >= 2 * kRestMargin) {
            const size_t rested = slot(n - kRestMargin, kHistory);
            followBackground(std::fabs(wave_[rested]), edgeMax_[rested]);
          }
          baseline_ += (y - baseline_) * kBaselineFollow;
        }
        break;
      }
      const int sign = d > 0 ? 1 : -1;
      placed_ = placeOf(n, sign);
      if (placed_ == SwingVerdict::kRhythm && lastPolarity_ != 0 &&
          n - lastPeakAt_ <= kRhythmLongest) {
        // The last blink was one of the rhythm's first swings: it teaches
        // nothing, and nothing after it is its opening.
        lastPolarity_ = 0;
        pendingPeak_ = 0;
      }
      marks_[1] = marks_[0];
      marks_[0] = Mark{n, n, sign, magnitude, rest_};
      markCount_ = std::min(markCount_ + 1, 2);
      const int way = sign > 0 ? 0 : 1;
      starts_[way][1] = starts_[way][0];
      starts_[way][0] = n;
      startCount_[way] = std::min(startCount_[way] + 1, 2);
      state_ = State::kSwing;
      polarity_ = sign;
      peak_ = magnitude;
      peakAt_ = n;
      swingStart_ = n;
      break;
    }

    case State::kSwing: {
      const double level = polarity_ * d;
      if (level > peak_) {
        peak_ = level;
        peakAt_ = n;
      }
      // Still under way after kMaxFall past its peak: a step, or a drift.
      const bool overdue = n - peakAt_ > kMaxFall || n - swingStart_ >= kHistory;
      if (!overdue && level > kFallFraction * peak_) {
        break;
      }
      SwingVerdict verdict = placed_;
      if (verdict == SwingVerdict::kBlink) {
        verdict = overdue ? SwingVerdict::kStep : judge(n, blink);
      }
      found = verdict == SwingVerdict::kBlink;
      endSwing(n, verdict);
      break;
    }
  }

  if (trace_ != nullptr) {
    if (ended_) {
      *trace_ = end_;
    } else {
      trace_->swingEnded = false;
    }
    trace_->wave = d;
    trace_->threshold = limit;
    trace_->block = state_ == State::kLearning ? BlinkBlock::kLearning
                    : state_ == State::kBlocked
                        ? (poorContact_ ? BlinkBlock::kPoorContact : BlinkBlock::kRail)
                    : state_ == State::kWaiting && rejectHold_ ? BlinkBlock::kCalming
                                                               : BlinkBlock::kNone;
  }
  ended_ = false;
  return found;
}

SwingVerdict BlinkDetector::judge(int64_t n, Blink *blink) {
  if (openedAt_ > lastPeakAt_ && swingStart_ - openedAt_ < kOtherSignLockout &&
      peak_ < kSwingBack * openingPeak_) {
    return SwingVerdict::kEyesOpening;  // the opening swinging back
  }
  // How long the swing took to rise from the level it has now fallen back
  // to, and the sharpest edge from a little before then on.
  const double mark = kFallFraction * peak_;
  const int fall = static_cast<int>(n - peakAt_);
  int rise = 0;
  while (fall + rise + 1 < kHistory &&
         polarity_ * wave_[slot(peakAt_ - rise - 1, kHistory)] > mark) {
    ++rise;
  }
  if (rise > kMaxRise) {
    return SwingVerdict::kTooSlow;
  }
  const int span = std::min(fall + rise + kEdgeLead, kHistory - 1);
  double sharpest = 0;
  for (int age = 0; age <= span; ++age) {
    sharpest = std::fmax(sharpest, edgeMax_[slot(n - age, kHistory)]);
  }
  if (sharpest > kMaxEdgeFraction * peak_ + kEdgeNoise * edgeBackground_) {
    return SwingVerdict::kSharpEdges;
  }

  blink->microvolts = peak_;
  blink->strength = static_cast<int>(std::lround(std::fmin(255.0, std::fmax(1.0, peak_ / 2))));
  blink->samplesSincePeak = fall;
  lastPolarity_ = polarity_;
  lastPeakAt_ = peakAt_;
  // The blink before it began no rhythm: it teaches the threshold now.
  if (pendingPeak_ > 0) {
    remember(n, pendingPeak_);
  }
  pendingPeak_ = peak_;
  pendingUntil_ = n + kTeachAfter;
  return SwingVerdict::kBlink;
}

void BlinkDetector::endSwing(int64_t n, SwingVerdict verdict) {
  marks_[0].peak = peak_;
  swingOut_ = true;
  end_.swingEnded = true;
  end_.verdict = verdict;
  end_.sign = polarity_;
  end_.peak = peak_;
  end_.startAgo = static_cast<int>(n - swingStart_);
  end_.peakAgo = static_cast<int>(n - peakAt_);
  ended_ = true;
  switch (verdict) {
    case SwingVerdict::kTooSlow:
    case SwingVerdict::kStep:
    case SwingVerdict::kSharpEdges:
    case SwingVerdict::kRhythm:
      holdBack();
      break;
    case SwingVerdict::kEyesOpening:
      if (polarity_ != lastPolarity_ && peakAt_ - lastPeakAt_ >= kOtherSignLockout) {
        openedAt_ = peakAt_;
        openingPeak_ = peak_;
      }
      state_ = State::kWaiting;
      break;
    case SwingVerdict::kBlink:
    case SwingVerdict::kPartOfBlink:
      state_ = State::kWaiting;
      break;
    case SwingVerdict::kPoorContact:
    case SwingVerdict::kRail:
      break;  // blocked by the caller
  }
}

void BlinkDetector::holdBack() {
  rejectHold_ = true;
  holdUntil_ = now_ + kRejectHold;
  calm_ = 0;
  state_ = State::kWaiting;
}

void BlinkDetector::block(int64_t n, SwingVerdict why) {
  if (state_ == State::kSwing) {
    endSwing(n, why);
  }
  state_ = State::kBlocked;
}

}  // namespace tg
