// The rhythm of the last swings past the blink detector's threshold: swings
// that keep a steady rhythm (a tremor, a swinging cable, a rocking head)
// are no blinks, however blink-like each one is.
#ifndef NICTATE_THINKGEAR_SWING_RHYTHM_H
#define NICTATE_THINKGEAR_SWING_RHYTHM_H

#include <cstdint>

#include "thinkgear/blink_bands.h"

namespace tg {

// The longest period of a rhythm (a sine of 0.8 Hz).
const int kRhythmLongest = kRawSampleRate * 125 / 100;

class SwingRhythm {
 public:
  SwingRhythm();

  // Forgets the swings before.
  void restart();

  // Whether a swing of this sign starting at sample n keeps the rhythm of
  // the last ones; `rest` samples of a calm wave came since the last.
  bool keeps(int64_t n, int sign, int64_t rest) const;

  // A swing of this sign starts at sample n, `magnitude` from the level,
  // after `rest` samples of a calm wave.
  void started(int64_t n, int sign, double magnitude, int64_t rest);

  // The swing under way has ended; its peak was this far from the level.
  void ended(double peak);

  // Sample n is within the threshold: a swing that had ended and was still
  // out is back.
  void within(int64_t n);

  // Where the last swing came back within the threshold.
  int64_t lastBack() const { return marks_[0].end; }

 private:
  struct Mark {
    int64_t start;  // where the wave passed the threshold
    int64_t end;    // and where it came back within it
    int sign;
    double peak;
    int64_t rest;  // samples of a calm wave between the swing before and it
  };

  Mark marks_[2];  // the last two swings, the latest first
  int markCount_;
  int64_t starts_[2][2];  // the last two starts of swings up, and down
  int startCount_[2];
  bool swingOut_;  // the last swing has ended, but not come back within yet
};

}  // namespace tg

#endif
