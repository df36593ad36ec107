#include "tools/eeg.h"

#include <cmath>

namespace tools {

namespace {

const double kPi = 3.14159265358979323846;
const double kRate = 512;  // samples a second

// A pink noise filter (first-order sections spread over 0.1-100 Hz at this
// rate, driven by one white noise): poles and gains.
const double kPinkPole[6] = {0.99886, 0.99332, 0.96900, 0.86650, 0.55000, -0.7616};
const double kPinkGain[6] = {0.0555179, 0.0750759, 0.1538520, 0.3104856, 0.5329522, -0.0168980};
const double kPinkDirect = 0.5362;      // of this sample's white noise
const double kPinkPrevious = 0.115926;  // of the previous sample's

// The pink filter's output variance for white noise of variance 1.
double PinkVariance() {
  double v = kPinkDirect * kPinkDirect + kPinkPrevious * kPinkPrevious;
  for (int i = 0; i < 6; ++i) {
    // Each section sees this sample's noise too, and the previous one's
    // (through the section's memory) against the one-sample-late term.
    v += 2 * kPinkGain[i] * kPinkDirect + 2 * kPinkGain[i] * kPinkPole[i] * kPinkPrevious;
    for (int j = 0; j < 6; ++j) {
      v += kPinkGain[i] * kPinkGain[j] / (1 - kPinkPole[i] * kPinkPole[j]);
    }
  }
  return v;
}

// Muscle noise: white noise through two resonators at 40 and 100 Hz
// (Q 0.7), which spread it over some 20-150 Hz.
const double kMuscleHz[2] = {40, 100};
const double kMuscleQ = 0.7;

// One resonator step on state s (two values).
double Resonate(int which, double x, double *s) {
  const double w = 2 * kPi * kMuscleHz[which] / kRate;
  const double alpha = std::sin(w) / (2 * kMuscleQ);
  const double a0 = 1 + alpha;
  const double y = (alpha / a0) * x + s[0];
  s[0] = (2 * std::cos(w) / a0) * y + s[1];
  s[1] = -(alpha / a0) * x - ((1 - alpha) / a0) * y;
  return y;
}

// The resonators' rms output for white noise of rms 1: the root of their
// impulse response's energy.
double MuscleGain() {
  double s[4] = {0, 0, 0, 0};
  double energy = 0;
  for (int n = 0; n < 4096; ++n) {
    const double y = Resonate(1, Resonate(0, n == 0 ? 1 : 0, s), s + 2);
    energy += y * y;
  }
  return std::sqrt(energy);
}

}  // namespace

SyntheticEeg::SyntheticEeg(uint64_t seed, const EegSettings &settings)
    : settings_(settings),
      state_(seed ^ 0x9E3779B97F4A7C15ull),
      index_(0),
      pink_(),
      driftPhase_(),
      alphaPhase_(0),
      alphaEnvelope_(0),
      mainsPhase_(0),
      blinks_(),
      blinkCount_(0),
      muscleFrom_(0),
      muscleUntil_(0),
      muscleSize_(0),
      muscleState_(),
      popLevel_(0),
      popDecay_(1),
      swayHz_(0),
      swaySize_(0),
      swayFrom_(0),
      swayUntil_(0),
      lookLevel_(0),
      lookTarget_(0),
      lookStep_(0) {
  for (double &phase : driftPhase_) {
    phase = 2 * kPi * uniform();
  }
  alphaPhase_ = 2 * kPi * uniform();
  mainsPhase_ = 2 * kPi * uniform();
}

double SyntheticEeg::uniform() {
  // splitmix64
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
}

double SyntheticEeg::gaussian() {
  const double u = 1 - uniform();  // (0, 1]
  const double v = uniform();
  return std::sqrt(-2 * std::log(u)) * std::cos(2 * kPi * v);
}

void SyntheticEeg::add(int64_t start, const BlinkShape &shape, int sign) {
  if (blinkCount_ == kMaxBlinks) {
    // The oldest has ended long since; make room.
    for (int i = 1; i < kMaxBlinks; ++i) {
      blinks_[i - 1] = blinks_[i];
    }
    --blinkCount_;
  }
  blinks_[blinkCount_].start = start;
  blinks_[blinkCount_].shape = shape;
  blinks_[blinkCount_].sign = sign;
  ++blinkCount_;
}

int64_t SyntheticEeg::blink(const BlinkShape &shape) {
  add(index_, shape, 1);
  return index_ + static_cast<int64_t>(std::lround(shape.riseMs * kRate / 1000));
}

int64_t SyntheticEeg::closure(const BlinkShape &closing, double heldMs, const BlinkShape &opening) {
  const int64_t peak = blink(closing);
  const double openingPeak = closing.riseMs + heldMs;
  add(index_ + std::lround((openingPeak - opening.riseMs) * kRate / 1000), opening, -1);
  return peak;
}

void SyntheticEeg::muscle(double seconds, double microvolts) {
  muscleFrom_ = index_;
  muscleUntil_ = index_ + static_cast<int64_t>(seconds * kRate);
  muscleSize_ = microvolts;
}

void SyntheticEeg::pop(double microvolts, double decaySeconds) {
  popLevel_ += microvolts;
  popDecay_ = decaySeconds > 0 ? std::exp(-1 / (decaySeconds * kRate)) : 1;
}

void SyntheticEeg::sway(double hz, double microvolts, double seconds) {
  swayHz_ = hz;
  swaySize_ = microvolts;
  swayFrom_ = index_;
  swayUntil_ = index_ + static_cast<int64_t>(seconds * kRate);
}

void SyntheticEeg::look(double microvolts, double rampMs) {
  lookTarget_ += microvolts;
  lookStep_ = std::fabs(microvolts) / std::fmax(1.0, rampMs * kRate / 1000);
}

double SyntheticEeg::next() {
  const double t = static_cast<double>(index_) / kRate;
  double x = settings_.offset;

  // Drift: three slow waves.
  static const double kDriftHz[3] = {0.013, 0.037, 0.11};
  static const double kDriftShare[3] = {0.6, 0.3, 0.1};
  for (int i = 0; i < 3; ++i) {
    x +=
        settings_.driftSize * kDriftShare[i] * std::sin(2 * kPi * kDriftHz[i] * t + driftPhase_[i]);
  }

  // Pink background.
  static const double kPinkScale = 1 / std::sqrt(PinkVariance());
  const double white = gaussian();
  double pink = kPinkDirect * white + pink_[6];
  for (int i = 0; i < 6; ++i) {
    pink_[i] = kPinkPole[i] * pink_[i] + kPinkGain[i] * white;
    pink += pink_[i];
  }
  pink_[6] = kPinkPrevious * white;
  x += settings_.background * kPinkScale * pink;

  // Alpha near 10 Hz, waxing and waning over some seconds.
  alphaPhase_ += 2 * kPi * (10 + 0.5 * std::sin(2 * kPi * 0.07 * t)) / kRate;
  alphaEnvelope_ = 0.5 + 0.5 * std::sin(2 * kPi * 0.09 * t + driftPhase_[0]);
  x += settings_.alpha * alphaEnvelope_ * std::sin(alphaPhase_);

  // Mains hum and its third harmonic.
  if (settings_.mainsHz > 0) {
    const double w = 2 * kPi * settings_.mainsHz * t + mainsPhase_;
    x += settings_.mainsSize * (std::sin(w) + 0.1 * std::sin(3 * w));
  }

  // Muscle: band-limited noise while a burst lasts, faded in and out.
  if (index_ < muscleUntil_) {
    static const double kMuscleScale = 1 / MuscleGain();
    const double noise = Resonate(1, Resonate(0, gaussian(), muscleState_), muscleState_ + 2);
    const double since = static_cast<double>(index_ - muscleFrom_) / kRate;
    const double left = static_cast<double>(muscleUntil_ - index_) / kRate;
    const double fade = std::min(1.0, std::min(since, left) / 0.05);
    x += muscleSize_ * fade * kMuscleScale * noise;
  }

  // A steady swing, from its zero.
  if (index_ < swayUntil_) {
    x += swaySize_ * std::sin(2 * kPi * swayHz_ * static_cast<double>(index_ - swayFrom_) / kRate);
  }

  // Pops, and where the eyes look.
  x += popLevel_;
  popLevel_ *= popDecay_;
  if (lookLevel_ != lookTarget_) {
    const double left = lookTarget_ - lookLevel_;
    lookLevel_ = std::fabs(left) <= lookStep_ ? lookTarget_
                                              : lookLevel_ + (left > 0 ? lookStep_ : -lookStep_);
  }
  x += lookLevel_;

  // Blinks.
  for (int i = 0; i < blinkCount_; ++i) {
    const BlinkShape &b = blinks_[i].shape;
    const double ms = static_cast<double>(index_ - blinks_[i].start) * 1000 / kRate;
    const double rebound = 1.2 * b.fallMs;
    double shape = 0;
    if (ms < 0) {
      continue;  // an opening still to come
    }
    if (ms < b.riseMs) {
      shape = (1 - std::cos(kPi * ms / b.riseMs)) / 2;
    } else if (ms < b.riseMs + b.fallMs) {
      shape = (1 + std::cos(kPi * (ms - b.riseMs) / b.fallMs)) / 2;
    } else if (ms < b.riseMs + b.fallMs + rebound) {
      shape = -0.15 * std::sin(kPi * (ms - b.riseMs - b.fallMs) / rebound);
    }
    x += settings_.blinkSign * blinks_[i].sign * b.microvolts * shape;
  }

  ++index_;
  return x;
}

}  // namespace tools
