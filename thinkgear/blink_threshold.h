// The blink detector's threshold, which follows the wave at rest and the
// wearer's own blinks: at least a floor, some deviations of the background
// (the swing band's magnitude at rest), and a share of the recent blinks'
// size. It keeps the edge band's background too, which the detector judges
// a swing's sharpest edge against.
#ifndef NICTATE_THINKGEAR_BLINK_THRESHOLD_H
#define NICTATE_THINKGEAR_BLINK_THRESHOLD_H

#include <cstdint>

namespace tg {

class BlinkThreshold {
 public:
  BlinkThreshold();

  // Forgets the background and the wearer's blinks: learnt anew.
  void restart();

  // The threshold (microvolts) a swing must pass.
  double level() const;

  // The mean of the edge measure at rest.
  double edgeBackground() const { return edgeBackground_; }

  // Sample n begins: the wearer's level fades, and a blink whose time to
  // show that it began no rhythm is over is learnt.
  void nextSample(int64_t n);

  // Moves the backgrounds towards a sample's swing and edge measures; while
  // learning, by the share of one sample among those learnt.
  void follow(double magnitude, double edge, bool learning);

  // A blink of this size was found at sample n: it is learnt once it has
  // shown it began no rhythm, and the one before it now.
  void blinkFound(int64_t n, double peak);

  // The last blink was one of a rhythm's first swings: it is not learnt.
  void forgetLastBlink() { pendingPeak_ = 0; }

 private:
  static const int kRecentBlinks = 8;

  // Adds a blink's size to the recent ones the level follows.
  void remember(int64_t n, double peak);

  double background_;      // mean magnitude of the swing measure at rest
  double edgeBackground_;  // mean edge measure at rest
  int64_t learnt_;         // samples behind it since the last restart

  // The wearer's recent blinks, faded by their age: the threshold's share.
  double recent_[kRecentBlinks];
  int recentCount_;
  int recentNext_;
  int64_t recentAt_;   // when they were last faded
  double blinkLevel_;  // fades a little with each sample
  // The last blink's size, taught once it is clear it began no rhythm.
  double pendingPeak_;
  int64_t pendingUntil_;
};

}  // namespace tg

#endif
