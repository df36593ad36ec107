// Fuzz target: arbitrary bytes, cut into arbitrary reads, through the framer
// and the payload decoder.
//
// Input layout:
//   byte 0      the filler byte of the resync tail (0xAA stands for 0x00)
//   byte 1      how many chunk sizes follow (low three bits; 0: one read)
//   next bytes  the chunk sizes, 1 to 256 each, used in turn
//   the rest    the byte stream, as a serial port would deliver it
//
// Invariants checked on every input:
//   - no byte is read outside the read that carries it: each read is a heap
//     block of exactly its size (AddressSanitizer watches the edges);
//   - feed consumes at least one byte of a non-empty read, never more than
//     it was given, and the frame never holds more than 169 bytes;
//   - every frame reported stands in the stream just before the point feed
//     stopped: 0xAA 0xAA, its length, its payload, a good checksum;
//   - every decoded value has a known data type and lies within its range;
//   - a valid packet right after the stream is decoded, unless a frame begun
//     in the stream ends inside it with a good checksum (broken bytes before
//     a packet do not take it, as long as they do not look like a frame);
//   - after the stream, 171 filler bytes (never 0xAA) bring the framer out of
//     any frame it was in (1 length + 169 payload + 1 checksum), so the valid
//     packet that follows is always decoded, whatever the stream was.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/check.h"
#include "link/thinkgear.h"
#include "thinkgear/parser.h"

