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

}  // namespace testkit
