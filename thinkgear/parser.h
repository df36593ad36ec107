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
  uint64_t end;  // bytes fed since the framer was made, up to the checksum
};

// A line quiet this long inside a frame (over 90 byte times at 9600 baud,
// and longer than a USB adapter's or a Bluetooth link's usual hold-ups)
// means the frame was cut.
const int kQuietLineMs = 100;

// Finds frames in the byte stream: 0xAA 0xAA, a length 0..169 (0xAA there
// means the sync goes on), the payload, and a checksum equal to the low
// eight bits of the inverted payload sum.
//
// A frame whose bytes were cut short (a radio dropout, a device unplugged
// mid-packet) would swallow the packets after it until its length is made
// up. So every sync and length seen inside an open frame opens a frame too.
// Which of them are packets is settled by one rule: a frame with a good
// checksum is a packet, and nothing that starts inside a packet is one. A
// frame that ends with a good checksum while a frame begun before it is
// still open is therefore deferred until that outer frame ends: if the outer
// frame's checksum is good, the outer frame is the packet and what lay
// inside it is dropped; if not, the deferred frame is handed out. A packet that
// follows broken bytes thus still frames, but waits for the end of every
// frame begun in the broken bytes (at most 171 bytes after the last such
// length byte); a packet that does not follow an open frame is handed out
// as soon as its last byte arrives.
//
// On a sparse stream those 171 bytes can take seconds to come. But a device
// sends a packet's bytes back to back, so a frame inside which the line
// stays quiet for kQuietLineMs was cut: the reader says so (lineQuiet()),
// and the frames deferred inside it are handed out then.
class Framer {
 public:
  Framer();

  // Consumes bytes until a frame is ready or the bytes run out, and returns
  // how many it consumed; *frameReady tells whether frame() now holds a new
  // frame. A frame may span many calls. One byte can make several frames
  // ready (deferred frames let go at once): the calls after it hand them out in
  // order, one a call, before consuming any byte, and a call with no bytes
  // hands out a ready frame too. So a caller feeds until a call consumes
  // every byte it was given and reports no frame.
  size_t feed(const uint8_t *data, size_t size, bool *frameReady);

  const Frame &frame() const { return frame_; }

  // The bytes consumed since the framer was made.
  uint64_t fed() const { return fed_; }

  // Forgets a partly read frame, deferred frames and ready ones (the port was
  // closed or replaced); the bytes go on being counted.
  void reset();

  // Whether frames are deferred, waiting for a frame around them to end.
  bool deferring() const { return deferredCount_ != 0; }

  // The line has been quiet for kQuietLineMs: every frame around a deferred one
  // was cut, and is dropped; the deferred frames are handed out by the next
  // calls of feed(). A frame begun after the deferred ones stays open.
  void lineQuiet();

 private:
  // A frame: the window indexes of its length byte and of its checksum byte.
  struct Span {
    size_t start;
    size_t end;
  };
  // The bytes from the earliest open frame's length byte on: at most a
  // length byte, 169 payload bytes and a checksum.
  static const size_t kWindow = kMaxPayload + 2;
  // Every open frame's length byte follows two sync bytes, so at most one
  // in three window bytes starts one; deferred frames do not overlap, and each
  // takes its length byte, its checksum and a sync byte of its own.
  static const size_t kMaxOpen = kWindow / 3 + 1;
  static const size_t kMaxDeferred = kMaxOpen;

  // Settles the open frames whose checksum is the byte at window index at;
  // returns whether one of them had a good checksum.
  bool endFrames(size_t at, uint8_t byte);
  // Lets go the deferred frames no open frame is around any more.
  void releaseDeferred();
  // Moves the window to the earliest open frame and finds the next end.
  void settle();
  // Reads a byte as a sync byte, a length byte that opens a frame, or
  // neither.
  void takeSyncByte(uint8_t byte);
  // Hands out the next ready frame.
  void handOut();

  uint8_t window_[kWindow];
  uint8_t sums_[kWindow + 1];  // sums_[i]: low eight bits of window_[0..i)'s sum
  size_t size_;                // bytes in the window
  uint64_t fed_;               // bytes consumed since made
  uint64_t windowAt_;          // fed_ count of the window's first byte
  Span open_[kMaxOpen];        // by start, earliest first
  size_t openCount_;
  Span deferred_[kMaxDeferred];  // frames with a good checksum inside open ones, by start
  size_t deferredCount_;
  size_t nextEnd_;  // the earliest end of an open frame
  int syncRun_;     // 0xAA bytes just seen, up to 2
  // Frames let go and not handed out yet: their payloads one after another
  // in readyBytes_ (together they fit one window).
  struct Ready {
    size_t offset;
    size_t length;
    uint64_t end;
  };
  uint8_t readyBytes_[kWindow];
  Ready ready_[kMaxDeferred];
  size_t readyCount_;
  size_t readyNext_;
  Frame frame_;
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
