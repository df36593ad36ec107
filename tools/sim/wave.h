// The raw wave of the two raw-wave wearers: a recording played back in a
// loop (--recording), or a synthetic forehead EEG with blinks in it and no
// blink rows (--raw-blinks, tools/eeg.h). Either way the headset leaves
// blink detection to the library, and its summary packets say the contact
// is good.
#ifndef NICTATE_TOOLS_SIM_WAVE_H
#define NICTATE_TOOLS_SIM_WAVE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/eeg.h"
#include "tools/recording.h"

namespace sim {

struct Wave {
  // --recording: its samples as read, in microvolts, resampled to 512 a
  // second as they are sent (memory as the recording's, whatever its rate).
  std::vector<double> recording;
  std::unique_ptr<tools::Resampler> resampler;
  size_t recordingNext = 0;       // the next sample to resample
  std::vector<double> resampled;  // made and not sent yet
  size_t resampledNext = 0;
  std::unique_ptr<tools::SyntheticEeg> eeg;  // --raw-blinks
};

// Whether the wave is one of the raw-wave wearers'.
inline bool WaveActive(const Wave &wave) { return !wave.recording.empty() || wave.eeg; }

// Reads column `column` of the recording at `path`, of `rate` samples a
// second, as the raw wave. False, with *error saying why and where, when it
// cannot be read or holds something else than numbers.
bool StartRecordedWave(Wave *wave, const std::string &path, int column, double rate,
                       std::string *error);

// A synthetic EEG from a seed.
void StartSyntheticWave(Wave *wave, uint64_t seed);

// Raw sample `index`, asked for in order from 0; a recording starts again
// at its end.
int16_t NextWaveSample(Wave *wave, int64_t index);

// Starts a blink in the synthetic wave, of 120 to 400 microvolts, closing
// in 60 to 130 ms and opening in 120 to 250 ms; returns its size.
int StartWaveBlink(Wave *wave);

}  // namespace sim

#endif
