// Reading packets: what a read returns for whole, broken, split, dense and
// missing packets, and the bytes it leaves for the next read.
#include <time.h>

#include <thread>

#include "testkit/clock.h"
#include "tests/library/fixture.h"

namespace {

using LibraryRead = Library;

TEST_F(LibraryRead, BadChecksumReadsAsZeroAndGivesNoValue) {
  const int id = Connected();
  // AA AA 02 16 63 00: a blink of 99 whose checksum should be 86. Bytes
  // came, but no packet: 0 once no more come within the read timeout.
  ASSERT_TRUE(headset.Send({0xAA, 0xAA, 0x02, 0x16, 0x63, 0x00}));
  EXPECT_EQ(TG_ReadPackets(id, 1), 0);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 0.0f);
  ASSERT_TRUE(headset.Send(Blink(99)));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 99.0f);
}

TEST_F(LibraryRead, SilenceIsMinusTwoAfterTheReadTimeout) {
  const int id = Connected();
  ASSERT_TRUE(headset.Send(Attention(40)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  ASSERT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 1);
  // The read waits in the OS for 2000 ms with no byte, not less.
  const int64_t start = testkit::NowNs();
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_NO_BYTES);
  EXPECT_GE(testkit::SecondsSince(start), 1.99);
  // Nothing new, and the last value stays.
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 40.0f);
}

TEST_F(LibraryRead, BytesAfterTheNthPacketStayForTheNextRead) {
  const int id = Connected();
  // Two packets in one write, read one at a time with nothing written in
  // between: the second comes from what the first read left over.
  ASSERT_TRUE(headset.Send(Join({Attention(10), Attention(20)})));
  // A request of no packets reads nothing and returns at once.
  EXPECT_EQ(TG_ReadPackets(id, 0), 0);
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 10.0f);
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 20.0f);
  // Five in one write: two, then three.
  ASSERT_TRUE(headset.Send(
      Join({Attention(1), Blink(2), Attention(3), Blink(4), Packet({0x04, 5, 0x16, 6})})));
  EXPECT_EQ(TG_ReadPackets(id, 2), 2);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 2.0f);
  EXPECT_EQ(TG_ReadPackets(id, 3), 3);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 5.0f);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 6.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 2);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 2);
  // Nor does it give a value anew.
  EXPECT_EQ(TG_ReadPackets(id, 0), 0);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
}

TEST_F(LibraryRead, ConnectingAnewForgetsWhatTheOldPortLeft) {
  const int id = Connected();
  // A whole packet left over and half of one (AA AA 02 04) from the old
  // port; the new port's bytes (35 C6 ...) would complete that half.
  ASSERT_TRUE(headset.Send(Join({Attention(10), Attention(20), {0xAA, 0xAA, 0x02, 0x04}})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  testkit::PtyHeadset other;
  ASSERT_TRUE(other.Open());
  ASSERT_EQ(TG_Connect(id, other.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_TRUE(other.Send(Join({{0x35, 0xC6}, Attention(30)})));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 30.0f);
}

TEST_F(LibraryRead, PacketArrivingByteByByteReadsAsOne) {
  const int id = Connected();
  // Garbage first (00 13 55), then the packet a byte at a time, as a slow
  // line brings it: the read waits for the rest.
  const Bytes bytes = Join({{0x00, 0x13, 0x55}, Attention(64)});
  std::thread device([&] {
    for (uint8_t byte : bytes) {
      struct timespec pause = {0, 3 * 1000 * 1000};
      nanosleep(&pause, nullptr);
      headset.Send({byte});
    }
  });
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  device.join();
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 64.0f);
}

TEST_F(LibraryRead, DenseStreamGivesEveryPacketOnceAndInOrder) {
  const int id = Connected();
  // The raw wave as a 57600-baud headset sends it: a packet every 1/512 s,
  // each its own write. Such a stream is read in batches (the reads are
  // spaced apart); every packet must still come out, one per read, in order.
  const int kPackets = 512;
  std::thread device([&] {
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < kPackets; ++i) {
      next.tv_nsec += 1953125;
      if (next.tv_nsec >= 1000000000) {
        next.tv_nsec -= 1000000000;
        ++next.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      headset.Send(testkit::Raw(static_cast<int16_t>(i * 37 - 9000)));
    }
  });
  for (int i = 0; i < kPackets; ++i) {
    ASSERT_EQ(TG_ReadPackets(id, 1), 1) << "packet " << i;
    ASSERT_EQ(TG_GetValueStatus(id, TG_DATA_RAW), 1) << "packet " << i;
    ASSERT_EQ(TG_GetValue(id, TG_DATA_RAW), static_cast<float>(i * 37 - 9000)) << "packet " << i;
  }
  device.join();
  // Then a blink alone, as the sparse stream brings it.
  ASSERT_TRUE(headset.Send(Blink(77)));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 77.0f);
}

TEST_F(LibraryRead, ABlinkBehindACutFrameIsReadOnceTheLineIsQuiet) {
  const int id = Connected();
  // AA AA 20 04 35 promises 32 bytes, and no more come: the blink behind it
  // is read by the same read, not held until more bytes make up the 32.
  ASSERT_TRUE(headset.Send(Join({{0xAA, 0xAA, 0x20, 0x04, 0x35}, Blink(99)})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 99.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
}

}  // namespace
