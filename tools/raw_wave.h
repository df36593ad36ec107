// A raw wave run through the device library's own stream, as a connection
// with blink detection on from its first byte has it: each sample in a
// raw-wave packet, and a good-contact summary packet at the start of every
// second, or the poor-signal values the caller gives instead. For
// nictate-blinks and the benchmarks, which want to know where the library
// reports blinks in a wave they made or read.
#ifndef NICTATE_TOOLS_RAW_WAVE_H
#define NICTATE_TOOLS_RAW_WAVE_H

#include <cstdint>
#include <vector>

#include "thinkgear/stream.h"

namespace tools {

class RawWaveRun {
 public:
  // goodContact: a good-contact summary packet at the start of every
  // second; otherwise only what contact() is given.
  explicit RawWaveRun(bool goodContact = true);
  RawWaveRun(const RawWaveRun &) = delete;  // the stream points into it
  RawWaveRun &operator=(const RawWaveRun &) = delete;

  // Sends the next sample (raw units) through the library. True, with
  // *strength set, when the library reports a blink with it.
  bool add(int16_t raw, int *strength);

  // Sends a poor-signal value (0 to 200) in a packet of its own.
  void contact(uint8_t poorSignal);

  // The port was opened again: the signal starts anew.
  void newSignal();

  // From now on each sample also fills *trace with what the library's blink
  // detector saw (tg::BlinkDetector::watch).
  void watch(tg::BlinkTrace *trace);

 private:
  // Feeds bytes_ to the stream: true, with *strength set, when it reports
  // a blink.
  bool feed(int *strength);

  tg::LogFile noLog_;
  tg::Stream stream_;
  std::vector<uint8_t> bytes_;
  bool goodContact_;
  int64_t samples_;
};

}  // namespace tools

#endif
