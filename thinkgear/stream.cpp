#include "thinkgear/stream.h"

#include <cstring>

#include "link/thinkgear.h"

namespace tg {

namespace {

const int kBlinkSlot = 13;

// A new value of a data type: counted, kept and logged.
void Update(Stream *s, int dataType, float value) {
  const int slot = ValueSlot(dataType);
  s->values[slot] = value;
  ++s->updates[slot];
  LogDataValue(s->dataLog, dataType, value);
}

// Who told of a blink.
enum Teller { kNobody, kWave, kDevice };

// Whether a blink `teller` tells of now, in a packet that arrived at
// `arrived`, is a new one, and not the one the other teller told of within
// kSameBlinkSamples before. Where the packets' arrivals are known, they must
// be close too: raw samples that stop coming stop their clock.
bool NewBlink(Stream *s, Teller teller, int64_t arrived) {
  const bool recent = s->lastTeller != kNobody && s->samples - s->lastToldAt <= kSameBlinkSamples &&
                      (arrived < 0 || s->lastToldMs < 0 || arrived - s->lastToldMs <= kSameBlinkMs);
  if (recent && s->lastTeller != teller) {
    s->lastTeller = kNobody;
    if (++s->agreeing >= kAgreeingBlinks) {
      s->deviceBlinks = true;
    }
    return false;
  }
  if (s->lastTeller != kNobody) {
    s->agreeing = 0;  // the last blink was told by one alone
  }
  s->lastTeller = teller;
  s->lastToldAt = s->samples;
  s->lastToldMs = arrived;
  return true;
}

// The detector learns the signal anew; the contact it was last told of
// holds.
void RestartDetector(Stream *s) {
  s->detector.restart();
  s->detector.contact(static_cast<int>(s->values[ValueSlot(TG_DATA_POOR_SIGNAL)]));
}

// Takes the values of the packet the framer has just handed out.
void TakeFrame(Stream *s) {
  const Frame &frame = s->framer.frame();
  const uint64_t end = frame.end;
  const bool beforeDetection = end <= s->detectionStart;
  const int64_t arrived = end > 0 ? s->arrivals.when(end - 1) : -1;
  Value values[kMaxValuesPerFrame];
  const size_t count = DecodePayload(frame.payload, frame.length, values);
  for (size_t i = 0; i < count; ++i) {
    const Value &v = values[i];
    if (v.dataType == TG_DATA_BLINK_STRENGTH) {
      // A value of the connection only while blink detection is on; one
      // that was waiting when it was switched on, or that the wave told of
      // already, is logged, not reported.
      if (s->blinkDetection) {
        if (beforeDetection || !(s->deviceBlinks || NewBlink(s, kDevice, arrived))) {
          LogDataValue(s->dataLog, v.dataType, v.value);
        } else {
          Update(s, v.dataType, v.value);
          s->blinkArrivedMs = arrived;
        }
      }
      continue;
    }
    Update(s, v.dataType, v.value);
    if (v.dataType == TG_DATA_POOR_SIGNAL) {
      s->detector.contact(static_cast<int>(v.value));
    }
    if (v.dataType != TG_DATA_RAW) {
      continue;
    }
    ++s->samples;
    Blink blink;
    if (s->blinkDetection && s->detector.sample(static_cast<int>(v.value), &blink) &&
        !s->deviceBlinks && !beforeDetection && NewBlink(s, kWave, arrived)) {
      // A blink found in the raw wave, with the sample that completed it.
      Update(s, TG_DATA_BLINK_STRENGTH, static_cast<float>(blink.strength));
      s->blinkArrivedMs = arrived;
    }
  }
}

}  // namespace

int ValueSlot(int dataType) {
  if (dataType >= TG_DATA_POOR_SIGNAL && dataType <= TG_DATA_GAMMA2) {
    return dataType;
  }
  if (dataType == TG_DATA_BLINK_STRENGTH) {
    return kBlinkSlot;
  }
  return -1;
}

Stream::Stream(LogFile *log)
    : framer(),
      values(),
      updates(),
      dataLog(log),
      blinkDetection(false),
      deviceBlinks(false),
      agreeing(0),
      lastTeller(kNobody),
      lastToldAt(0),
      lastToldMs(-1),
      samples(0),
      detectionStart(0),
      detector(),
      arrivals(),
      blinkArrivedMs(-1) {}

void StreamNewSignal(Stream *s, bool newDevice) {
  s->framer.reset();
  RestartDetector(s);
  s->lastTeller = kNobody;
  if (newDevice) {
    s->deviceBlinks = false;
    s->agreeing = 0;
  }
}

uint64_t StreamTaken(const Stream *s) { return s->framer.fed(); }

void StreamDetectBlinks(Stream *s, bool on, uint64_t arrived) {
  if (on && !s->blinkDetection) {
    RestartDetector(s);
    s->detectionStart = arrived;
  }
  s->blinkDetection = on;
}

bool StreamDeferring(const Stream *s) { return s->framer.deferring(); }

void StreamLineQuiet(Stream *s) { s->framer.lineQuiet(); }

void StreamNewRead(Stream *s) { std::memset(s->updates, 0, sizeof s->updates); }

int StreamFeed(Stream *s, const uint8_t *bytes, size_t size, int wanted, size_t *used) {
  int packets = 0;
  size_t at = 0;
  while (packets < wanted) {
    bool ready = false;
    at += s->framer.feed(bytes + at, size - at, &ready);
    if (!ready) {
      break;  // every byte taken, and no frame left to hand out
    }
    TakeFrame(s);
    ++packets;
  }
  *used = at;
  // A frame handed out later (deferred behind a frame around it) ends within
  // the framer's window of the bytes taken.
  const uint64_t window = 2 * kMaxPayload;
  const uint64_t taken = StreamTaken(s);
  s->arrivals.forget(taken > window ? taken - window : 0);
  return packets;
}

}  // namespace tg
