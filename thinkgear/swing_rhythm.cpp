#include "thinkgear/swing_rhythm.h"

#include <algorithm>
#include <cmath>

namespace tg {

namespace {

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
const double kRhythmSizes = 2.0;
const int kBeatLongest = kRawSampleRate * 35 / 100;
const double kRhythmRest = 0.3;

}  // namespace

SwingRhythm::SwingRhythm() : marks_(), markCount_(0), starts_(), startCount_(), swingOut_(false) {}

void SwingRhythm::restart() {
  markCount_ = 0;
  startCount_[0] = 0;
  startCount_[1] = 0;
  swingOut_ = false;
}

bool SwingRhythm::keeps(int64_t n, int sign, int64_t rest) const {
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
         static_cast<double>(rest + last.rest) < kRhythmRest * period;
}

void SwingRhythm::started(int64_t n, int sign, double magnitude, int64_t rest) {
  marks_[1] = marks_[0];
  marks_[0] = Mark{n, n, sign, magnitude, rest};
  markCount_ = std::min(markCount_ + 1, 2);
  const int way = sign > 0 ? 0 : 1;
  starts_[way][1] = starts_[way][0];
  starts_[way][0] = n;
  startCount_[way] = std::min(startCount_[way] + 1, 2);
}

void SwingRhythm::ended(double peak) {
  marks_[0].peak = peak;
  swingOut_ = true;
}

void SwingRhythm::within(int64_t n) {
  if (swingOut_) {
    marks_[0].end = n;
    swingOut_ = false;
  }
}

}  // namespace tg
