#include "testkit/packets.h"

#include <algorithm>
#include <cstddef>

#include "tools/packet.h"

namespace testkit {

Bytes Packet(const Bytes &payload) {
  tools::Payload rows;
  rows.length = std::min(payload.size(), tools::kMaxPayloadLength);
  std::copy(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(rows.length),
            rows.bytes);
  uint8_t packet[tools::kMaxPacketLength];
  return Bytes(packet, packet + tools::EncodePacket(rows, packet));
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
