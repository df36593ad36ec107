// Values: what each row code gives, what the status of a value counts, and
// the blinks that count only while detection is on.
#include "tests/library/fixture.h"

namespace {

using LibraryValues = Library;

TEST_F(LibraryValues, ValueIsZeroBeforeAnyArrived) {
  const int id = Connected();
  for (int code = TG_DATA_POOR_SIGNAL; code <= TG_DATA_GAMMA2; ++code) {
    EXPECT_EQ(TG_GetValue(id, code), 0.0f) << code;
    EXPECT_EQ(TG_GetValueStatus(id, code), 0) << code;
  }
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 0.0f);
  // Codes the library does not know.
  for (int code : {0, 13, 36, 38, -1}) {
    EXPECT_EQ(TG_GetValue(id, code), 0.0f) << code;
    EXPECT_EQ(TG_GetValueStatus(id, code), 0) << code;
  }
}

TEST_F(LibraryValues, EachCodeDecodesToItsValue) {
  const int id = Connected();
  ASSERT_TRUE(headset.Send(Packet({
      0x02, 0x33,              // poor signal 51
      0x04, 0x35,              // attention 53
      0x05, 0x28,              // meditation 40
      0x16, 0x63,              // blink strength 99
      0x80, 0x02, 0xFC, 0x18,  // raw -1000
      0x83, 0x18,              // band powers:
      0x00, 0x00, 0x01,        //   delta 1
      0x00, 0x01, 0x00,        //   theta 256
      0x01, 0x00, 0x00,        //   low alpha 65536
      0xFF, 0xFF, 0xFF,        //   high alpha 16777215
      0x12, 0x34, 0x56,        //   low beta 1193046
      0x80, 0x00, 0x00,        //   high beta 8388608
      0x00, 0xAB, 0xCD,        //   low gamma 43981
      0x00, 0x00, 0x07,        //   mid gamma 7
  })));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  const struct {
    int code;
    float value;
  } expected[] = {
      {TG_DATA_POOR_SIGNAL, 51},    {TG_DATA_ATTENTION, 53},    {TG_DATA_MEDITATION, 40},
      {TG_DATA_RAW, -1000},         {TG_DATA_DELTA, 1},         {TG_DATA_THETA, 256},
      {TG_DATA_ALPHA1, 65536},      {TG_DATA_ALPHA2, 16777215}, {TG_DATA_BETA1, 1193046},
      {TG_DATA_BETA2, 8388608},     {TG_DATA_GAMMA1, 43981},    {TG_DATA_GAMMA2, 7},
      {TG_DATA_BLINK_STRENGTH, 99},
  };
  for (const auto &e : expected) {
    EXPECT_EQ(TG_GetValue(id, e.code), e.value) << e.code;
    EXPECT_EQ(TG_GetValueStatus(id, e.code), 1) << e.code;
  }
}

TEST_F(LibraryValues, StatusCountsTheUpdatesOfTheLatestRead) {
  const int id = Connected();
  // A packet without a blink: 0 for blink strength.
  ASSERT_TRUE(headset.Send(Attention(30)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  // One blink: exactly one; attention not new this read.
  ASSERT_TRUE(headset.Send(Blink(120)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 30.0f);
  // Two attention rows in one packet count twice; the later value stands.
  ASSERT_TRUE(headset.Send(Packet({0x04, 31, 0x04, 32})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 2);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 32.0f);
  // A value dropped as out of range is no update: attention 101.
  ASSERT_TRUE(headset.Send(Packet({0x04, 101, 0x05, 50})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 32.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_MEDITATION), 1);
}

TEST_F(LibraryValues, BlinkRowsCountOnlyWhileDetectionIsOn) {
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  // Off at the start.
  ASSERT_TRUE(headset.Send(Blink(50)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 0.0f);
  // On.
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  ASSERT_TRUE(headset.Send(Blink(60)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 60.0f);
  // Off again: ignored, the last value stays.
  ASSERT_EQ(TG_EnableBlinkDetection(id, 0), 0);
  ASSERT_TRUE(headset.Send(Blink(70)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 60.0f);
  // Neither on nor off.
  EXPECT_LT(TG_EnableBlinkDetection(id, 2), 0);
  EXPECT_LT(TG_EnableBlinkDetection(id, -1), 0);
}

}  // namespace
