// The raw wave as the blink detector sees it: its rate and units, and the
// two bands it looks at, the swing band (0.1-12 Hz), where a blink is a
// smooth swing, and the edge band (up to 150 Hz, without the mains), whose
// sharp moves tell a pop or muscle from an eyelid.
#ifndef NICTATE_THINKGEAR_BLINK_BANDS_H
#define NICTATE_THINKGEAR_BLINK_BANDS_H

namespace tg {

// Raw-wave samples a second.
const int kRawSampleRate = 512;

// One raw unit at the electrode: a 12-bit converter over 1.8 V, amplified
// 2000 times (about 0.22 microvolts).
const double kMicrovoltsPerRawUnit = 1.8e6 / 4096 / 2000;

// A second-order filter section, transposed direct form II.
struct Biquad {
  double b0, b1, b2, a1, a2;
  double s1, s2;
  double step(double x);
  // Settles the section as if x had always been its input.
  void settle(double x);
};

class BlinkBands {
 public:
  BlinkBands();

  // Settles the filters as if x had always been the input.
  void settle(double x);

  // Takes the next sample (microvolts): *swing is the swing band, *edge the
  // edge band.
  void step(double x, double *swing, double *edge);

 private:
  Biquad highPass_;
  Biquad lowPass_[2];
  Biquad edgeNotch_[6];
  Biquad edgeLowPass_;
};

}  // namespace tg

#endif
