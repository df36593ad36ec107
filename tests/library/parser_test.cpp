// The library's inside, fed from bytes: framing of the headset's stream
// (and the faults a serial line brings), payload decoding, and the lines the
// two logs are made of.
#include "thinkgear/parser.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/thinkgear.h"
#include "tests/files.h"
#include "tests/stream_bytes.h"
#include "thinkgear/log.h"

namespace {

using testbytes::Bytes;
using testbytes::Join;
using testbytes::Packet;
using testfiles::ReadFile;

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

TEST(Framer, BadChecksumDropsThePacketAndTheNextOneFrames) {
  // AA AA 02 04 35 00: the checksum should be C6.
  tg::Framer framer;
  EXPECT_TRUE(FeedAll(&framer, {0xAA, 0xAA, 0x02, 0x04, 0x35, 0x00}).empty());
  EXPECT_EQ(framer.stats().badChecksums, 1u);
  EXPECT_EQ(framer.stats().frames, 0u);
  // A blink row with one bit flipped in its value: AA AA 02 16 62 86, where
  // 86 is the checksum of 16 63.
  EXPECT_TRUE(FeedAll(&framer, {0xAA, 0xAA, 0x02, 0x16, 0x62, 0x86}).empty());
  EXPECT_EQ(framer.stats().badChecksums, 2u);
  EXPECT_EQ(FeedAll(&framer, kAttention54), std::vector<Bytes>{(Bytes{0x04, 0x36})});
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

TEST(Framer, StatsCountEachFault) {
  tg::Framer framer;
  FeedAll(&framer, Join({{0x01, 0x02},                          // noise: 2 skipped
                         kAttention53,                          // good
                         {0xAA, 0xAA, 0x02, 0x04, 0x35, 0xC7},  // bad checksum (C6)
                         {0xAA, 0xAA, 0xAC},                    // bad length: 1 skipped
                         kAttention54}));                       // good
  EXPECT_EQ(framer.stats().frames, 2u);
  EXPECT_EQ(framer.stats().badChecksums, 1u);
  EXPECT_EQ(framer.stats().badLengths, 1u);
  EXPECT_EQ(framer.stats().skippedBytes, 3u);
}

TEST(Framer, ResetForgetsAPartFrame) {
  // AA AA 02 04: half a packet from a port that was then closed.
  tg::Framer framer;
  EXPECT_TRUE(FeedAll(&framer, {0xAA, 0xAA, 0x02, 0x04}).empty());
  framer.reset();
  // 35 C6 alone now are noise, not the rest of the frame.
  EXPECT_TRUE(FeedAll(&framer, {0x35, 0xC6}).empty());
  EXPECT_EQ(FeedAll(&framer, kAttention54), std::vector<Bytes>{(Bytes{0x04, 0x36})});
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

TEST(DecodePayload, EachCodeDecodesToItsValue) {
  const std::vector<tg::Value> values = Decode({
      0x02, 0xC8,              // poor signal 200
      0x04, 0x64,              // attention 100
      0x05, 0x00,              // meditation 0
      0x16, 0xFF,              // blink strength 255
      0x80, 0x02, 0x01, 0x02,  // raw 0x0102 = 258
      0x80, 0x02, 0xFF, 0xFE,  // raw -2
      0x80, 0x02, 0x80, 0x00,  // raw -32768
      0x80, 0x02, 0x7F, 0xFF,  // raw 32767
      0x83, 0x18,              // eight band powers, three bytes each
      0x00, 0x00, 0x01,        //   delta 1
      0x00, 0x01, 0x00,        //   theta 256
      0x01, 0x00, 0x00,        //   low alpha 65536
      0xFF, 0xFF, 0xFF,        //   high alpha 16777215 (not negative)
      0x12, 0x34, 0x56,        //   low beta 0x123456
      0x80, 0x00, 0x00,        //   high beta 8388608 (not negative)
      0x00, 0xAB, 0xCD,        //   low gamma 0xABCD
      0x00, 0x00, 0x00,        //   mid gamma 0
  });
  ASSERT_EQ(values.size(), 16u);
  EXPECT_TRUE(IsValue(values[0], TG_DATA_POOR_SIGNAL, 200));
  EXPECT_TRUE(IsValue(values[1], TG_DATA_ATTENTION, 100));
  EXPECT_TRUE(IsValue(values[2], TG_DATA_MEDITATION, 0));
  EXPECT_TRUE(IsValue(values[3], TG_DATA_BLINK_STRENGTH, 255));
  EXPECT_TRUE(IsValue(values[4], TG_DATA_RAW, 258));
  EXPECT_TRUE(IsValue(values[5], TG_DATA_RAW, -2));
  EXPECT_TRUE(IsValue(values[6], TG_DATA_RAW, -32768));
  EXPECT_TRUE(IsValue(values[7], TG_DATA_RAW, 32767));
  EXPECT_TRUE(IsValue(values[8], TG_DATA_DELTA, 1));
  EXPECT_TRUE(IsValue(values[9], TG_DATA_THETA, 256));
  EXPECT_TRUE(IsValue(values[10], TG_DATA_ALPHA1, 65536));
  EXPECT_TRUE(IsValue(values[11], TG_DATA_ALPHA2, 16777215));
  EXPECT_TRUE(IsValue(values[12], TG_DATA_BETA1, 0x123456));
  EXPECT_TRUE(IsValue(values[13], TG_DATA_BETA2, 8388608));
  EXPECT_TRUE(IsValue(values[14], TG_DATA_GAMMA1, 0xABCD));
  EXPECT_TRUE(IsValue(values[15], TG_DATA_GAMMA2, 0));
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

// ---------------------------------------------------------------------------
// Log lines

class LogLines : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nictate-loglines-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    path = pattern;
    ASSERT_TRUE(tg::LogOpen(&log, path.c_str()));
  }
  void TearDown() override {
    if (log.file != nullptr) {
      fclose(log.file);
    }
    unlink(path.c_str());
  }
  std::string path;
  tg::LogFile log = {};
};

TEST_F(LogLines, StreamBytesOfOneReadGoThirtyTwoToALineUnderOneTime) {
  Bytes bytes(70);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(0xAA + i);  // wraps past FF to 00
  }
  tg::LogStreamBytes(&log, bytes.data(), bytes.size());
  // Handed to the OS already: read through another descriptor.
  const std::string text = ReadFile(path);
  char stamp[3][32];
  char rest[3][128];
  const char *p = text.c_str();
  for (int line = 0; line < 3; ++line) {
    int used = 0;
    ASSERT_EQ(sscanf(p, "%31[0-9.] %127[^\n]\n%n", stamp[line], rest[line], &used), 2) << text;
    p += used;
  }
  EXPECT_EQ(*p, '\0');
  EXPECT_STREQ(stamp[0], stamp[1]);
  EXPECT_STREQ(stamp[1], stamp[2]);
  EXPECT_EQ(std::string(rest[0]).substr(0, 18), "AA AB AC AD AE AF ");
  EXPECT_EQ(std::string(rest[0]).substr(3 * 31), "C9");  // 32 bytes: AA..C9
  EXPECT_EQ(std::string(rest[2]), "EA EB EC ED EE EF");  // the last six
  // "<seconds>.<six digits>"
  unsigned long long seconds = 0;
  char micros[8] = "";
  ASSERT_EQ(sscanf(stamp[0], "%llu.%7s", &seconds, micros), 2);
  EXPECT_EQ(std::string(micros).size(), 6u);
  EXPECT_GT(seconds, 1600000000ull);
}

TEST_F(LogLines, DataLinesNameTheValueInWholeNumbers) {
  const struct {
    int dataType;
    float value;
    const char *text;
  } lines[] = {
      {TG_DATA_POOR_SIGNAL, 200, "POOR_SIGNAL 200"},
      {TG_DATA_ATTENTION, 53, "ATTENTION 53"},
      {TG_DATA_MEDITATION, 0, "MEDITATION 0"},
      {TG_DATA_RAW, -32768, "RAW -32768"},
      {TG_DATA_DELTA, 16777215, "DELTA 16777215"},
      {TG_DATA_THETA, 1, "THETA 1"},
      {TG_DATA_ALPHA1, 2, "ALPHA1 2"},
      {TG_DATA_ALPHA2, 3, "ALPHA2 3"},
      {TG_DATA_BETA1, 4, "BETA1 4"},
      {TG_DATA_BETA2, 5, "BETA2 5"},
      {TG_DATA_GAMMA1, 6, "GAMMA1 6"},
      {TG_DATA_GAMMA2, 7, "GAMMA2 7"},
      {TG_DATA_BLINK_STRENGTH, 99, "BLINK_STRENGTH 99"},
  };
  for (const auto &line : lines) {
    tg::LogDataValue(&log, line.dataType, line.value);
  }
  tg::LogDataValue(&log, 13, 1);  // no name: no line
  const std::string text = ReadFile(path);
  size_t at = 0;
  for (const auto &line : lines) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string got = text.substr(at, end - at);
    const size_t space = got.find(' ');
    EXPECT_EQ(got.substr(space + 1), line.text);
    EXPECT_EQ(got.find_first_not_of("0123456789."), space) << got;
    at = end + 1;
  }
  EXPECT_EQ(at, text.size());
}

}  // namespace
