#include "bench/headset.h"

#include "tools/packet.h"

namespace bench {

namespace {

void AppendPacket(const sim::Payload &payload, std::vector<uint8_t> *out) {
  uint8_t packet[sim::kMaxPacketLength];
  const size_t length = sim::EncodePacket(payload, packet);
  out->insert(out->end(), packet, packet + length);
}

}  // namespace

void AppendSummary(uint32_t n, std::vector<uint8_t> *out) {
  sim::Payload payload;
  uint32_t bands[sim::kBandCount];
  for (size_t band = 0; band < sim::kBandCount; ++band) {
    bands[band] = (n * 7919u + static_cast<uint32_t>(band) * 104729u) % 0x1000000u;
  }
  (void)sim::AppendSummaryRows(&payload, static_cast<uint8_t>(n % 3),
                               static_cast<uint8_t>(20 + n % 61), static_cast<uint8_t>(30 + n % 47),
                               bands);
  AppendPacket(payload, out);
}

void AppendBlink(uint8_t strength, std::vector<uint8_t> *out) {
  sim::Payload payload;
  (void)sim::AppendByteRow(&payload, sim::kRowBlinkStrength, strength == 0 ? 1 : strength);
  AppendPacket(payload, out);
}

void AppendRaw(int16_t sample, std::vector<uint8_t> *out) {
  sim::Payload payload;
  (void)sim::AppendRawSample(&payload, sample);
  AppendPacket(payload, out);
}

void AppendAttention(uint8_t attention, std::vector<uint8_t> *out) {
  sim::Payload payload;
  (void)sim::AppendByteRow(&payload, sim::kRowAttention, attention);
  AppendPacket(payload, out);
}

size_t BlinkPacketLength(void) {
  std::vector<uint8_t> packet;
  AppendBlink(1, &packet);
  return packet.size();
}

int16_t RawSample(uint32_t i) {
  // A triangle wave of about 10 Hz with a slow drift and a little jitter.
  const int32_t phase = static_cast<int32_t>(i % 52) - 26;
  const int32_t wave = (phase < 0 ? -phase : phase) * 40 - 520;
  const int32_t drift = static_cast<int32_t>((i / 512) % 200) - 100;
  const int32_t jitter = static_cast<int32_t>((i * 2654435761u) >> 28) - 8;
  return static_cast<int16_t>(wave + drift + jitter);
}

}  // namespace bench
