// The headset's packets, made by the tools' encoder (tools/packet.h), which
// is written from the device's side: their checksums are never computed by
// the code under test.
#ifndef NICTATE_TESTKIT_PACKETS_H
#define NICTATE_TESTKIT_PACKETS_H

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testkit {

using Bytes = std::vector<uint8_t>;

// 0xAA 0xAA, the length, the payload (169 bytes at most; more is cut) and
// the low eight bits of its inverted sum.
Bytes Packet(const Bytes &payload);
Bytes Join(std::initializer_list<Bytes> parts);
void Append(Bytes *to, const Bytes &bytes);

// One value a packet: attention (04), blink strength (16), a raw sample
// (80 02, big-endian).
Bytes Attention(int value);
Bytes Blink(int strength);
Bytes Raw(int16_t sample);

}  // namespace testkit

#endif
