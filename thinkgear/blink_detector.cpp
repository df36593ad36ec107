#include "thinkgear/blink_detector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tg {

namespace {

// After learning, the background (thinkgear/blink_threshold.h) follows only
// the wave at rest: kRestMargin or more from any swing past the threshold on
// either side (a sample that far back is taken once the wave has stayed
// within the threshold since), and not near a blink. The flanks of swings
// in quick succession would lift it otherwise.
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

}  // namespace

BlinkDetector::BlinkDetector()
    : bands_(),
      threshold_(),
      rhythm_(),
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
      baseline_(0),
      polarity_(0),
      peak_(0),
      peakAt_(0),
      swingStart_(0),
      placed_(SwingVerdict::kBlink),
      lastPolarity_(0),
      lastPeakAt_(0),
      openedAt_(0),
      openingPeak_(0),
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
  threshold_.restart();
  lastPolarity_ = 0;
  openedAt_ = 0;
  rhythm_.restart();
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
  bands_.settle(x);
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
  return rhythm_.keeps(n, sign, rest_) ? SwingVerdict::kRhythm : SwingVerdict::kBlink;
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
  double y;
  double e;
  bands_.step(x, &y, &e);
  const double d = y - baseline_;
  wave_[slot(n, kHistory)] = static_cast<float>(d);
  const double edge = std::fabs(e - edges_[slot(n - kEdgeLag, kEdgeLag + 1)]);
  edgeMax_[slot(n, kHistory)] = static_cast<float>(edge);
  edges_[slot(n, kEdgeLag + 1)] = e;

  threshold_.nextSample(n);
  const double magnitude = std::fabs(d);
  const double limit = threshold_.level();
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
      threshold_.follow(magnitude, edge, true);
      if (magnitude < limit) {
        baseline_ += (y - baseline_) * kBaselineFollow;
      }
      if (n + 1 >= learnUntil_) {
        state_ = State::kWaiting;
      }
      break;

    case State::kWaiting:
      if (magnitude < limit) {
        rhythm_.within(n);
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
          if (n - rhythm_.lastBack() >= 2 * kRestMargin) {
            const size_t rested = slot(n - kRestMargin, kHistory);
            threshold_.follow(std::fabs(wave_[rested]), edgeMax_[rested], false);
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
        threshold_.forgetLastBlink();
      }
      rhythm_.started(n, sign, magnitude, rest_);
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
  if (sharpest > kMaxEdgeFraction * peak_ + kEdgeNoise * threshold_.edgeBackground()) {
    return SwingVerdict::kSharpEdges;
  }

  blink->microvolts = peak_;
  blink->strength = static_cast<int>(std::lround(std::fmin(255.0, std::fmax(1.0, peak_ / 2))));
  lastPolarity_ = polarity_;
  lastPeakAt_ = peakAt_;
  threshold_.blinkFound(n, peak_);
  return SwingVerdict::kBlink;
}

void BlinkDetector::endSwing(int64_t n, SwingVerdict verdict) {
  rhythm_.ended(peak_);
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
