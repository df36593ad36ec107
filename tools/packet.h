// Builds the headset's packets: rows into a payload, a payload into a framed
// packet. Written from the device's side and independent of the library's
// parser, so the simulator, fuzz seeds and benchmarks can check the parser
// against bytes it did not make itself.
#ifndef NICTATE_TOOLS_PACKET_H
#define NICTATE_TOOLS_PACKET_H

#include <cstddef>
#include <cstdint>

namespace tools {

const uint8_t kSyncByte = 0xAA;
const size_t kMaxPayloadLength = 169;
// Two sync bytes, the length byte, the payload and the checksum.
const size_t kMaxPacketLength = kMaxPayloadLength + 4;

// Row codes the headset sends.
const uint8_t kRowPoorSignal = 0x02;     // one byte, 0-200
const uint8_t kRowAttention = 0x04;      // one byte, 0-100
const uint8_t kRowMeditation = 0x05;     // one byte, 0-100
const uint8_t kRowBlinkStrength = 0x16;  // one byte, 1-255
const uint8_t kRowRawSample = 0x80;      // two bytes, big-endian signed
const uint8_t kRowBandPowers = 0x83;     // eight 3-byte big-endian unsigned values
const size_t kBandCount = 8;

// Raw samples a second, on a headset at 57600 baud.
const int kRawRate = 512;

// A payload being built; a new one is empty.
struct Payload {
  size_t length = 0;
  uint8_t bytes[kMaxPayloadLength];
};

// Appends a row of a code below 0x80: the code and one value byte. False,
// with the payload unchanged, when the row does not fit.
bool AppendByteRow(Payload *payload, uint8_t code, uint8_t value);

// Appends a row of a code of 0x80 or above: the code, the length and the
// value bytes. False, with the payload unchanged, when it does not fit.
bool AppendLongRow(Payload *payload, uint8_t code, const uint8_t *value, size_t length);

// Appends one raw sample row (0x80, length 2, big-endian).
bool AppendRawSample(Payload *payload, int16_t sample);

// Appends the band power row (0x83, length 24): delta, theta, low alpha,
// high alpha, low beta, high beta, low gamma, mid gamma, each clamped to
// 24 bits.
bool AppendBandPowers(Payload *payload, const uint32_t powers[kBandCount]);

// Appends the rows of a summary packet: poor signal, attention, meditation
// and the band powers (32 bytes in all). False when they do not fit.
bool AppendSummaryRows(Payload *payload, uint8_t poorSignal, uint8_t attention, uint8_t meditation,
                       const uint32_t bands[kBandCount]);

// The checksum of a payload: the low eight bits of its inverted sum.
uint8_t PayloadChecksum(const uint8_t *bytes, size_t length);

// Writes the framed packet (0xAA 0xAA, length, payload, checksum) to out,
// which holds at least kMaxPacketLength bytes, and returns its length.
size_t EncodePacket(const Payload &payload, uint8_t *out);

// The simulator's name of a data type of link/thinkgear.h, as it prints
// values (the short name of thinkgear/data_types.h: "attention",
// "low_alpha", "blink"); "unknown" for any other.
const char *ValueName(int dataType);

}  // namespace tools

#endif
