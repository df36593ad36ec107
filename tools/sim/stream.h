// The stream the simulated device sends: packets of the wearer's values
// (wearer.h), line noise, corrupt packets, or the bytes of a stream log
// replayed, each written into the port (port.h) and, once it took them,
// said on standard output, one line a value.
#ifndef NICTATE_TOOLS_SIM_STREAM_H
#define NICTATE_TOOLS_SIM_STREAM_H

#include <cstdint>
#include <vector>

#include "thinkgear/parser.h"
#include "tools/sim/options.h"
#include "tools/sim/port.h"
#include "tools/sim/wave.h"
#include "tools/sim/wearer.h"
#include "tools/stream_log.h"

namespace sim {

struct Stream {
  const Options *options;
  Port *port;
  Wearer wearer;
  Wave wave;  // the raw wave, with --raw-blinks or --recording
  std::vector<tools::StreamChunk> replay;
  tg::Framer replayFramer;
};

// A summary packet: poor signal, attention, meditation, the band powers.
void SendSummary(Stream *stream);
// Raw sample `index`, in a packet of its own.
void SendRaw(Stream *stream, int64_t index);
// A blink: in a packet of its own, or with --raw-blinks in the raw wave.
void SendBlink(Stream *stream);
// Line noise: random bytes that never hold two sync bytes in a row, so they
// cannot start a frame and swallow the packet after them.
void SendNoise(Stream *stream);
// A blink packet whose checksum is wrong: a reader must drop it.
void SendCorruptBlink(Stream *stream);
// A chunk of a replayed log, whole, and the values its bytes carry as a
// reader that frames them will see them.
void SendReplayChunk(Stream *stream, const tools::StreamChunk &chunk);

}  // namespace sim

#endif
