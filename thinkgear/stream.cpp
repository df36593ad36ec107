#include "thinkgear/stream.h"

#include <cstring>

#include "link/thinkgear.h"

namespace tg {

namespace {

const int kBlinkSlot = 13;

void Update(Stream *s, int dataType, float value) {
  const int slot = ValueSlot(dataType);
  s->values[slot] = value;
  ++s->updates[slot];
}

// Takes the values of the packet the framer has just completed, whose last
// byte was byte number `end` of the stream.
void TakeFrame(Stream *s, uint64_t end) {
  const bool quiet = end <= s->quietUntil;
  Value values[kMaxValuesPerFrame];
  const Frame &frame = s->framer.frame();
  const size_t count = DecodePayload(frame.payload, frame.length, values);
  for (size_t i = 0; i < count; ++i) {
    const Value &v = values[i];
    switch (v.dataType) {
      case TG_DATA_BLINK_STRENGTH:
        // A value of the connection only while blink detection is on.
        if (!s->blinkDetection) {
          continue;
        }
        s->deviceBlinks = true;
        LogDataValue(s->dataLog, v.dataType, v.value);
        if (!quiet) {
          Update(s, v.dataType, v.value);
        }
        continue;
      case TG_DATA_POOR_SIGNAL:
        s->detector.contact(static_cast<int>(v.value));
        break;
      case TG_DATA_RAW: {
        Update(s, v.dataType, v.value);
        LogDataValue(s->dataLog, v.dataType, v.value);
        Blink blink;
        if (s->blinkDetection && s->detector.sample(static_cast<int>(v.value), &blink) && !quiet &&
            !s->deviceBlinks) {
          // A blink found in the raw wave, after the sample that completed it.
          const float strength = static_cast<float>(blink.strength);
          Update(s, TG_DATA_BLINK_STRENGTH, strength);
          LogDataValue(s->dataLog, TG_DATA_BLINK_STRENGTH, strength);
        }
        continue;
      }
      default:
        break;
    }
    Update(s, v.dataType, v.value);
    LogDataValue(s->dataLog, v.dataType, v.value);
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

void StreamReset(Stream *s, LogFile *dataLog) {
  s->framer.reset();
  std::memset(s->values, 0, sizeof s->values);
  std::memset(s->updates, 0, sizeof s->updates);
  s->dataLog = dataLog;
  s->framedBytes = 0;
  s->blinkDetection = false;
  s->deviceBlinks = false;
  s->quietUntil = 0;
  s->detector.restart();
}

void StreamNewDevice(Stream *s) {
  s->framer.reset();
  s->deviceBlinks = false;
  s->detector.restart();
}

void StreamDetectBlinks(Stream *s, bool on, uint64_t waiting) {
  if (on && !s->blinkDetection) {
    s->detector.restart();
  }
  if (on) {
    s->quietUntil = s->framedBytes + waiting;
  }
  s->blinkDetection = on;
}

void StreamNewRead(Stream *s) { std::memset(s->updates, 0, sizeof s->updates); }

int StreamFeed(Stream *s, const uint8_t *bytes, size_t size, int wanted, size_t *used) {
  int packets = 0;
  size_t at = 0;
  while (packets < wanted && at < size) {
    bool ready = false;
    const size_t taken = s->framer.feed(bytes + at, size - at, &ready);
    at += taken;
    s->framedBytes += taken;
    if (ready) {
      TakeFrame(s, s->framedBytes);
      ++packets;
    }
  }
  *used = at;
  return packets;
}

}  // namespace tg
