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
//   - feed consumes at least one byte of a non-empty read unless it hands
//     out a frame, never more than it was given, returns without a frame
//     only once every byte is consumed, and the frame never holds more than
//     169 bytes;
//   - every frame reported stands in the stream where it says it ends:
//     0xAA 0xAA, its length, its payload, a good checksum; frames come in
//     stream order and never share a byte;
//   - a frame is handed out less than 171 bytes after its checksum (the
//     longest a frame begun before it can stay open);
//   - every decoded value has a known data type and lies within its range;
//   - a valid packet right after the stream is decoded unless a frame
//     reported from the stream ends inside it (broken bytes before a packet
//     do not take it unless they hold a frame with a good checksum that
//     reaches into it);
//   - after the stream, 171 filler bytes (never 0xAA) bring the framer out of
//     any frame it was in (1 length + 169 payload + 1 checksum), so the valid
//     packet that follows is decoded, and handed out on its own last byte;
//   - a valid packet is never replaced by bytes inside it: the stream itself
//     (its first 169 bytes) made the payload of a packet, after the filler,
//     is reported whole, whatever packets it holds, and nothing inside it is.
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

// Checks a reported frame against the stream it came from: it says where
// it ends (the checksum is stream[frame.end - 1]).
void CheckFrame(const tg::Frame &frame, const std::vector<uint8_t> &stream) {
  CHECK(frame.length <= tg::kMaxPayload);
  CHECK(frame.end >= frame.length + 4 && frame.end <= stream.size());
  const size_t end = static_cast<size_t>(frame.end);
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

// A frame reported: where its first sync byte stands, where it ends (just
// after its checksum), and where feed had got to when it was handed out.
struct Reported {
  size_t first;
  size_t end;
  size_t handedOut;
  std::vector<tg::Value> values;
};

// Feeds the stream to a new framer in reads of the given sizes, checking
// every frame, and returns the frames reported.
std::vector<Reported> FrameStream(const std::vector<uint8_t> &stream,
                                  const std::vector<size_t> &chunks) {
  tg::Framer framer;
  std::vector<Reported> reported;
  size_t position = 0;
  size_t nextChunk = 0;
  while (position < stream.size()) {
    size_t length = chunks.empty() ? stream.size() : chunks[nextChunk++ % chunks.size()];
    if (length > stream.size() - position) {
      length = stream.size() - position;
    }
    uint8_t *read = static_cast<uint8_t *>(std::malloc(length));
    CHECK(read != nullptr);
    std::memcpy(read, &stream[position], length);
    size_t offset = 0;
    for (;;) {
      bool ready = true;
      const size_t used = framer.feed(read + offset, length - offset, &ready);
      CHECK(used <= length - offset);
      CHECK(used >= 1 || ready || offset == length);
      offset += used;
      CHECK(framer.frame().length <= tg::kMaxPayload);
      if (!ready) {
        CHECK(offset == length);
        break;
      }
      const tg::Frame &frame = framer.frame();
      CheckFrame(frame, stream);
      const size_t end = static_cast<size_t>(frame.end);
      const size_t first = end - frame.length - 4;
      const size_t handedOut = position + offset;
      CHECK(end <= handedOut && handedOut - end < tg::kMaxPayload + 2);
      // In stream order, no byte shared.
      CHECK(reported.empty() || first >= reported.back().end);
      reported.push_back(Reported{first, end, handedOut, Decode(frame.payload, frame.length)});
    }
    std::free(read);
    position += length;
  }
  return reported;
}

// Whether the known packet, standing at `start`, was reported, checking its
// values; *overlapped tells whether another frame reported ends inside it.
bool KnownReported(const std::vector<Reported> &reported, size_t start, bool *overlapped) {
  *overlapped = false;
  bool found = false;
  for (const Reported &r : reported) {
    if (r.first == start) {
      CHECK(r.end == start + sizeof kKnownPacket);
      CHECK(r.values.size() == 2);
      CHECK(r.values[0].dataType == TG_DATA_ATTENTION && r.values[0].value == 53);
      CHECK(r.values[1].dataType == TG_DATA_BLINK_STRENGTH && r.values[1].value == 64);
      found = true;
    } else if (r.end > start && r.first < start + sizeof kKnownPacket) {
      *overlapped = true;
    }
  }
  return found;
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

  // The fuzzed bytes, then at once the known packet and a filler that ends
  // any frame: it is decoded unless a frame begun in the fuzzed bytes with a
  // good checksum reaches into it.
  std::vector<uint8_t> stream(body, body + bodySize);
  stream.insert(stream.end(), kKnownPacket, kKnownPacket + sizeof kKnownPacket);
  stream.insert(stream.end(), kFillerLength, filler);
  bool overlapped = false;
  const bool decoded = KnownReported(FrameStream(stream, chunks), bodySize, &overlapped);
  CHECK(decoded != overlapped);

  // The fuzzed bytes, a filler long enough to end any frame, the known
  // packet: it is always decoded, on its own last byte.
  stream.resize(bodySize);
  stream.insert(stream.end(), kFillerLength, filler);
  const size_t knownStart = stream.size();
  stream.insert(stream.end(), kKnownPacket, kKnownPacket + sizeof kKnownPacket);
  std::vector<Reported> reported = FrameStream(stream, chunks);
  CHECK(KnownReported(reported, knownStart, &overlapped));
  CHECK(!overlapped);
  CHECK(reported.back().handedOut == stream.size());

  // The fuzzed bytes as the payload of a packet, after the filler: that
  // packet is reported whole and nothing inside it is, whatever it holds;
  // the known packet after it still comes out.
  const size_t innerLength = bodySize < tg::kMaxPayload ? bodySize : tg::kMaxPayload;
  uint8_t sum = 0;
  for (size_t i = 0; i < innerLength; ++i) {
    sum = static_cast<uint8_t>(sum + body[i]);
  }
  stream.resize(bodySize + kFillerLength);
  const size_t wrapperStart = stream.size();
  stream.insert(stream.end(), {tg::kSync, tg::kSync, static_cast<uint8_t>(innerLength)});
  stream.insert(stream.end(), body, body + innerLength);
  stream.push_back(static_cast<uint8_t>(~sum));
  const size_t wrapperEnd = stream.size();
  stream.insert(stream.end(), kKnownPacket, kKnownPacket + sizeof kKnownPacket);
  reported = FrameStream(stream, chunks);
  bool wrapperFound = false;
  for (const Reported &r : reported) {
    if (r.first == wrapperStart) {
      CHECK(r.end == wrapperEnd);
      wrapperFound = true;
    } else {
      CHECK(r.end <= wrapperStart || r.first >= wrapperEnd);
    }
  }
  CHECK(wrapperFound);
  CHECK(KnownReported(reported, wrapperEnd, &overlapped));
  CHECK(!overlapped);
  return 0;
}
