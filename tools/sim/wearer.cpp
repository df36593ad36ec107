#include "tools/sim/wearer.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

double UniformUnit(Random *random) {
  return (NextRandom(random) >> 11) * (1.0 / 9007199254740992.0);
}

double Gaussian(Random *random) {
  const double u = 1.0 - UniformUnit(random);
  const double v = UniformUnit(random);
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
}

// Typical band powers of a resting wearer: delta, theta, low alpha, high
// alpha, low beta, high beta, low gamma, mid gamma.
const double kBandBase[tools::kBandCount] = {400000, 90000, 25000, 18000, 14000, 11000, 6000, 3500};

// A value that drifts around a centre, kept within [low, high].
double Drift(Random *random, double value, double centre, double step, double low, double high) {
  value += 0.12 * (centre - value) + step * Gaussian(random);
  return std::min(high, std::max(low, value));
}

}  // namespace

uint64_t NextRandom(Random *random) {
  uint64_t z = (random->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int UniformInt(Random *random, int low, int high) {
  return low + static_cast<int>(NextRandom(random) % static_cast<uint64_t>(high - low + 1));
}

void StartWearer(Wearer *wearer, uint64_t seed) {
  wearer->random.state = seed;
  wearer->attention = UniformInt(&wearer->random, 35, 65);
  wearer->meditation = UniformInt(&wearer->random, 35, 65);
  wearer->poorSignal = 0;
  wearer->poorSecondsLeft = 0;
  for (size_t band = 0; band < tools::kBandCount; ++band) {
    wearer->logBand[band] = std::log(kBandBase[band]);
  }
  wearer->alphaPhase = UniformUnit(&wearer->random) * 2 * M_PI;
  wearer->thetaPhase = UniformUnit(&wearer->random) * 2 * M_PI;
}

Summary NextSummary(Wearer *wearer) {
  Random *random = &wearer->random;
  wearer->attention = Drift(random, wearer->attention, 55, 7, 1, 100);
  wearer->meditation = Drift(random, wearer->meditation, 50, 6, 1, 100);
  // Now and then the contact is poor for a few seconds.
  if (wearer->poorSecondsLeft > 0) {
    --wearer->poorSecondsLeft;
    if (wearer->poorSecondsLeft == 0) {
      wearer->poorSignal = 0;
    }
  } else if (UniformUnit(random) < 0.03) {
    wearer->poorSecondsLeft = UniformInt(random, 2, 4);
    wearer->poorSignal = UniformInt(random, 26, 80);
  }
  Summary e;
  e.poorSignal = static_cast<uint8_t>(wearer->poorSignal);
  e.attention = static_cast<uint8_t>(std::lround(wearer->attention));
  e.meditation = static_cast<uint8_t>(std::lround(wearer->meditation));
  for (size_t band = 0; band < tools::kBandCount; ++band) {
    const double centre = std::log(kBandBase[band]);
    wearer->logBand[band] += 0.3 * (centre - wearer->logBand[band]) + 0.35 * Gaussian(random);
    const double power = std::exp(wearer->logBand[band]);
    e.bands[band] = static_cast<uint32_t>(std::min(16777215.0, std::max(0.0, power)));
  }
  return e;
}

// Alpha and theta waves and noise, in the ADC's units.
int16_t NextRawSample(Wearer *wearer, int64_t index) {
  const double t = static_cast<double>(index) / tools::kRawRate;
  const double value = 180 * std::sin(2 * M_PI * 10.0 * t + wearer->alphaPhase) +
                       90 * std::sin(2 * M_PI * 6.2 * t + wearer->thetaPhase) +
                       40 * Gaussian(&wearer->random);
  return static_cast<int16_t>(std::lround(std::min(32767.0, std::max(-32768.0, value))));
}

uint8_t NextBlinkStrength(Wearer *wearer) {
  return static_cast<uint8_t>(UniformInt(&wearer->random, 40, 160));
}

}  // namespace sim
