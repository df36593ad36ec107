#include "tools/sim/stream.h"

#include <cinttypes>

#include "link/thinkgear.h"
#include "tools/sim/say.h"

namespace sim {

namespace {

bool SendPayload(Stream *stream, const tools::Payload &payload) {
  uint8_t packet[tools::kMaxPacketLength];
  const size_t length = tools::EncodePacket(payload, packet);
  return Send(stream->port, packet, length);
}

}  // namespace

void SendSummary(Stream *stream) {
  Summary e = NextSummary(&stream->wearer);
  if (WaveActive(stream->wave)) {
    e.poorSignal = 0;  // a raw wave to find blinks in: good contact
  }
  tools::Payload payload;
  (void)tools::AppendSummaryRows(&payload, e.poorSignal, e.attention, e.meditation, e.bands);
  if (!SendPayload(stream, payload)) {
    return;
  }
  Say("%s %d\n", tools::ValueName(TG_DATA_POOR_SIGNAL), e.poorSignal);
  Say("%s %d\n", tools::ValueName(TG_DATA_ATTENTION), e.attention);
  Say("%s %d\n", tools::ValueName(TG_DATA_MEDITATION), e.meditation);
  for (size_t band = 0; band < tools::kBandCount; ++band) {
    Say("%s %" PRIu32 "\n", tools::ValueName(TG_DATA_DELTA + static_cast<int>(band)),
        e.bands[band]);
  }
}

void SendRaw(Stream *stream, int64_t index) {
  const int16_t sample = WaveActive(stream->wave) ? NextWaveSample(&stream->wave, index)
                                                  : NextRawSample(&stream->wearer, index);
  tools::Payload payload;
  (void)tools::AppendRawSample(&payload, sample);
  if (SendPayload(stream, payload)) {
    Say("%s %d\n", tools::ValueName(TG_DATA_RAW), sample);
  }
}

void SendBlink(Stream *stream) {
  if (stream->wave.eeg) {
    Say("raw blink %d\n", StartWaveBlink(&stream->wave));
    return;
  }
  const uint8_t strength = NextBlinkStrength(&stream->wearer);
  tools::Payload payload;
  (void)tools::AppendByteRow(&payload, tools::kRowBlinkStrength, strength);
  if (SendPayload(stream, payload)) {
    Say("%s %d\n", tools::ValueName(TG_DATA_BLINK_STRENGTH), strength);
  }
}

void SendNoise(Stream *stream) {
  Random *random = &stream->wearer.random;
  uint8_t bytes[24];
  const size_t count = static_cast<size_t>(UniformInt(random, 1, sizeof bytes));
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(NextRandom(random));
    if (i > 0 && bytes[i] == tools::kSyncByte && bytes[i - 1] == tools::kSyncByte) {
      bytes[i] = 0x00;
    }
  }
  if (Send(stream->port, bytes, count)) {
    Say("garbage %zu\n", count);
  }
}

void SendCorruptBlink(Stream *stream) {
  const uint8_t strength = NextBlinkStrength(&stream->wearer);
  tools::Payload payload;
  (void)tools::AppendByteRow(&payload, tools::kRowBlinkStrength, strength);
  uint8_t packet[tools::kMaxPacketLength];
  const size_t length = tools::EncodePacket(payload, packet);
  packet[length - 1] ^= 0x5A;
  if (Send(stream->port, packet, length)) {
    Say("corrupt blink %d\n", strength);
  }
}

void SendReplayChunk(Stream *stream, const tools::StreamChunk &chunk) {
  if (!SendWhole(stream->port, chunk.bytes.data(), chunk.bytes.size())) {
    return;
  }
  // The framer consumes every byte before it reports no frame.
  size_t at = 0;
  for (;;) {
    bool ready = false;
    at += stream->replayFramer.feed(chunk.bytes.data() + at, chunk.bytes.size() - at, &ready);
    if (!ready) {
      break;
    }
    tg::Value values[tg::kMaxValuesPerFrame];
    const tg::Frame &frame = stream->replayFramer.frame();
    const size_t count = tg::DecodePayload(frame.payload, frame.length, values);
    for (size_t i = 0; i < count; ++i) {
      Say("%s %.0f\n", tools::ValueName(values[i].dataType), values[i].value);
    }
  }
}

}  // namespace sim
