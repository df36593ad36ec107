#include "tools/sim/wave.h"

#include <cmath>

#include "tools/recording.h"

namespace sim {

bool StartRecordedWave(Wave *wave, const std::string &path, int column, double rate,
                       std::string *error) {
  std::vector<double> microvolts;
  if (!ReadRecording(path, column, &microvolts, error)) {
    return false;
  }
  for (const double value : ResampleToRaw(microvolts, rate)) {
    wave->recording.push_back(RawUnits(value));
  }
  return true;
}

void StartSyntheticWave(Wave *wave, uint64_t seed) {
  wave->eeg.reset(new SyntheticEeg(seed, EegSettings()));
}

int16_t NextWaveSample(Wave *wave, int64_t index) {
  if (!wave->recording.empty()) {
    return wave->recording[static_cast<size_t>(index) % wave->recording.size()];
  }
  // The synthetic wave is made sample by sample; one the schedule skipped
  // (the port full) is made all the same.
  int16_t sample = 0;
  while (wave->eeg->index() <= index) {
    sample = RawUnits(wave->eeg->next());
  }
  return sample;
}

int StartWaveBlink(Wave *wave) {
  SyntheticEeg *eeg = wave->eeg.get();
  BlinkShape shape;
  shape.microvolts = std::round(120 + 280 * eeg->uniform());
  shape.riseMs = 60 + 70 * eeg->uniform();
  shape.fallMs = 120 + 130 * eeg->uniform();
  (void)eeg->blink(shape);
  return static_cast<int>(shape.microvolts);
}

}  // namespace sim
