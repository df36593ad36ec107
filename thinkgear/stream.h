// A connection's packet stream from bytes to values: framing, decoding, the
// values and their update counts, blink detection (the device's blink rows,
// or blinks found in the raw wave) and the data log. Fed from bytes, so the
// serial back ends, the tools and the tests all drive the same code.
#ifndef NICTATE_THINKGEAR_STREAM_H
#define NICTATE_THINKGEAR_STREAM_H

#include <cstddef>
#include <cstdint>

#include "thinkgear/arrivals.h"
#include "thinkgear/blink_detector.h"
#include "thinkgear/log.h"
#include "thinkgear/parser.h"

namespace tg {

// Value slots: data types 1 to 12 and 37.
const int kValueSlots = 14;

// The value slot of a data-type code, or -1 for an unknown code.
int ValueSlot(int dataType);

struct Stream {
  // A stream with no value yet and blink detection off, logging its values
  // to dataLog (a log without a file for none).
  explicit Stream(LogFile *dataLog);

  // The bytes the framer takes are numbered in the order they come, from 0,
  // however often the signal starts anew: the stream index. Where frames
  // end, when bytes came (arrivals) and where blink detection began are
  // all told by it (StreamTaken).
  Framer framer;
  float values[kValueSlots];
  int updates[kValueSlots];  // updates since the last StreamNewRead
  LogFile *dataLog;

  // Blink detection: while it is on, blink rows from the device and blinks
  // the detector finds in the raw wave update the blink strength (37). One
  // blink told by both, the second within kSameBlinkSamples of the first, is
  // reported once, by the first; once kAgreeingBlinks blinks in a row were
  // told by both, the device's rows win and the detector's blinks are
  // dropped. Packets that end at or before stream index detectionStart had
  // arrived already when detection was switched on: their values are
  // decoded and logged, but they report no blink.
  bool blinkDetection;
  bool deviceBlinks;  // the device's rows have won
  int agreeing;       // blinks in a row told by both
  int lastTeller;     // who told the last blink while the other may still tell it (0: none)
  uint64_t lastToldAt;
  int64_t lastToldMs;  // when its packet arrived (-1: not known)
  uint64_t samples;    // raw samples taken: the clock of the two tellers
  uint64_t detectionStart;
  BlinkDetector detector;

  // When the bytes came (the connection dates them; fed without a port,
  // none are dated), and when the packet that brought the latest blink
  // strength did (-1: not known).
  Arrivals arrivals;
  int64_t blinkArrivedMs;
};

// A report from the other teller of a blink this many raw samples (0.5 s)
// after the first, in a packet that arrived within kSameBlinkMs of the
// first one's, is the same blink. (What a stall leaves waiting is dated
// more loosely than the samples are: thinkgear/arrivals.h.)
const uint64_t kSameBlinkSamples = kRawSampleRate / 2;
const int64_t kSameBlinkMs = 1000;
// Blinks in a row both tellers told, after which the device's rows win.
const int kAgreeingBlinks = 3;

// The signal starts anew: a port was opened, or opened again after its
// device was lost. A partly read frame is dropped and the detector learns
// the signal again (the last poor-signal value holds until a new one
// comes); for a new device (not the one that was lost), whether its blink
// rows win is to be seen again.
void StreamNewSignal(Stream *stream, bool newDevice);

// The stream index of the next byte: how many bytes the stream has taken.
uint64_t StreamTaken(const Stream *stream);

// Switches blink detection on or off. Switching it on when it is off makes
// the detector learn the signal first (the last poor-signal value still
// holds), and what has arrived up to stream index `arrived` (taken, or
// waiting in the caller's buffer and in the port) reports no blink; while
// it is on already, nothing changes.
void StreamDetectBlinks(Stream *stream, bool on, uint64_t arrived);

// Forgets the update counts: a read begins.
void StreamNewRead(Stream *stream);

// Whether the framer defers packets until a frame around them ends.
bool StreamDeferring(const Stream *stream);

// The line has been quiet for kQuietLineMs: the frames deferred packets waited
// on were cut, and the packets are handed out by the next StreamFeed.
void StreamLineQuiet(Stream *stream);

// Frames bytes until `wanted` packets are whole or the bytes run out (and
// no frame the framer deferred is left to hand out), and takes each packet's
// values. Returns the packets framed; *used is how many bytes were taken
// (the rest wait for the next call).
int StreamFeed(Stream *stream, const uint8_t *bytes, size_t size, int wanted, size_t *used);

}  // namespace tg

#endif
