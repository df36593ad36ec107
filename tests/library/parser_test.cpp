// The library's inside, fed from bytes: framing of the headset's stream
// (and the faults a serial line brings) and payload decoding.
#include "thinkgear/parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "link/thinkgear.h"
#include "testkit/packets.h"

namespace {

using testkit::Bytes;
using testkit::Join;
using testkit::Packet;

// Feeds the bytes in pieces of `piece` bytes, as reads would bring them, and
// returns the payloads of the frames found.
std::vector<Bytes> FeedAll(tg::Framer *framer, const Bytes &bytes, size_t piece = SIZE_MAX) {
  std::vector<Bytes> frames;
  for (size_t start = 0; start < bytes.size(); start += piece) {
    const size_t end = piece < bytes.size() - start ? start + piece : bytes.size();
    size_t at = start;
    for (bool ready = true; ready;) {
      const size_t used = framer->feed(bytes.data() + at, end - at, &ready);
      EXPECT_TRUE(used > 0 || ready || at == end);
      at += used;
      EXPECT_TRUE(ready || at == end);
      if (ready) {
        const tg::Frame &frame = framer->frame();
        frames.emplace_back(frame.payload, frame.payload + frame.length);
      }
    }
  }
  return frames;
}

// Attention 53 (04 35) and attention 54 (04 36).
const Bytes kAttention53 = {0xAA, 0xAA, 0x02, 0x04, 0x35, 0xC6};
const Bytes kAttention54 = {0xAA, 0xAA, 0x02, 0x04, 0x36, 0xC5};

// ---------------------------------------------------------------------------
// Framing

TEST(Framer, WholePacketGivesItsPayloadAndStopsRightAfterIt) {
  // Two packets in one read: feed stops after the first, whose checksum the
  // test computes by hand (04 + 35 = 39, inverted C6).
  ASSERT_EQ(Packet({0x04, 0x35}), kAttention53);
  const Bytes both = Join({kAttention53, kAttention54});
  tg::Framer framer;
  bool ready = false;
  EXPECT_EQ(framer.feed(both.data(), both.size(), &ready), kAttention53.size());
  ASSERT_TRUE(ready);
  EXPECT_EQ(Bytes(framer.frame().payload, framer.frame().payload + framer.frame().length),
            (Bytes{0x04, 0x35}));
  EXPECT_EQ(framer.feed(both.data() + 6, both.size() - 6, &ready), kAttention54.size());
  ASSERT_TRUE(ready);
  EXPECT_EQ(framer.frame().payload[1], 0x36);
  EXPECT_EQ(framer.stats().frames, 2u);
}

TEST(Framer, EdgePacketsFrame) {
  // Empty payload: AA AA 00, checksum ~0 = FF.
  // Checksum equal to the sync byte: 04 51 sums to 55, inverted AA.
  // The longest payload, 169 bytes.
  Bytes longest(169, 0x01);
  tg::Framer framer;
  const std::vector<Bytes> frames = FeedAll(&framer, Join({{0xAA, 0xAA, 0x00, 0xFF},
                                                           {0xAA, 0xAA, 0x02, 0x04, 0x51, 0xAA},
                                                           kAttention53,
                                                           Packet(longest)}));
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0], Bytes());
  EXPECT_EQ(frames[1], (Bytes{0x04, 0x51}));
  EXPECT_EQ(frames[2], (Bytes{0x04, 0x35}));
  EXPECT_EQ(frames[3], longest);
}

TEST(Framer, OversizeLengthIsInvalidAndItsBytesAreSkipped) {
  // AA AA AB: a length above AA; the three bytes after it (04 35 C6) are
  // not a frame. Then AA AA FF, the largest bad length, alone.
  tg::Framer framer;
  const std::vector<Bytes> frames = FeedAll(
      &framer, Join({{0xAA, 0xAA, 0xAB, 0x04, 0x35, 0xC6}, {0xAA, 0xAA, 0xFF}, kAttention54}));
  EXPECT_EQ(frames, std::vector<Bytes>{(Bytes{0x04, 0x36})});
  EXPECT_EQ(framer.stats().badLengths, 2u);
  EXPECT_EQ(framer.stats().skippedBytes, 5u);  // AB 04 35 C6, FF
  EXPECT_EQ(framer.stats().frames, 1u);
}

