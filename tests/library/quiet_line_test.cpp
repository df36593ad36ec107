// Packets behind a cut frame: held while that frame might be a packet around
// them, and let out once the line has been quiet inside it, as a device
// sends a packet's bytes back to back.
#include "tests/library/fixture.h"
#include "thinkgear/parser.h"

namespace {

// Hands out every frame fed bytes make ready; their payloads.
std::vector<Bytes> Feed(tg::Framer *framer, const Bytes &bytes) {
  std::vector<Bytes> frames;
  size_t at = 0;
  for (;;) {
    bool ready = false;
    at += framer->feed(bytes.data() + at, bytes.size() - at, &ready);
    if (!ready) {
      return frames;
    }
    const tg::Frame &f = framer->frame();
    frames.push_back(Bytes(f.payload, f.payload + f.length));
  }
}

TEST(QuietLine, PacketsHeldInACutFrameComeOutAndAFrameBegunAfterThemStaysOpen) {
  tg::Framer framer;
  // AA AA 20 04 35: a frame of 32 bytes of which two came (a dropout), then
  // a whole blink packet of 99, then the first half of an attention packet
  // of 54 (AA AA 02 04).
  EXPECT_TRUE(
      Feed(&framer, Join({{0xAA, 0xAA, 0x20, 0x04, 0x35}, Blink(99), {0xAA, 0xAA, 0x02, 0x04}}))
          .empty());
  EXPECT_TRUE(framer.holding());
  framer.lineQuiet();
  EXPECT_EQ(Feed(&framer, {}), std::vector<Bytes>{(Bytes{0x16, 0x63})});
  EXPECT_FALSE(framer.holding());
  EXPECT_EQ(framer.stats().quietFrames, 1u);
  // The packet under way when the line went quiet still frames: 36 C5.
  EXPECT_EQ(Feed(&framer, {0x36, 0xC5}), std::vector<Bytes>{(Bytes{0x04, 0x36})});
  // With nothing held, a quiet line changes nothing.
  EXPECT_TRUE(Feed(&framer, {0xAA, 0xAA, 0x02, 0x04}).empty());
  framer.lineQuiet();
  EXPECT_EQ(Feed(&framer, {0x37, 0xC4}), std::vector<Bytes>{(Bytes{0x04, 0x37})});
}

TEST_F(Library, ABlinkBehindACutFrameIsReadOnceTheLineIsQuiet) {
  const int id = Connected();
  // The cut frame promises 32 bytes, and no more come: the blink behind it
  // is read by the same read, not held until more bytes make up the 32.
  ASSERT_TRUE(headset.Send(Join({{0xAA, 0xAA, 0x20, 0x04, 0x35}, Blink(99)})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 99.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
}

}  // namespace
