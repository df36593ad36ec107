// A synthetic forehead EEG at the headset's 512 samples a second, in
// microvolts: background (pink noise with alpha waxing and waning), a DC
// offset with slow drift, mains hum, and on demand the things that trouble a
// blink detector (muscle bursts, electrode pops, steady swings), blinks of a
// chosen size, and eyes held shut for a while.
// The simulator streams it (--raw-blinks); tests and benchmarks feed it to the
// library's detector, whose blinks they then know the time and size of.
#ifndef NICTATE_TOOLS_EEG_H
#define NICTATE_TOOLS_EEG_H

#include <cstdint>

namespace tools {

struct EegSettings {
  double offset = 300;     // DC offset, microvolts
  double driftSize = 60;   // slow drift around the offset (< 0.2 Hz), microvolts
  double background = 10;  // pink background noise, microvolts rms
  double alpha = 12;       // 10 Hz alpha, peak microvolts at its strongest
  double mainsHz = 50;     // 50 or 60; 0 for none
  double mainsSize = 40;   // its amplitude, microvolts (plus a third harmonic at a tenth)
  int blinkSign = 1;       // a blink swings up (+1) or down (-1)
};

// A blink shape: up over rise, back over fall (raised-cosine halves), then a
// small rebound of the other sign.
struct BlinkShape {
  double microvolts = 200;
  double riseMs = 90;
  double fallMs = 160;
};

class SyntheticEeg {
 public:
  SyntheticEeg(uint64_t seed, const EegSettings &settings);

  // The next sample, in microvolts.
  double next();

  // Samples made so far; the next one has this index.
  int64_t index() const { return index_; }

  // Starts a blink with the next sample; returns the index of its peak.
  int64_t blink(const BlinkShape &shape);

  // The eyes close with the next sample, stay shut, and open: the closing
  // is a blink shape of the wearer's sign, the opening one of the other
  // sign whose peak comes heldMs after the closing's. Returns the index of
  // the closing's peak.
  int64_t closure(const BlinkShape &closing, double heldMs, const BlinkShape &opening);

  // Starts a burst of muscle activity (20-150 Hz) of the given rms size.
  void muscle(double seconds, double microvolts);

  // An electrode pop: a step of the given size that decays back with the
  // given time constant (0: the new level stays).
  void pop(double microvolts, double decaySeconds);

  // A steady sine of the given frequency and peak size for a while, from
  // the next sample: a tremor, a swinging cable, a rocking head.
  void sway(double hz, double microvolts, double seconds);

  // The eyes turn and hold: the level moves smoothly by the given size
  // over rampMs and stays there.
  void look(double microvolts, double rampMs);

  // A uniform random number in [0, 1) from the generator's own stream, for
  // callers that choose times and sizes.
  double uniform();

 private:
  double gaussian();

  // Adds a blink shape starting at sample `start` with the given sign.
  void add(int64_t start, const BlinkShape &shape, int sign);

  static const int kMaxBlinks = 8;
  struct ActiveBlink {
    int64_t start;
    BlinkShape shape;
    int sign;  // +1: the wearer's sign
  };

  EegSettings settings_;
  uint64_t state_;
  int64_t index_;
  double pink_[7];
  double driftPhase_[3];
  double alphaPhase_;
  double alphaEnvelope_;
  double mainsPhase_;
  ActiveBlink blinks_[kMaxBlinks];
  int blinkCount_;
  int64_t muscleFrom_;
  int64_t muscleUntil_;
  double muscleSize_;
  double muscleState_[4];
  double popLevel_;
  double popDecay_;
  double swayHz_;
  double swaySize_;
  int64_t swayFrom_;
  int64_t swayUntil_;
  double lookLevel_;
  double lookTarget_;
  double lookStep_;
};

}  // namespace tools

#endif