TEST(Framer, LengthAaMeansTheSyncGoesOn) {
  // AA AA AA 02 ...: the third AA is not a length of 170, the sync goes on,
  // however long the run.
  tg::Framer framer;
  EXPECT_EQ(FeedAll(&framer, Join({{0xAA}, kAttention53})),
            std::vector<Bytes>{(Bytes{0x04, 0x35})});
  EXPECT_EQ(FeedAll(&framer, Join({Bytes(7, 0xAA), kAttention54})),
            std::vector<Bytes>{(Bytes{0x04, 0x36})});
  EXPECT_EQ(framer.stats().badLengths, 0u);
  EXPECT_EQ(framer.stats().skippedBytes, 0u);
}

TEST(Framer, FrameSplitAcrossReadsAtEveryPlace) {
  const Bytes stream = Join({kAttention53, Packet({0x80, 0x02, 0xFF, 0xFE}), kAttention54});
  const std::vector<Bytes> whole = {{0x04, 0x35}, {0x80, 0x02, 0xFF, 0xFE}, {0x04, 0x36}};
  // Byte by byte: the frame is ready at its last byte and not before.
  tg::Framer framer;
  for (size_t i = 0; i < kAttention53.size(); ++i) {
    bool ready = true;
    EXPECT_EQ(framer.feed(&kAttention53[i], 1, &ready), 1u);
    EXPECT_EQ(ready, i + 1 == kAttention53.size()) << "byte " << i;
  }
  tg::Framer bytewise;
  EXPECT_EQ(FeedAll(&bytewise, stream, 1), whole);
  // Two reads, cut at each place.
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    tg::Framer two;
    std::vector<Bytes> frames = FeedAll(&two, Bytes(stream.begin(), stream.begin() + cut));
    const std::vector<Bytes> rest = FeedAll(&two, Bytes(stream.begin() + cut, stream.end()));
    frames.insert(frames.end(), rest.begin(), rest.end());
    EXPECT_EQ(frames, whole) << "cut at " << cut;
  }
}

TEST(Framer, GarbageBetweenFramesIsSkippedAndTheNextPacketStillFrames) {
  // 00 FF 13 55 04: noise; a lone AA followed by 04 is no sync either.
  const Bytes garbage = {0x00, 0xFF, 0x13, 0xAA, 0x55, 0x04};
  tg::Framer framer;
  EXPECT_EQ(FeedAll(&framer, Join({garbage, kAttention53, garbage, kAttention54, garbage})),
            (std::vector<Bytes>{{0x04, 0x35}, {0x04, 0x36}}));
  EXPECT_EQ(framer.stats().skippedBytes, 15u);  // five of each six, three times
  EXPECT_EQ(framer.stats().frames, 2u);
}

TEST(Framer, PacketCutShortDoesNotSwallowTheNextOne) {
  // AA AA 20 04 35: a frame of 32 bytes of which two came (the device
  // dropped out); the packet after it must not be taken as its payload. It
  // is held until the cut frame's 32 bytes and checksum have gone by (here
  // 25 bytes of 00 after it), and then comes out.
  tg::Framer framer;
  EXPECT_TRUE(FeedAll(&framer, Join({{0xAA, 0xAA, 0x20, 0x04, 0x35}, kAttention54})).empty());
  EXPECT_EQ(FeedAll(&framer, Bytes(25, 0x00)), std::vector<Bytes>{(Bytes{0x04, 0x36})});
  // The longest cut (AA AA A9 16), and then whole packets: each one
  // frames, in order, once 170 bytes have followed the length byte.
  std::vector<Bytes> frames = FeedAll(&framer, Join({{0xAA, 0xAA, 0xA9, 0x16},
                                                     kAttention53,
                                                     kAttention54,
                                                     kAttention53,
                                                     Bytes(170 - 1 - 18, 0x00)}));
  EXPECT_EQ(frames, (std::vector<Bytes>{{0x04, 0x35}, {0x04, 0x36}, {0x04, 0x35}}));
}

TEST(Framer, SyncBytesInsideAPayloadDoNotBreakTheFrame) {
  // A raw sample of AA AA and an attention row after it: 80 02 AA AA 04 32.
  // The AA AA 04 inside looks like the start of another frame.
  const Bytes payload = {0x80, 0x02, 0xAA, 0xAA, 0x04, 0x32};
  tg::Framer framer;
  EXPECT_EQ(FeedAll(&framer, Join({Packet(payload), kAttention53})),
            (std::vector<Bytes>{payload, {0x04, 0x35}}));
  EXPECT_EQ(framer.stats().badChecksums, 0u);
}

