// The packets a headset sends, for the benchmarks: made with the simulator's
// encoder (tools/packet.h), never with the library's parser.
#ifndef NICTATE_BENCH_HEADSET_H
#define NICTATE_BENCH_HEADSET_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// Appends one framed packet to out: a summary packet (poor signal,
// attention, meditation and the eight band powers, 36 bytes), a blink
// packet (6 bytes), a raw sample packet (8 bytes), an attention packet
// (6 bytes). The values vary with `n` so consecutive packets differ.
void AppendSummary(uint32_t n, std::vector<uint8_t> *out);
void AppendBlink(uint8_t strength, std::vector<uint8_t> *out);
void AppendRaw(int16_t sample, std::vector<uint8_t> *out);
void AppendAttention(uint8_t attention, std::vector<uint8_t> *out);

// The length of a blink packet on the wire.
size_t BlinkPacketLength(void);

// A raw sample that wanders like a real wave: sample i of the stream.
int16_t RawSample(uint32_t i);

}  // namespace bench

#endif
