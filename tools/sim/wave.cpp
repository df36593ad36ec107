#include "tools/sim/wave.h"

#include <cmath>

#include "tools/recording.h"

namespace sim {

bool StartRecordedWave(Wave *wave, const std::string &path, int column, double rate,
                       std::string *error) {
  if (!tools::ReadRecording(path, column, &wave->recording, error)) {
    return false;
  }
  wave->resampler.reset(new tools::Resampler(rate));
  return true;
}

void StartSyntheticWave(Wave *wave, uint64_t seed) {
  wave->eeg.reset(new tools::SyntheticEeg(seed, tools::EegSettings()));
}

int16_t NextWaveSample(Wave *wave, int64_t index) {
  if (!wave->recording.empty()) {
    while (wave->resampledNext == wave->resampled.size()) {
      wave->resampled.clear();
      wave->resampledNext = 0;
      if (wave->recordingNext < wave->recording.size()) {
        wave->resampler->add(wave->recording[wave->recordingNext++], &wave->resampled);
      } else {
        wave->resampler->finish(&wave->resampled);
        wave->recordingNext = 0;
      }
    }
    return tools::RawUnits(wave->resampled[wave->resampledNext++]);
  }
  // The synthetic wave is made sample by sample; one the schedule skipped
  // (the port full) is made all the same.
  int16_t sample = 0;
  while (wave->eeg->index() <= index) {
    sample = tools::RawUnits(wave->eeg->next());
  }
  return sample;
}

int StartWaveBlink(Wave *wave) {
  tools::SyntheticEeg *eeg = wave->eeg.get();
  tools::BlinkShape shape;
  shape.microvolts = std::round(120 + 280 * eeg->uniform());
  shape.riseMs = 60 + 70 * eeg->uniform();
  shape.fallMs = 120 + 130 * eeg->uniform();
  (void)eeg->blink(shape);
  return static_cast<int>(shape.microvolts);
}

}  // namespace sim
