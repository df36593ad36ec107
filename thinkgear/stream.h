// A connection's packet stream from bytes to values: framing, decoding, the
// values and their update counts, blink detection (the device's blink rows,
// or blinks found in the raw wave) and the data log. Fed from bytes, so the
// serial back ends, the tools and the tests all drive the same code.
#ifndef NICTATE_THINKGEAR_STREAM_H
#define NICTATE_THINKGEAR_STREAM_H

#include <cstddef>
#include <cstdint>

#include "thinkgear/blink_detector.h"
#include "thinkgear/log.h"
#include "thinkgear/parser.h"

namespace tg {

// Value slots: data types 1 to 12 and 37.
const int kValueSlots = 14;

// The value slot of a data-type code, or -1 for an unknown code.
int ValueSlot(int dataType);

struct Stream {
  Framer framer;
  float values[kValueSlots];
  int updates[kValueSlots];  // updates since the last StreamNewRead
  LogFile *dataLog;          // where decoded values go (a log without a file for none)
  uint64_t framedBytes;      // bytes the framer has taken

  // Blink detection: while it is on, blink rows from the device, or where
  // the device sends none, blinks the detector finds in the raw wave,
  // update the blink strength (37). Bytes up to quietUntil were waiting
  // already when detection was switched on: their values are decoded and
  // logged, but they report no blink.
  bool blinkDetection;
  bool deviceBlinks;  // a blink row came: the detector's blinks are dropped
  uint64_t quietUntil;
  BlinkDetector detector;
};

// A stream as new: no values, blink detection off, nothing framed.
void StreamReset(Stream *stream, LogFile *dataLog);

// A new device on the stream (a port opened or reopened): a partly read
// frame is dropped, the detector learns the new signal, and whether the
// device sends blink rows is to be seen again.
void StreamNewDevice(Stream *stream);

// Switches blink detection on or off. `waiting` is how many bytes have
// arrived that the stream has not framed yet (in the caller's buffer and the
// port's); they report no blink. Switching it on when it is off makes the
// detector learn the signal first.
void StreamDetectBlinks(Stream *stream, bool on, uint64_t waiting);

// Forgets the update counts: a read begins.
void StreamNewRead(Stream *stream);

// Frames bytes until `wanted` packets are whole or the bytes run out, and
// takes each packet's values. Returns the packets framed; *used is how many
// bytes were taken (the rest wait for the next call).
int StreamFeed(Stream *stream, const uint8_t *bytes, size_t size, int wanted, size_t *used);

}  // namespace tg

#endif
