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
  uint64_t frames;        // whole frames with a good checksum
  uint64_t badChecksums;  // whole frames dropped for their checksum
  uint64_t badLengths;    // length bytes above 0xAA
  uint64_t skippedBytes;  // bytes other than 0xAA outside any frame
};

// Finds frames in the byte stream: 0xAA 0xAA, a length 0..169 (0xAA there
// means the sync goes on), the payload, and a checksum equal to the low
// eight bits of the inverted payload sum.
//
// A frame whose bytes were cut short (a radio dropout, a device unplugged
// mid-packet) swallows the packets after it until its length is made up.
// So every sync and length seen inside an open frame opens a frame too, and
// the first of them to end with a good checksum wins (the innermost when
// several end at one byte); the others are dropped. A packet that follows
// broken bytes is thus framed as soon as its last byte arrives, unless a
// frame begun in the broken bytes happens to end inside it with a good
// checksum.
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
  // A frame being read: the window indexes of its length byte and of its
  // checksum byte.
  struct OpenFrame {
    size_t start;
    size_t end;
  };
  // The bytes from the earliest open frame's length byte on: at most a
  // length byte, 169 payload bytes and a checksum.
  static const size_t kWindow = kMaxPayload + 2;
  // Every open frame's length byte follows two sync bytes, so at most one
  // in three window bytes starts one.
  static const size_t kMaxOpen = kWindow / 3 + 1;

  // Drops open frame i; the window then starts at the earliest one left.
  void close(size_t i);

  uint8_t window_[kWindow];
  uint8_t sums_[kWindow + 1];  // sums_[i]: low eight bits of window_[0..i)'s sum
  size_t size_;                // bytes in the window
  OpenFrame open_[kMaxOpen];   // by start, earliest first
  size_t openCount_;
  size_t nextEnd_;  // the earliest end of an open frame
  int syncRun_;     // 0xAA bytes just seen, up to 2
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
