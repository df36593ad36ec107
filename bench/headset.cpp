#include "bench/headset.h"

namespace bench {

testkit::Bytes Summary(uint32_t n) {
  testkit::Bytes payload = {0x02, static_cast<uint8_t>(n % 3),        // poor signal
                            0x04, static_cast<uint8_t>(20 + n % 61),  // attention
                            0x05, static_cast<uint8_t>(30 + n % 47),  // meditation
                            0x83, 24};                                // eight band powers
  for (uint32_t band = 0; band < 8; ++band) {
    const uint32_t power = (n * 7919u + band * 104729u) % 0x1000000u;
    payload.insert(payload.end(), {static_cast<uint8_t>(power >> 16),
                                   static_cast<uint8_t>(power >> 8), static_cast<uint8_t>(power)});
  }
  return testkit::Packet(payload);
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
