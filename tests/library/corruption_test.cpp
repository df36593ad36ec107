// The framer against streams in which a valid packet holds the bytes of
// another: a packet is never replaced by bytes inside it, and packets that
// follow a cut frame still come out, in order, once that frame has ended.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/thinkgear.h"
#include "tests/stream_bytes.h"
#include "thinkgear/parser.h"

namespace {

using testbytes::Bytes;
using testbytes::Join;
using testbytes::Packet;

// A frame handed out: its payload and where it ended.
struct Out {
  Bytes payload;
  uint64_t end;
};

// Feeds the bytes in one read and returns the frames handed out.
std::vector<Out> Frames(tg::Framer *framer, const Bytes &bytes) {
  std::vector<Out> frames;
  size_t at = 0;
  for (bool ready = true; ready;) {
    at += framer->feed(bytes.data() + at, bytes.size() - at, &ready);
    if (ready) {
      const tg::Frame &frame = framer->frame();
      frames.push_back({Bytes(frame.payload, frame.payload + frame.length), frame.end});
    }
  }
  EXPECT_EQ(at, bytes.size());
  return frames;
}

std::vector<tg::Value> Decode(const Bytes &payload) {
  tg::Value values[tg::kMaxValuesPerFrame];
  return std::vector<tg::Value>(values,
                                values + tg::DecodePayload(payload.data(), payload.size(), values));
}

// AA AA 02 16 63 86: a whole blink packet of strength 99.
const Bytes kBlink99 = {0xAA, 0xAA, 0x02, 0x16, 0x63, 0x86};

TEST(Corruption, BlinkPacketBytesInsideABandPowerRowAreNoBlink) {
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
  const std::vector<Out> frames = Frames(&framer, Packet(payload));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload, payload);
  const std::vector<tg::Value> values = Decode(frames[0].payload);
  ASSERT_EQ(values.size(), 11u);
  EXPECT_EQ(values[1].dataType, TG_DATA_ATTENTION);
  EXPECT_EQ(values[1].value, 53.0f);
  for (const tg::Value &v : values) {
    EXPECT_NE(v.dataType, TG_DATA_BLINK_STRENGTH);
  }
  EXPECT_EQ(framer.stats().innerFrames, 1u);
}

TEST(Corruption, BlinkPacketInsideAnUnknownLongRowIsNoBlink) {
  // 90 06 <AA AA 02 16 63 86>: an unknown row whose six bytes are a blink
  // packet, then attention 61 (04 3D). Fed a byte at a time as well: the
  // blink frame is complete three bytes before the packet's end.
  const Bytes payload = Join({{0x90, 0x06}, kBlink99, {0x04, 0x3D}});
  const Bytes stream = Join({Packet(payload), Packet({0x04, 0x3E})});
  tg::Framer whole;
  const std::vector<Out> frames = Frames(&whole, stream);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].payload, payload);
  EXPECT_EQ(frames[1].payload, (Bytes{0x04, 0x3E}));

  tg::Framer bytewise;
  std::vector<Bytes> payloads;
  for (uint8_t byte : stream) {
    for (const Out &out : Frames(&bytewise, {byte})) {
      payloads.push_back(out.payload);
    }
  }
  EXPECT_EQ(payloads, (std::vector<Bytes>{payload, {0x04, 0x3E}}));
}

TEST(Corruption, PacketsOfOneByteAroundEachOtherGiveTheOuterOne) {
  // An outer packet and the packet inside it end on the same byte, each
  // with a good checksum: the payload 01 A7 AA AA 04 04 35 16 40 (the
  // first two bytes chosen so that both sums agree) holds AA AA 04 04 35 16
  // 40 whose checksum is the outer one's, 1E. The outer packet wins.
  const Bytes inner = {0x04, 0x35, 0x16, 0x40};
  const Bytes outer = Join({{0x01, 0xA7, 0xAA, 0xAA, 0x04}, inner});
  const Bytes stream = Packet(outer);
  ASSERT_EQ(stream.back(), Packet(inner).back());
  tg::Framer framer;
  const std::vector<Out> frames = Frames(&framer, stream);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload, outer);
}

TEST(Corruption, PacketsAfterACutFrameComeOutInOrderOnceItEnds) {
  // AA AA 20 02 00: a summary packet cut after two of its 32 bytes. Then
  // three whole packets (attention 1, blink 2, attention 3: 18 bytes) and
  // 13 bytes of 00, whose last is where the cut frame's checksum would be.
  // The three are held until then: the cut frame might have been whole
  // with them inside it. Its checksum is bad, so all three come out at
  // once, in order, each saying where it ended.
  const Bytes cut = {0xAA, 0xAA, 0x20, 0x02, 0x00};
  const Bytes three = Join({Packet({0x04, 1}), Packet({0x16, 2}), Packet({0x04, 3})});
  tg::Framer framer;
  EXPECT_TRUE(Frames(&framer, Join({cut, three})).empty());
  EXPECT_TRUE(Frames(&framer, Bytes(12, 0x00)).empty());
  const std::vector<Out> frames = Frames(&framer, {0x00});
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].payload, (Bytes{0x04, 1}));
  EXPECT_EQ(frames[1].payload, (Bytes{0x16, 2}));
  EXPECT_EQ(frames[2].payload, (Bytes{0x04, 3}));
  EXPECT_EQ(frames[0].end, 11u);  // 5 cut bytes and 6 of the first packet
  EXPECT_EQ(frames[2].end, 23u);
  EXPECT_EQ(framer.stats().badChecksums, 1u);
  // The next packet, after nothing open, comes out on its own last byte.
  bool ready = false;
  const Bytes next = Packet({0x04, 4});
  EXPECT_EQ(framer.feed(next.data(), next.size() - 1, &ready), next.size() - 1);
  EXPECT_FALSE(ready);
  EXPECT_EQ(framer.feed(&next.back(), 1, &ready), 1u);
  EXPECT_TRUE(ready);
}

TEST(Corruption, CutFrameWhoseChecksumHappensToHoldWinsOverThePacketsInside) {
  // AA AA 08, a blink packet (6 bytes), 00 00 and the checksum of those 8
  // bytes: a cut frame whose checksum holds by chance is, by its bytes, a
  // packet with a good checksum around the blink, so the blink is part of
  // it.
  const Bytes payload = Join({kBlink99, {0x00, 0x00}});
  const Bytes stream = Join({Packet(payload), Packet({0x04, 5})});
  tg::Framer framer;
  const std::vector<Out> frames = Frames(&framer, stream);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].payload, payload);
  EXPECT_TRUE(Decode(frames[0].payload).empty());  // no row of a known code
  EXPECT_EQ(frames[1].payload, (Bytes{0x04, 5}));
}

TEST(Corruption, PacketInsideAPacketInsideACutFrameGoesWithItsOuterPacket) {
  // A cut frame (AA AA A0 ...: 160 bytes promised, 1 given), then a whole
  // packet that holds a blink packet in an unknown row, then filler until
  // the cut frame's end: the whole packet comes out, its blink does not.
  const Bytes holder = Join({{0x90, 0x06}, kBlink99, {0x04, 0x20}});
  Bytes stream = Join({{0xAA, 0xAA, 0xA0, 0x01}, Packet(holder)});
  stream.resize(3 + 160 + 1, 0x00);
  tg::Framer framer;
  const std::vector<Out> frames = Frames(&framer, stream);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload, holder);
}

}  // namespace
