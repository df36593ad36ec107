// The headset's packet stream: framing and payload decoding. Fed from bytes,
// so the serial back ends, the simulator and the tests drive the same code.
#ifndef NICTATE_THINKGEAR_PARSER_H
#define NICTATE_THINKGEAR_PARSER_H

#include <cstddef>
#include <cstdint>

namespace tg {

const uint8_t kSync = 0xAA;
const uint8_t kExtendedCode = 0x55;
const size_t kMaxPayload = 169;

// Row codes of the payload.
const uint8_t kCodePoorSignal = 0x02;
const uint8_t kCodeAttention = 0x04;
const uint8_t kCodeMeditation = 0x05;
const uint8_t kCodeBlinkStrength = 0x16;
const uint8_t kCodeRawWave = 0x80;
const uint8_t kCodeBandPowers = 0x83;

struct Frame {
  size_t length;
  uint8_t payload[kMaxPayload];
};

struct FramerStats {
  uint64_t frames;         // whole frames with a good checksum
  uint64_t badChecksums;   // whole frames dropped for their checksum
  uint64_t badLengths;     // length bytes above 0xAA
  uint64_t skippedBytes;   // bytes outside any frame
};

// Finds frames in the byte stream: 0xAA 0xAA, a length 0..169 (0xAA there
// means the sync goes on), the payload, and a checksum equal to the low
// eight bits of the inverted payload sum.
class Framer {
 public:
  Framer();

  // Consumes bytes until a whole frame with a good checksum is complete or
  // the bytes run out. Returns how many bytes it consumed; *frameReady tells
  // whether frame() now holds a new frame. A frame may span many calls.
  size_t feed(const uint8_t *data, size_t size, bool *frameReady);

  const Frame &frame() const { return frame_; }
  const FramerStats &stats() const { return stats_; }

  // Forgets a partly read frame (the port was closed or replaced).
  void reset();

 private:
  enum State { kWantSync1, kWantSync2, kWantLength, kInPayload, kWantChecksum };
  State state_;
  uint8_t sum_;
  size_t expected_;
  Frame frame_;
  FramerStats stats_;
};

// A decoded value: a data-type code of link/thinkgear.h and its value.
struct Value {
  int dataType;
  float value;
};

// The most values one payload can carry.
const size_t kMaxValuesPerFrame = kMaxPayload;

// Decodes the rows of a payload: optional 0x55 extended-code bytes, a code,
// then for codes 0x80 and above a length byte and that many bytes, else one
// byte. Known rows whose value is in range are written to out in order;
// unknown and malformed rows are skipped, and a row that runs past the
// payload ends the decoding. Returns the number of values written.
size_t DecodePayload(const uint8_t *payload, size_t length, Value *out);

}  // namespace tg

#endif
