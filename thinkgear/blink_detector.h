// Eye blinks found in the raw wave, for headsets that send the raw wave and
// leave blink detection to the library. Fed one sample at a time from the
// raw-wave rows of one connection (512 samples a second) and told the
// contact quality from its poor-signal rows; causal, with fixed memory and
// bounded work per sample, and no allocation.
//
// A blink at the forehead is a smooth swing of some 100 to 400 microvolts
// that lasts a few hundred milliseconds, of either sign depending on where
// the electrode and its reference sit. The detector looks for such swings in
// the wave band-passed to 0.1-12 Hz (no DC offset or drift, no mains hum at
// 50 or 60 Hz, little muscle noise), measured from the level just before
// them, against a threshold that follows the background and the wearer's own
// blinks. A swing counts when it rises and falls back like a blink: a step
// (an electrode pop), a swing with sharp edges (muscle), a slow one (drift),
// one of a steady rhythm (a tremor, a swinging cable) or a signal at the
// converter's rail is not a blink; nor is the eyes opening after they were
// held shut, a swing of the other sign. docs/blinks.md gives the rules and
// what they were measured on.
#ifndef NICTATE_THINKGEAR_BLINK_DETECTOR_H
#define NICTATE_THINKGEAR_BLINK_DETECTOR_H

#include <cstddef>
#include <cstdint>

#include "thinkgear/blink_bands.h"
#include "thinkgear/blink_threshold.h"
#include "thinkgear/swing_rhythm.h"

namespace tg {

// Samples from a (re)start to the first report that can come: 0.25 s.
const int kBlinkLearnSamples = kRawSampleRate / 4;

// Poor-signal values above this mean the contact is too poor for blinks
// (0 is good contact, 200 the sensor off the head).
const int kBlinkPoorContact = 50;

// A blink found.
struct Blink {
  int strength;       // 1..255: its size in microvolts, halved
  double microvolts;  // its size: the swing's peak in the band-passed wave
};

// Why a swing past the threshold was not reported (tools/blink_picture.cpp
// names them in this order).
enum class SwingVerdict {
  kBlink,        // it was: reported
  kTooSlow,      // rose too slowly: drift, a slow eye movement
  kStep,         // did not fall back in time: an electrode pop, a held look
  kSharpEdges,   // moved too fast for an eyelid: a pop, muscle
  kPartOfBlink,  // the same sign right after a blink
  kEyesOpening,  // the other sign after a blink, or the rebound of that
  kRhythm,       // one of a steady rhythm of swings
  kPoorContact,  // cut short by poor contact
  kRail,         // cut short by the converter's rail
};

// Why no swing can start, other than the wave being within the threshold.
enum class BlinkBlock {
  kNone,
  kLearning,     // (re)started: the detector learns the signal
  kPoorContact,  // the poor-signal value is above kBlinkPoorContact
  kRail,         // the converter is at its rail, or was a moment ago
  kCalming,      // after a swing that was no blink, until the wave is calm
};

// What the detector saw with one sample, for a picture of it.
struct BlinkTrace {
  double wave;       // the swing measure: the band-passed wave from its level
  double threshold;  // a swing starts where the wave passes it, either way
  BlinkBlock block;
  // A swing that ended with this sample (or just before it, cut short by
  // poor contact): sign, peak and the verdict. Its start and peak were so
  // many samples before this one.
  bool swingEnded;
  SwingVerdict verdict;
  int sign;
  double peak;
  int startAgo;
  int peakAgo;
};

class BlinkDetector {
 public:
  BlinkDetector();

  // Forgets the signal: what comes next is learnt for kBlinkLearnSamples
  // before a blink can be reported again.
  void restart();

  // Takes the next raw sample. True, with *blink filled, when this sample
  // completes a blink.
  bool sample(int raw, Blink *blink);

  // Takes a poor-signal value. While it is above kBlinkPoorContact nothing
  // is reported; once the contact is good again the detector learns anew.
  void contact(int poorSignal);

  // From now on every sample also fills *trace with what the detector saw
  // (nullptr: no more). The caller keeps it alive meanwhile.
  void watch(BlinkTrace *trace);

 private:
  enum class State {
    kLearning,  // (re)started: the filters and the background settle
    kBlocked,   // poor contact, or the converter at its rail
    kWaiting,   // the wave must come back inside the threshold (and, after
                // a rejected swing, calm down) before a swing can start
    kArmed,     // ready for a swing
    kSwing,     // a swing past the threshold is under way
  };

  // Restarts the filters as if the input had always been x.
  void settle(double x);
  // Why a swing of this sign starting now cannot be a blink, if it cannot
  // by its place: right after a blink, or in a rhythm.
  SwingVerdict placeOf(int64_t n, int sign) const;
  // Checks a swing that has fallen back: kBlink, with *blink filled, when
  // it is a blink.
  SwingVerdict judge(int64_t n, Blink *blink);
  // Ends the swing under way with its verdict.
  void endSwing(int64_t n, SwingVerdict verdict);
  // Holds reports back after a swing that is no blink, until the wave is
  // calm again (what a step leaves takes a while to fade).
  void holdBack();
  // Cuts a swing under way short and blocks reports.
  void block(int64_t n, SwingVerdict why);
  // A ring's slot for sample index n.
  static size_t slot(int64_t n, int size);

  static const int kHistory = 512;  // 1 s of the swing measure
  static const int kEdgeLag = 2;    // the span of the edge measure, 4 ms

  BlinkBands bands_;
  BlinkThreshold threshold_;
  SwingRhythm rhythm_;

  State state_;
  int64_t now_;         // samples taken so far
  int64_t learnUntil_;  // in kLearning: when reports may come
  bool settlePending_;  // the filters settle on the next sample
  bool poorContact_;
  int64_t railUntil_;  // a signal at the rail blocks reports until then
  int lastRaw_;
  int flatRun_;        // samples in a row equal to lastRaw_
  bool rejectHold_;    // after a rejected swing: waiting for calm
  int64_t holdUntil_;  // no swing starts before then
  int calm_;           // samples in a row of a calm wave
  int64_t rest_;       // samples of a calm wave since the last swing

  float wave_[kHistory];  // the swing measure by sample index (a ring)
  double edges_[kEdgeLag + 1];
  float edgeMax_[kHistory];  // the edge measure by sample index (a ring)
  double baseline_;          // the level swings are measured from

  // The swing under way, and the last blink.
  int polarity_;
  double peak_;
  int64_t peakAt_;
  int64_t swingStart_;
  SwingVerdict placed_;  // kBlink, or why its place makes it none
  int lastPolarity_;     // 0: no blink since the last restart
  int64_t lastPeakAt_;
  int64_t openedAt_;  // the peak of the eyes opening after the last blink
  double openingPeak_;

  BlinkTrace *trace_;
  bool ended_;  // a swing ended since the last trace
  BlinkTrace end_;
};

}  // namespace tg

#endif
