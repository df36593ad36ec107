#include "thinkgear/blink_bands.h"

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

BlinkBands::BlinkBands()
    : highPass_(HighPass(kHighPassHz)),
      // Fourth-order Butterworth: two sections, Q 0.54 and 1.31.
      lowPass_{LowPass(kLowPassHz, 1 / (2 * std::cos(kPi / 8))),
               LowPass(kLowPassHz, 1 / (2 * std::cos(3 * kPi / 8)))},
      edgeNotch_{Notch(kNotchHz[0], kNotchQ), Notch(kNotchHz[1], kNotchQ),
                 Notch(kNotchHz[2], kNotchQ), Notch(kNotchHz[3], kNotchQ),
                 Notch(kNotchHz[4], kNotchQ), Notch(kNotchHz[5], kNotchQ)},
      edgeLowPass_(LowPass(kEdgeLowPassHz, 1 / std::sqrt(2.0))) {}

void BlinkBands::settle(double x) {
  highPass_.settle(x);
  // Everything after the high-pass sees a steady 0.
  for (Biquad &section : lowPass_) {
    section.settle(0);
  }
  for (Biquad &section : edgeNotch_) {
    section.settle(0);
  }
  edgeLowPass_.settle(0);
}

void BlinkBands::step(double x, double *swing, double *edge) {
  const double high = highPass_.step(x);
  *swing = lowPass_[1].step(lowPass_[0].step(high));
  double e = high;
  for (Biquad &section : edgeNotch_) {
    e = section.step(e);
  }
  *edge = edgeLowPass_.step(e);
}

}  // namespace tg
