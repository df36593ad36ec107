// The simulated wearer, where the generated stream's values come from:
// attention and meditation drifting around the middle of their range, now
// and then a few seconds of poor contact, band powers wandering around a
// resting wearer's, a raw wave of alpha and theta waves and noise, blinks of
// some strength. Everything is drawn from one seeded sequence, so a seed
// repeats a run. Another wearer (a recording played back, a raw wave made
// with blinks in it) is a file beside this one with the same four
// functions, which the stream (stream.cpp) calls.
#ifndef NICTATE_TOOLS_SIM_WEARER_H
#define NICTATE_TOOLS_SIM_WEARER_H

#include <cstdint>

#include "tools/packet.h"

namespace sim {

// splitmix64: small, and the same sequence on every platform.
struct Random {
  uint64_t state;
};

// The next number of the sequence; one from low to high.
uint64_t NextRandom(Random *random);
int UniformInt(Random *random, int low, int high);

struct Wearer {
  Random random;
  double attention;
  double meditation;
  int poorSignal;
  int poorSecondsLeft;
  double logBand[tools::kBandCount];
  double alphaPhase;
  double thetaPhase;
};

struct Summary {
  uint8_t poorSignal;
  uint8_t attention;
  uint8_t meditation;
  uint32_t bands[tools::kBandCount];
};

// Starts the wearer from a seed.
void StartWearer(Wearer *wearer, uint64_t seed);
// The next second's summary values.
Summary NextSummary(Wearer *wearer);
// Raw sample `index` (kRawRate a second).
int16_t NextRawSample(Wearer *wearer, int64_t index);
// The strength of a blink now.
uint8_t NextBlinkStrength(Wearer *wearer);

}  // namespace sim

#endif