// ---------------------------------------------------------------------------
// Payload decoding

std::vector<tg::Value> Decode(const Bytes &payload) {
  tg::Value values[tg::kMaxValuesPerFrame];
  const size_t count = tg::DecodePayload(payload.data(), payload.size(), values);
  return std::vector<tg::Value>(values, values + count);
}

::testing::AssertionResult IsValue(const tg::Value &got, int dataType, double value) {
  if (got.dataType == dataType && got.value == static_cast<float>(value)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "got type " << got.dataType << " value " << got.value
                                       << ", wanted type " << dataType << " value " << value;
}

TEST(DecodePayload, ExtendedCodeRowsAreSkipped) {
  const std::vector<tg::Value> values = Decode({
      0x55, 0x04, 0x63,              // extended attention: not attention
      0x55, 0x55, 0x16, 0x50,        // doubly extended blink
      0x55, 0x83, 0x02, 0x04, 0x10,  // extended long row: its two bytes are not a row
      0x04, 0x2A,                    // attention 42
  });
  ASSERT_EQ(values.size(), 1u);
  EXPECT_TRUE(IsValue(values[0], TG_DATA_ATTENTION, 42));
}

TEST(DecodePayload, UnknownRowsAreSkippedByTheirLength) {
  const std::vector<tg::Value> values = Decode({
      0x03, 0x04,                    // unknown one-byte row; its value looks like a code
      0x90, 0x03, 0x04, 0x05, 0x16,  // unknown long row holding code-like bytes
      0xFF, 0x00,                    // unknown long row of no bytes
      0x05, 0x21,                    // meditation 33
  });
  ASSERT_EQ(values.size(), 1u);
  EXPECT_TRUE(IsValue(values[0], TG_DATA_MEDITATION, 33));
}

TEST(DecodePayload, RowRunningPastThePayloadEndsDecoding) {
  // Band powers claiming 24 bytes with two there.
  std::vector<tg::Value> values = Decode({0x04, 0x10, 0x83, 0x18, 0x00, 0x01});
  ASSERT_EQ(values.size(), 1u);
  EXPECT_TRUE(IsValue(values[0], TG_DATA_ATTENTION, 16));
  // A long row cut before its length byte, a short row before its value,
  // extended-code bytes with no code: nothing, and nothing read beyond.
  for (const Bytes &cut : {Bytes{0x80}, Bytes{0x04}, Bytes{0x55, 0x55}, Bytes{0x80, 0x02, 0x01}}) {
    // The payload sits at the end of a heap block so a read past it shows
    // under the sanitizers.
    uint8_t *tail = static_cast<uint8_t *>(std::malloc(cut.size()));
    ASSERT_NE(tail, nullptr);
    std::copy(cut.begin(), cut.end(), tail);
    tg::Value out[tg::kMaxValuesPerFrame];
    EXPECT_EQ(tg::DecodePayload(tail, cut.size(), out), 0u);
    std::free(tail);
  }
  EXPECT_TRUE(Decode({}).empty());
}

TEST(DecodePayload, OutOfRangeValuesAreDropped) {
  const std::vector<tg::Value> values = Decode({
      0x02, 0xC9,                    // poor signal 201
      0x04, 0x65,                    // attention 101
      0x05, 0xFF,                    // meditation 255
      0x16, 0x00,                    // blink strength 0
      0x80, 0x03, 0x00, 0x01, 0x02,  // raw of three bytes
      0x80, 0x01, 0x05,              // raw of one byte
      0x83, 0x03, 0x00, 0x00, 0x01,  // band powers of one band only
      0x04, 0x00,                    // attention 0: in range
  });
  ASSERT_EQ(values.size(), 1u);
  EXPECT_TRUE(IsValue(values[0], TG_DATA_ATTENTION, 0));
}

TEST(DecodePayload, FullestPayloadFitsTheValueArray) {
  // 84 one-byte rows of attention: the most values a payload can carry.
  Bytes payload;
  for (int i = 0; i < 84; ++i) {
    payload.push_back(0x04);
    payload.push_back(static_cast<uint8_t>(i));
  }
  payload.push_back(0x55);  // the 169th byte
  const std::vector<tg::Value> values = Decode(payload);
  ASSERT_EQ(values.size(), 84u);
  EXPECT_TRUE(IsValue(values[83], TG_DATA_ATTENTION, 83));
}

}  // namespace
