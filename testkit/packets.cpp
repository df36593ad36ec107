#include "testkit/packets.h"

#include <algorithm>

namespace testkit {

Bytes Packet(const Bytes &payload) {
  uint8_t sum = 0;
  for (uint8_t b : payload) {
    sum = static_cast<uint8_t>(sum + b);
  }
  // Sized once and filled in place (an insert into a three-byte vector
  // sets off a false -Warray-bounds in GCC 12 at -O3).
  Bytes packet(payload.size() + 4);
  packet[0] = 0xAA;
  packet[1] = 0xAA;
  packet[2] = static_cast<uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), packet.begin() + 3);
  packet.back() = static_cast<uint8_t>(~sum);
  return packet;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) {
    Append(&all, part);
  }
  return all;
}

void Append(Bytes *to, const Bytes &bytes) { to->insert(to->end(), bytes.begin(), bytes.end()); }

Bytes Attention(int value) { return Packet({0x04, static_cast<uint8_t>(value)}); }

Bytes Blink(int strength) { return Packet({0x16, static_cast<uint8_t>(strength)}); }

Bytes Raw(int16_t sample) {
  const uint16_t bits = static_cast<uint16_t>(sample);
  return Packet({0x80, 0x02, static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits & 0xFF)});
}

Bytes Summary(uint32_t n) {
  Bytes payload = {0x02, static_cast<uint8_t>(n % 3),       0x04, static_cast<uint8_t>(20 + n % 61),
                   0x05, static_cast<uint8_t>(30 + n % 47), 0x83, 24};
  for (uint32_t band = 0; band < 8; ++band) {
    const uint32_t power = (n * 7919u + band * 104729u) % 0x1000000u;
    payload.insert(payload.end(), {static_cast<uint8_t>(power >> 16),
                                   static_cast<uint8_t>(power >> 8), static_cast<uint8_t>(power)});
  }
  return Packet(payload);
}

int16_t RawSample(uint32_t i) {
  // A triangle wave of about 10 Hz with a slow drift and a little jitter.
  const int32_t phase = static_cast<int32_t>(i % 52) - 26;
  const int32_t wave = (phase < 0 ? -phase : phase) * 40 - 520;
  const int32_t drift = static_cast<int32_t>((i / 512) % 200) - 100;
  const int32_t jitter = static_cast<int32_t>((i * 2654435761u) >> 28) - 8;
  return static_cast<int16_t>(wave + drift + jitter);
}

}  // namespace testkit
