// The pieces the tools share (tools/*.h): the headset's packets, byte for
// byte and as the library's own parser frames them, the reading of the
// library's stream log, as the library writes it, and the resampling of a
// recording to the raw wave's rate.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "testkit/files.h"
#include "thinkgear/log.h"
#include "thinkgear/parser.h"
#include "tools/packet.h"
#include "tools/recording.h"
#include "tools/stream_log.h"

namespace {

std::vector<uint8_t> Encode(const tools::Payload &payload) {
  uint8_t packet[tools::kMaxPacketLength];
  const size_t length = tools::EncodePacket(payload, packet);
  return std::vector<uint8_t>(packet, packet + length);
}

// ---------------------------------------------------------------------------
// Packets

TEST(ToolsPacket, EncodesTheHeadsetsBytes) {
  tools::Payload payload;
  // No rows: sync, sync, length 0, checksum ~0.
  EXPECT_EQ(Encode(payload), (std::vector<uint8_t>{0xAA, 0xAA, 0x00, 0xFF}));

  // Attention 53: code 04, value 0x35; the sum 0x39 inverted is 0xC6.
  ASSERT_TRUE(tools::AppendByteRow(&payload, tools::kRowAttention, 53));
  EXPECT_EQ(Encode(payload), (std::vector<uint8_t>{0xAA, 0xAA, 0x02, 0x04, 0x35, 0xC6}));

  // Raw -2: code 80, length 2, FF FE big-endian; sum 0x27F, low byte 0x7F
  // inverted is 0x80.
  payload = tools::Payload();
  ASSERT_TRUE(tools::AppendRawSample(&payload, -2));
  EXPECT_EQ(Encode(payload),
            (std::vector<uint8_t>{0xAA, 0xAA, 0x04, 0x80, 0x02, 0xFF, 0xFE, 0x80}));

  // Raw -32768 (80 00), then band powers clamped to 24 bits: 1, 0x123456,
  // 0x1000000 as FF FF FF, and zeros.
  payload = tools::Payload();
  const uint32_t bands[tools::kBandCount] = {1, 0x123456, 0x1000000};
  ASSERT_TRUE(tools::AppendRawSample(&payload, -32768));
  ASSERT_TRUE(tools::AppendBandPowers(&payload, bands));
  const std::vector<uint8_t> packet = Encode(payload);
  const std::vector<uint8_t> rows = {0x80, 0x02, 0x80, 0x00, 0x83, 0x18, 0x00, 0x00,
                                     0x01, 0x12, 0x34, 0x56, 0xFF, 0xFF, 0xFF, 0x00};
  ASSERT_EQ(packet.size(), 3 + 4 + 26 + 1u);
  EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 3, packet.begin() + 3 + rows.size()), rows);

  // Rows of the wrong kind for their helper are refused.
  EXPECT_FALSE(tools::AppendByteRow(&payload, tools::kRowRawSample, 1));
  EXPECT_FALSE(tools::AppendLongRow(&payload, tools::kRowAttention, nullptr, 0));
}

TEST(ToolsPacket, FullPayloadRefusesARowAndStaysAsItWas) {
  tools::Payload payload;
  while (tools::AppendByteRow(&payload, tools::kRowAttention, 1)) {
  }
  EXPECT_EQ(payload.length, 168u);  // 84 two-byte rows; a byte is left
  EXPECT_FALSE(tools::AppendRawSample(&payload, 1));
  EXPECT_EQ(payload.length, 168u);
  // The longest packet the stream allows still frames.
  payload.bytes[payload.length++] = 0x00;
  const std::vector<uint8_t> packet = Encode(payload);
  ASSERT_EQ(packet.size(), tools::kMaxPacketLength);
  tg::Framer framer;
  bool ready = false;
  framer.feed(packet.data(), packet.size(), &ready);
  EXPECT_TRUE(ready);
  EXPECT_EQ(framer.frame().length, 169u);
}

// ---------------------------------------------------------------------------
// Stream logs