namespace {

// The known packet that ends every input: attention 53 and blink strength 64.
const uint8_t kKnownPacket[] = {
    0xAA, 0xAA, 0x04, 0x04, 0x35, 0x16, 0x40, static_cast<uint8_t>(~(0x04 + 0x35 + 0x16 + 0x40))};
const size_t kFillerLength = 1 + tg::kMaxPayload + 1;

bool IsWhole(float value) { return static_cast<float>(static_cast<int64_t>(value)) == value; }

void CheckValue(const tg::Value &v) {
  CHECK(IsWhole(v.value));
  switch (v.dataType) {
    case TG_DATA_POOR_SIGNAL:
      CHECK(v.value >= 0 && v.value <= 200);
      break;
    case TG_DATA_ATTENTION:
    case TG_DATA_MEDITATION:
      CHECK(v.value >= 0 && v.value <= 100);
      break;
    case TG_DATA_RAW:
      CHECK(v.value >= -32768 && v.value <= 32767);
      break;
    case TG_DATA_BLINK_STRENGTH:
      CHECK(v.value >= 1 && v.value <= 255);
      break;
    default:
      CHECK(v.dataType >= TG_DATA_DELTA && v.dataType <= TG_DATA_GAMMA2);
      CHECK(v.value >= 0 && v.value <= 16777215);
      break;
  }
}

// Decodes a payload from a heap block of exactly its length into a heap
// array of exactly the promised capacity; returns the values.
std::vector<tg::Value> Decode(const uint8_t *payload, size_t length) {
  uint8_t *copy = static_cast<uint8_t *>(std::malloc(length == 0 ? 1 : length));
  CHECK(copy != nullptr);
  if (length != 0) {
    std::memcpy(copy, payload, length);
  }
  tg::Value *out = new tg::Value[tg::kMaxValuesPerFrame];
  const size_t count = tg::DecodePayload(copy, length, out);
  CHECK(count <= tg::kMaxValuesPerFrame);
  std::vector<tg::Value> values(out, out + count);
  for (const tg::Value &v : values) {
    CheckValue(v);
  }
  delete[] out;
  std::free(copy);
  return values;
}

// Checks a reported frame against the stream it came from: it must end just
// before `end` (the checksum is stream[end - 1]).
void CheckFrame(const tg::Frame &frame, const std::vector<uint8_t> &stream, size_t end) {
  CHECK(frame.length <= tg::kMaxPayload);
  CHECK(end >= frame.length + 4);
  const size_t start = end - 1 - frame.length;
  CHECK(stream[start - 3] == tg::kSync && stream[start - 2] == tg::kSync);
  CHECK(stream[start - 1] == frame.length);
  CHECK(std::memcmp(&stream[start], frame.payload, frame.length) == 0);
  uint8_t sum = 0;
  for (size_t i = 0; i < frame.length; ++i) {
    sum = static_cast<uint8_t>(sum + frame.payload[i]);
  }
  CHECK(static_cast<uint8_t>(~sum) == stream[end - 1]);
}

// Feeds the stream to a new framer in reads of the given sizes, checking
// every frame; the known packet starts at knownStart and ends the stream.
// Returns whether the known packet was decoded; *lostToEarlier tells whether
// a frame begun before it ended inside it with a good checksum, which takes
// it.
bool FrameStream(const std::vector<uint8_t> &stream, const std::vector<size_t> &chunks,
                 size_t knownStart, bool *lostToEarlier) {
  *lostToEarlier = false;
  tg::Framer framer;
  size_t position = 0;
  size_t nextChunk = 0;
  bool knownDecoded = false;
  while (position < stream.size()) {
    size_t length = chunks.empty() ? stream.size() : chunks[nextChunk++ % chunks.size()];
    if (length > stream.size() - position) {
      length = stream.size() - position;
    }
    uint8_t *read = static_cast<uint8_t *>(std::malloc(length));
    CHECK(read != nullptr);
    std::memcpy(read, &stream[position], length);
    size_t offset = 0;
    while (offset < length) {
      bool ready = true;
      const size_t used = framer.feed(read + offset, length - offset, &ready);
      CHECK(used >= 1 && used <= length - offset);
      offset += used;
      CHECK(framer.frame().length <= tg::kMaxPayload);
      if (!ready) {
        CHECK(offset == length);
        continue;
      }
      const size_t end = position + offset;
      CheckFrame(framer.frame(), stream, end);
      const std::vector<tg::Value> values = Decode(framer.frame().payload, framer.frame().length);
      if (end == stream.size()) {
        // The innermost frame wins a tie, and none starts inside the known
        // packet but the packet itself.
        CHECK(values.size() == 2);
        CHECK(values[0].dataType == TG_DATA_ATTENTION && values[0].value == 53);
        CHECK(values[1].dataType == TG_DATA_BLINK_STRENGTH && values[1].value == 64);
        knownDecoded = true;
      } else if (end > knownStart) {
        *lostToEarlier = true;
      }
    }
    std::free(read);
    position += length;
  }
  return knownDecoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) {
    return 0;
  }
  const uint8_t filler = data[0] == tg::kSync ? 0x00 : data[0];
  const size_t chunkCount = data[1] & 7;
  if (size < 2 + chunkCount) {
    return 0;
  }
  std::vector<size_t> chunks;
  for (size_t i = 0; i < chunkCount; ++i) {
    chunks.push_back(static_cast<size_t>(data[2 + i]) + 1);
  }
  const uint8_t *body = data + 2 + chunkCount;
  const size_t bodySize = size - 2 - chunkCount;

  // The payload decoder on the raw bytes: checksums rarely hold by chance,
  // and the decoder must stand any payload.
  Decode(body, bodySize < tg::kMaxPayload ? bodySize : tg::kMaxPayload);

  // The fuzzed bytes, then at once the known packet: it is decoded unless a
  // frame begun in the fuzzed bytes ends inside it with a good checksum.
  std::vector<uint8_t> stream(body, body + bodySize);
  stream.insert(stream.end(), kKnownPacket, kKnownPacket + sizeof kKnownPacket);
  bool lost = false;
  const bool decoded = FrameStream(stream, chunks, bodySize, &lost);
  CHECK(decoded || lost);

  // The fuzzed bytes, a filler long enough to end any frame, the known
  // packet: it is always decoded.
  stream.resize(bodySize);
  stream.insert(stream.end(), kFillerLength, filler);
  const size_t knownStart = stream.size();
  stream.insert(stream.end(), kKnownPacket, kKnownPacket + sizeof kKnownPacket);
  CHECK(FrameStream(stream, chunks, knownStart, &lost));
  CHECK(!lost);
  return 0;
}
