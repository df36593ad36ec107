// A raw wave run through the device library's own stream, as a connection
// with blink detection on from its first byte has it: each sample in a
// raw-wave packet, a good-contact summary packet at the start of every
// second. For nictate-blinks and the benchmarks, which want to know where
// the library reports blinks in a wave they made or read.
#ifndef NICTATE_TOOLS_RAW_WAVE_H
#define NICTATE_TOOLS_RAW_WAVE_H

#include <cstdint>
#include <vector>

#include "thinkgear/stream.h"

namespace sim {

class RawWaveRun {
 public:
  RawWaveRun();
  RawWaveRun(const RawWaveRun &) = delete;  // the stream points into it
  RawWaveRun &operator=(const RawWaveRun &) = delete;

  // Sends the next sample (raw units) through the library. True, with
  // *strength set, when the library reports a blink with it.
  bool add(int16_t raw, int *strength);

 private:
  tg::LogFile noLog_;
  tg::Stream stream_;
  std::vector<uint8_t> bytes_;
  int64_t samples_;
};

}  // namespace sim

#endif
