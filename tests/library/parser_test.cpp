// The library's inside, fed from bytes: framing of the headset's stream
// (and the faults a serial line brings), payload decoding, and packets that
// hold the bytes of other packets.
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
// returns the payloads of the frames found (and in *ends where each ended).
std::vector<Bytes> FeedAll(tg::Framer *framer, const Bytes &bytes, size_t piece = SIZE_MAX,
                           std::vector<uint64_t> *ends = nullptr) {
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
        if (ends != nullptr) {
          ends->push_back(frame.end);
        }
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

TEST(ParserFraming, WholePacketGivesItsPayloadAndStopsRightAfterIt) {
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
}

TEST(ParserFraming, EdgePacketsFrame) {
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

TEST(ParserFraming, OversizeLengthIsInvalidAndItsBytesAreSkipped) {
  // AA AA AB: a length above AA; the three bytes after it (04 35 C6) are
  // not a frame. Then AA AA FF, the largest bad length, alone.
  tg::Framer framer;
  const std::vector<Bytes> frames = FeedAll(
      &framer, Join({{0xAA, 0xAA, 0xAB, 0x04, 0x35, 0xC6}, {0xAA, 0xAA, 0xFF}, kAttention54}));
  EXPECT_EQ(frames, std::vector<Bytes>{(Bytes{0x04, 0x36})});
}

TEST(ParserFraming, LengthAaMeansTheSyncGoesOn) {
  // AA AA AA 02 ...: the third AA is not a length of 170, the sync goes on,
  // however long the run.
  tg::Framer framer;
  EXPECT_EQ(FeedAll(&framer, Join({{0xAA}, kAttention53})),
            std::vector<Bytes>{(Bytes{0x04, 0x35})});
  EXPECT_EQ(FeedAll(&framer, Join({Bytes(7, 0xAA), kAttention54})),
            std::vector<Bytes>{(Bytes{0x04, 0x36})});
}

TEST(ParserFraming, FrameSplitAcrossReadsAtEveryPlace) {
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

TEST(ParserFraming, GarbageBetweenFramesIsSkippedAndTheNextPacketStillFrames) {
  // 00 FF 13 55 04: noise; a lone AA followed by 04 is no sync either.
  const Bytes garbage = {0x00, 0xFF, 0x13, 0xAA, 0x55, 0x04};
  tg::Framer framer;
  EXPECT_EQ(FeedAll(&framer, Join({garbage, kAttention53, garbage, kAttention54, garbage})),
            (std::vector<Bytes>{{0x04, 0x35}, {0x04, 0x36}}));
}

TEST(ParserFraming, PacketCutShortDoesNotSwallowTheNextOne) {
  // AA AA 20 04 35: a frame of 32 bytes of which two came (the device
  // dropped out); the packet after it must not be taken as its payload. It
  // is deferred until the cut frame's 32 bytes and checksum have gone by (here
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

TEST(ParserFraming, PacketsDeferredInACutFrameComeOutWhenTheLineIsQuietAndALaterFrameStaysOpen) {
  tg::Framer framer;
  // AA AA 20 04 35: a frame of 32 bytes of which two came (a dropout); then
  // a whole packet of attention 54, deferred since the frame around it might be
  // a packet; then the first half of one of attention 53 (AA AA 02 04).
  EXPECT_TRUE(
      FeedAll(&framer,
              Join({{0xAA, 0xAA, 0x20, 0x04, 0x35}, kAttention54, {0xAA, 0xAA, 0x02, 0x04}}))
          .empty());
  EXPECT_TRUE(framer.deferring());
  // The line is quiet inside the cut frame: it goes, the deferred packet comes
  // out (to a call with no bytes), and the packet under way still frames.
  framer.lineQuiet();
  bool ready = false;
  EXPECT_EQ(framer.feed(nullptr, 0, &ready), 0u);
  ASSERT_TRUE(ready);
  EXPECT_EQ(Bytes(framer.frame().payload, framer.frame().payload + framer.frame().length),
            (Bytes{0x04, 0x36}));
  EXPECT_FALSE(framer.deferring());
  EXPECT_EQ(FeedAll(&framer, {0x35, 0xC6}), std::vector<Bytes>{(Bytes{0x04, 0x35})});
  // With nothing deferred, a quiet line changes nothing.
  EXPECT_TRUE(FeedAll(&framer, {0xAA, 0xAA, 0x02, 0x04}).empty());
  framer.lineQuiet();
  EXPECT_EQ(FeedAll(&framer, {0x36, 0xC5}), std::vector<Bytes>{(Bytes{0x04, 0x36})});
}

TEST(ParserFraming, SyncBytesInsideAPayloadDoNotBreakTheFrame) {
  // A raw sample of AA AA and an attention row after it: 80 02 AA AA 04 32.
  // The AA AA 04 inside looks like the start of another frame.
  const Bytes payload = {0x80, 0x02, 0xAA, 0xAA, 0x04, 0x32};
  tg::Framer framer;
  EXPECT_EQ(FeedAll(&framer, Join({Packet(payload), kAttention53})),
            (std::vector<Bytes>{payload, {0x04, 0x35}}));
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

TEST(ParserDecoding, ExtendedCodeRowsAreSkipped) {
  const std::vector<tg::Value> values = Decode({
      0x55, 0x04, 0x63,              // extended attention: not attention
      0x55, 0x55, 0x16, 0x50,        // doubly extended blink
      0x55, 0x83, 0x02, 0x04, 0x10,  // extended long row: its two bytes are not a row
      0x04, 0x2A,                    // attention 42
  });
  ASSERT_EQ(values.size(), 1u);
  EXPECT_TRUE(IsValue(values[0], TG_DATA_ATTENTION, 42));
}

TEST(ParserDecoding, UnknownRowsAreSkippedByTheirLength) {
  const std::vector<tg::Value> values = Decode({
      0x03, 0x04,                    // unknown one-byte row; its value looks like a code
      0x90, 0x03, 0x04, 0x05, 0x16,  // unknown long row holding code-like bytes
      0xFF, 0x00,                    // unknown long row of no bytes
      0x05, 0x21,                    // meditation 33
  });
  ASSERT_EQ(values.size(), 1u);
  EXPECT_TRUE(IsValue(values[0], TG_DATA_MEDITATION, 33));
}

TEST(ParserDecoding, RowRunningPastThePayloadEndsDecoding) {
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

TEST(ParserDecoding, OutOfRangeValuesAreDropped) {
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

TEST(ParserDecoding, FullestPayloadFitsTheValueArray) {
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

// ---------------------------------------------------------------------------
// Packets inside packets: a valid packet is never replaced by bytes inside
// it, and packets that follow a cut frame still come out, in order, once
// that frame has ended.

// AA AA 02 16 63 86: a whole blink packet of strength 99.
const Bytes kBlink99 = {0xAA, 0xAA, 0x02, 0x16, 0x63, 0x86};

TEST(ParserCorruption, BlinkPacketBytesInsideABandPowerRowAreNoBlink) {
  // A summary packet whose band powers happen to hold the six bytes of a
  // blink packet: high alpha AA AA 02, low beta 16 63 86. The blink frame
  // ends inside the summary packet with a good checksum; the summary
  // packet's own checksum is good too, so it is the packet.
  const Bytes payload = {
      0x02, 0x00,        // poor signal 0
      0x04, 0x35,        // attention 53
      0x05, 0x28,        // meditation 40
      0x83, 0x18,        // band powers, 24 bytes:
      0x00, 0x00, 0x01,  //   delta 1
      0x00, 0x00, 0x02,  //   theta 2
      0x00, 0x00, 0x03,  //   low alpha 3
      0xAA, 0xAA, 0x02,  //   high alpha: AA AA 02, a sync and a length
      0x16, 0x63, 0x86,  //   low beta: a blink row of 99 and its checksum
      0x00, 0x00, 0x06,  //   high beta 6
      0x00, 0x00, 0x07,  //   low gamma 7
      0x00, 0x00, 0x08,  //   mid gamma 8
  };
  tg::Framer framer;
  const std::vector<Bytes> frames = FeedAll(&framer, Packet(payload));
  ASSERT_EQ(frames, std::vector<Bytes>{payload});
  const std::vector<tg::Value> values = Decode(frames[0]);
  ASSERT_EQ(values.size(), 11u);
  EXPECT_TRUE(IsValue(values[1], TG_DATA_ATTENTION, 53));
  for (const tg::Value &v : values) {
    EXPECT_NE(v.dataType, TG_DATA_BLINK_STRENGTH);
  }
}

TEST(ParserCorruption, BlinkPacketInsideAnUnknownLongRowIsNoBlink) {
  // 90 06 <AA AA 02 16 63 86>: an unknown row whose six bytes are a blink
  // packet, then attention 61 (04 3D). Fed a byte at a time as well: the
  // blink frame is complete three bytes before the packet's end.
  const Bytes payload = Join({{0x90, 0x06}, kBlink99, {0x04, 0x3D}});
  const Bytes stream = Join({Packet(payload), Packet({0x04, 0x3E})});
  const std::vector<Bytes> expected = {payload, {0x04, 0x3E}};
  tg::Framer whole;
  EXPECT_EQ(FeedAll(&whole, stream), expected);
  tg::Framer bytewise;
  EXPECT_EQ(FeedAll(&bytewise, stream, 1), expected);
}

TEST(ParserCorruption, PacketsOfOneByteAroundEachOtherGiveTheOuterOne) {
  // An outer packet and the packet inside it end on the same byte, each
  // with a good checksum: the payload 01 A7 AA AA 04 04 35 16 40 (the
  // first two bytes chosen so that both sums agree) holds AA AA 04 04 35 16
  // 40 whose checksum is the outer one's, 1E. The outer packet wins.
  const Bytes inner = {0x04, 0x35, 0x16, 0x40};
  const Bytes outer = Join({{0x01, 0xA7, 0xAA, 0xAA, 0x04}, inner});
  const Bytes stream = Packet(outer);
  ASSERT_EQ(stream.back(), Packet(inner).back());
  tg::Framer framer;
  EXPECT_EQ(FeedAll(&framer, stream), std::vector<Bytes>{outer});
}

TEST(ParserCorruption, PacketsAfterACutFrameComeOutInOrderOnceItEnds) {
  // AA AA 20 02 00: a summary packet cut after two of its 32 bytes. Then
  // three whole packets (attention 1, blink 2, attention 3: 18 bytes) and
  // 13 bytes of 00, whose last is where the cut frame's checksum would be.
  // The three are deferred until then: the cut frame might have been whole
  // with them inside it. Its checksum is bad, so all three come out at
  // once, in order, each saying where it ended.
  const Bytes cut = {0xAA, 0xAA, 0x20, 0x02, 0x00};
  const Bytes three = Join({Packet({0x04, 1}), Packet({0x16, 2}), Packet({0x04, 3})});
  tg::Framer framer;
  EXPECT_TRUE(FeedAll(&framer, Join({cut, three})).empty());
  EXPECT_TRUE(FeedAll(&framer, Bytes(12, 0x00)).empty());
  std::vector<uint64_t> ends;
  EXPECT_EQ(FeedAll(&framer, {0x00}, SIZE_MAX, &ends),
            (std::vector<Bytes>{{0x04, 1}, {0x16, 2}, {0x04, 3}}));
  EXPECT_EQ(ends, (std::vector<uint64_t>{11, 17, 23}));  // 5 cut bytes, then 6 a packet
  // The next packet, after nothing open, comes out on its own last byte.
  bool ready = false;
  const Bytes next = Packet({0x04, 4});
  EXPECT_EQ(framer.feed(next.data(), next.size() - 1, &ready), next.size() - 1);
  EXPECT_FALSE(ready);
  EXPECT_EQ(framer.feed(&next.back(), 1, &ready), 1u);
  EXPECT_TRUE(ready);
}

TEST(ParserCorruption, CutFrameWhoseChecksumHappensToHoldWinsOverThePacketsInside) {
  // AA AA 08, a blink packet (6 bytes), 00 00 and the checksum of those 8
  // bytes: a cut frame whose checksum holds by chance is, by its bytes, a
  // packet with a good checksum around the blink, so the blink is part of
  // it.
  const Bytes payload = Join({kBlink99, {0x00, 0x00}});
  tg::Framer framer;
  const std::vector<Bytes> frames = FeedAll(&framer, Join({Packet(payload), Packet({0x04, 5})}));
  EXPECT_EQ(frames, (std::vector<Bytes>{payload, {0x04, 5}}));
  EXPECT_TRUE(Decode(payload).empty());  // no row of a known code
}

TEST(ParserCorruption, PacketInsideAPacketInsideACutFrameGoesWithItsOuterPacket) {
  // A cut frame (AA AA A0 ...: 160 bytes promised, 1 given), then a whole
  // packet that holds a blink packet in an unknown row, then filler until
  // the cut frame's end: the whole packet comes out, its blink does not.
  const Bytes holder = Join({{0x90, 0x06}, kBlink99, {0x04, 0x20}});
  Bytes stream = Join({{0xAA, 0xAA, 0xA0, 0x01}, Packet(holder)});
  stream.resize(3 + 160 + 1, 0x00);
  tg::Framer framer;
  EXPECT_EQ(FeedAll(&framer, stream), std::vector<Bytes>{holder});
}

}  // namespace