TEST(ToolsStreamLog, ReadsBackWhatTheLibraryWrites) {
  testkit::TempDir dir;
  const std::string path = dir.path() + "/streamLog.txt";
  tg::LogFile log = {};
  ASSERT_TRUE(tg::LogOpen(&log, path.c_str()));
  std::vector<uint8_t> first(70);  // three lines of one read: 32 + 32 + 6
  for (size_t i = 0; i < first.size(); ++i) {
    first[i] = static_cast<uint8_t>(i * 37);
  }
  tg::LogStreamBytes(&log, first.data(), first.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::vector<uint8_t> second = {0xAA, 0xAA, 0x02, 0x16, 0x78, 0x71};
  tg::LogStreamBytes(&log, second.data(), second.size());
  std::fclose(log.file);

  // The first read on three lines under one time, 32 bytes to a full line,
  // the second on one.
  const std::vector<std::string> lines = testkit::Lines(testkit::ReadFile(path));
  ASSERT_EQ(lines.size(), 4u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t space = lines[i].find(' ');
    EXPECT_EQ(lines[i].size() - space, 3u * (i < 2 ? 32 : 6)) << lines[i];
    EXPECT_EQ(lines[i].compare(0, space, lines[0], 0, space) == 0, i < 3) << lines[i];
  }
  std::vector<tools::StreamChunk> chunks;
  std::string error;
  ASSERT_TRUE(tools::ReadStreamLog(path, &chunks, &error)) << error;
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].bytes, first);
  EXPECT_EQ(chunks[1].bytes, second);
  EXPECT_GE(chunks[1].micros - chunks[0].micros, 5000);
}

TEST(ToolsStreamLog, SkipsNotesBlankAndCutLinesAndNamesTheFirstBadLine) {
  testkit::TempDir dir;
  std::vector<tools::StreamChunk> chunks;
  std::string error;
  // A note the library writes after lines it could not write, a blank line,
  // a Windows line end and lower-case hex.
  const std::string good = dir.Write("good.txt",
                                     "1700000000.000001 AA aa 02\r\n"
                                     "\n"
                                     "1700000000.500000 # 3 lines lost before this one\n"
                                     "1700000000.500000 04 35 C6");
  ASSERT_TRUE(tools::ReadStreamLog(good, &chunks, &error)) << error;
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].micros, 1700000000000001LL);
  EXPECT_EQ(chunks[0].bytes, (std::vector<uint8_t>{0xAA, 0xAA, 0x02}));
  EXPECT_EQ(chunks[1].bytes, (std::vector<uint8_t>{0x04, 0x35, 0xC6}));

  const std::string bad = dir.Write("bad.txt",
                                    "1700000000.000001 AA AA\n"
                                    "1700000000.000002 AA AAA\n");
  EXPECT_FALSE(tools::ReadStreamLog(bad, &chunks, &error));
  EXPECT_NE(error.find("bad.txt:2:"), std::string::npos) << error;

  // A line the library could write only in part (the disk filled in the
  // middle of its second byte) and the note it put after it once the disk
  // had room: the cut line is left out, the bytes around it are replayed.
  // The same cut at the very end of the file, where no note came.
  const std::string cut = dir.Write("cut.txt",
                                    "1700000000.000001 AA AA\n"
                                    "1700000000.100000 02 0\n"
                                    "1700000000.900000 # 2 lines lost before this one\n"
                                    "1700000001.000000 AA AA 02 16 63 86\n"
                                    "1700000001.100000 AA A");
  ASSERT_TRUE(tools::ReadStreamLog(cut, &chunks, &error)) << error;
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].bytes, (std::vector<uint8_t>{0xAA, 0xAA}));
  EXPECT_EQ(chunks[1].bytes, (std::vector<uint8_t>{0xAA, 0xAA, 0x02, 0x16, 0x63, 0x86}));

  const std::string empty = dir.Write("empty.txt", "");
  EXPECT_FALSE(tools::ReadStreamLog(empty, &chunks, &error));
  EXPECT_FALSE(tools::ReadStreamLog(dir.path() + "/missing.txt", &chunks, &error));
}

// ---------------------------------------------------------------------------
// Recordings

TEST(ToolsRecording, ResamplingKeepsTheLevelAndTheWaveAndStartsAtTheFirstSample) {
  std::vector<double> in;
  for (int i = 0; i < 256 * 4; ++i) {
    in.push_back(800 + 100 * std::sin(2 * M_PI * 5 * i / 256.0));
  }
  tools::Resampler resampler(256);
  std::vector<double> out;
  for (const double sample : in) {
    resampler.add(sample, &out);
  }
  resampler.finish(&out);
  ASSERT_EQ(out.size(), 2 * in.size() - 1);
  EXPECT_NEAR(out[0], 800, 1);
  for (size_t m = 64; m + 64 < out.size(); ++m) {
    ASSERT_NEAR(out[m], 800 + 100 * std::sin(2 * M_PI * 5 * m / 512.0), 0.5) << m;
  }
  EXPECT_EQ(tools::RawUnits(800), 3641);
  EXPECT_EQ(tools::RawUnits(1e9), 32767);
  EXPECT_EQ(tools::RawUnits(-1e9), -32768);
}

}  // namespace
