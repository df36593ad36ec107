// Blinks through the library's operations: those it finds in the raw wave
// count as code 37 as the device's own blink rows do, the device's rows win
// where it sends them, and nothing that was waiting when detection was
// switched on reports a blink.
#include <algorithm>
#include <vector>

#include "testkit/packets.h"
#include "tests/library/fixture.h"
#include "tools/eeg.h"
#include "tools/recording.h"

namespace {

const int kRate = 512;

// Packets one after another.
struct Packets {
  Bytes bytes;
  std::vector<size_t> ends;  // where each packet ends in bytes

  void Add(const Bytes &packet) {
    testkit::Append(&bytes, packet);
    ends.push_back(bytes.size());
  }
};

Packets operator+(Packets a, const Packets &b) {
  for (size_t i = 0; i < b.ends.size(); ++i) {
    a.Add(Bytes(b.bytes.begin() + (i == 0 ? 0 : b.ends[i - 1]), b.bytes.begin() + b.ends[i]));
  }
  return a;
}

Packets One(const Bytes &packet) {
  Packets p;
  p.Add(packet);
  return p;
}

// A forehead on the library's time: raw samples, with a summary row of the
// contact (poorSignal: 0 good, 200 off the head) at the start of each second.
class Forehead {
 public:
  Forehead() : eeg_(11, tools::EegSettings()) {}

  // The next `seconds` of the headset's packets, with a blink of the given
  // size starting after `blinkAt` seconds of them (none when negative).
  Packets Next(double seconds, double blinkAt = -1, double microvolts = 250) {
    Packets packets;
    const int64_t end = eeg_.index() + static_cast<int64_t>(seconds * kRate);
    const int64_t blink = eeg_.index() + static_cast<int64_t>(blinkAt * kRate);
    while (eeg_.index() < end) {
      if (blinkAt >= 0 && eeg_.index() == blink) {
        tools::BlinkShape shape;
        shape.microvolts = microvolts;
        eeg_.blink(shape);
      }
      if (eeg_.index() % kRate == 0) {
        packets.Add(Packet({0x02, poorSignal}));
      }
      packets.Add(testkit::Raw(tools::RawUnits(eeg_.next())));
    }
    return packets;
  }

  uint8_t poorSignal = 0;

 private:
  tools::SyntheticEeg eeg_;
};

class LibraryBlinks : public Library {
 protected:
  // Sends the packets and reads them a packet a read, after `waiting`
  // packets sent already; returns the blink strength of each read that had
  // one.
  std::vector<float> Read(int id, const Packets &packets, size_t waiting = 0) {
    std::vector<float> blinks;
    auto read = [&](size_t count) {
      for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(TG_ReadPackets(id, 1), 1);
        if (TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH) != 0) {
          blinks.push_back(TG_GetValue(id, TG_DATA_BLINK_STRENGTH));
        }
      }
    };
    read(waiting);
    // Some 2 KB at a time, so that the terminal never fills.
    size_t from = 0;
    for (size_t packet = 0; packet < packets.ends.size();) {
      const size_t first = packet;
      while (packet < packets.ends.size() && packets.ends[packet] - from <= 2048) {
        ++packet;
      }
      const size_t to = packets.ends[packet - 1];
      EXPECT_TRUE(headset.Send(Bytes(packets.bytes.begin() + from, packets.bytes.begin() + to)));
      read(packet - first);
      from = to;
    }
    return blinks;
  }

  // Two seconds of the forehead with a blink 1 s in, and the device's row of
  // it `rowAfter` seconds after the blink began. (One statement a slot: the
  // operands of + are taken in no set order.)
  Packets BlinkAndRow(double rowAfter, int strength) {
    Packets packets = forehead.Next(1 + rowAfter, 1.0);
    packets.Add(Blink(strength));
    return packets + forehead.Next(1 - rowAfter);
  }

  // The data log's blink strengths.
  std::vector<std::string> LoggedBlinks(const std::string &log) {
    std::vector<std::string> values;
    for (const std::string &line : testkit::Lines(testkit::ReadFile(log))) {
      const size_t at = line.find(" BLINK_STRENGTH ");
      if (at != std::string::npos) {
        values.push_back(line.substr(at + 16));
      }
    }
    return values;
  }

  Forehead forehead;
};

TEST_F(LibraryBlinks, ABlinkInTheRawWaveIsCode37InTheReadThatCompletesItAndInTheDataLog) {
  const int id = NewId();
  const std::string log = dir.path() + "/data.txt";
  ASSERT_EQ(TG_SetDataLog(id, log.c_str()), 0);
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  Packets packets = forehead.Next(2, 1.0);
  packets = packets + forehead.Next(2, 0.5, 400);
  const std::vector<float> blinks = Read(id, packets + forehead.Next(1));
  ASSERT_EQ(blinks.size(), 2u);
  EXPECT_NEAR(blinks[0], 125, 25);  // half the size in microvolts
  EXPECT_NEAR(blinks[1], 200, 40);
  EXPECT_EQ(LoggedBlinks(log),
            (std::vector<std::string>{std::to_string(static_cast<int>(blinks[0])),
                                      std::to_string(static_cast<int>(blinks[1]))}));
}

TEST_F(LibraryBlinks, OnlyWhileDetectionIsOnAndAfterItHasLearntTheSignal) {
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  EXPECT_TRUE(Read(id, forehead.Next(3, 1.0)).empty());
  // Switched on in a running stream: a blink within its first 0.25 s is
  // not reported, one after it is.
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  EXPECT_TRUE(Read(id, forehead.Next(1, 0.0)).empty());
  EXPECT_EQ(Read(id, forehead.Next(2, 0.5)).size(), 1u);
  ASSERT_EQ(TG_EnableBlinkDetection(id, 0), 0);
  EXPECT_TRUE(Read(id, forehead.Next(2, 0.5)).empty());
}

// A headset that sends the raw wave and blink rows of its own: each blink is
// reported once, by the row or by the wave, whichever tells of it first; the
// device's rows win only once three blinks in a row were told by both.
TEST_F(LibraryBlinks, ABlinkBothTheWaveAndARowTellOfIsReportedOnce) {
  const int id = Connected();
  // The row 0.4 s after the blink began, when the wave has told of it.
  EXPECT_EQ(Read(id, BlinkAndRow(0.4, 77)).size(), 1u);
  // The row 50 ms after it began, before the wave could.
  EXPECT_EQ(Read(id, BlinkAndRow(0.05, 78)), std::vector<float>{78});
  EXPECT_EQ(Read(id, BlinkAndRow(0.4, 79)).size(), 1u);
  // Three agreed: from now on only the device's rows count.
  EXPECT_TRUE(Read(id, forehead.Next(2, 1.0)).empty());
  EXPECT_EQ(Read(id, One(Blink(80)) + forehead.Next(1)), std::vector<float>{80});
}

// A line that drops bytes can forge a blink row on a headset that sends only
// the raw wave: it reports, but hands nothing to the device.
TEST_F(LibraryBlinks, AStrayBlinkRowLeavesTheWaveDetectionOn) {
  const int id = Connected();
  EXPECT_EQ(Read(id, forehead.Next(2, 1.0)).size(), 1u);
  EXPECT_EQ(Read(id, One(Blink(90)) + forehead.Next(2, 1.0)).size(), 2u);
  EXPECT_EQ(Read(id, forehead.Next(2, 1.0)).size(), 1u);
}

// The sensor off the head: switching detection on between two summary
// packets does not forget it, until the contact is good again.
TEST_F(LibraryBlinks, PoorContactHoldsAcrossSwitchingDetectionOn) {
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  forehead.poorSignal = 200;
  EXPECT_TRUE(Read(id, forehead.Next(1.01)).empty());
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  EXPECT_TRUE(Read(id, forehead.Next(0.98, 0.4)).empty());
  forehead.poorSignal = 0;
  EXPECT_EQ(Read(id, forehead.Next(2, 1.0)).size(), 1u);
}

TEST_F(LibraryBlinks, WhatWaitedWhenDetectionWasSwitchedOnIsLoggedButReportsNoBlink) {
  const int id = NewId();
  const std::string log = dir.path() + "/data.txt";
  ASSERT_EQ(TG_SetDataLog(id, log.c_str()), 0);
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  // A raw-wave blink waits, some of the wave in the library (read by a read
  // of one packet), the blink in the port.
  const Packets waiting = One(Attention(40)) + forehead.Next(1.5, 1.0);
  ASSERT_TRUE(headset.Send(waiting.bytes));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  EXPECT_TRUE(Read(id, Packets(), waiting.ends.size() - 1).empty());
  // A blink row waits.
  ASSERT_EQ(TG_EnableBlinkDetection(id, 0), 0);
  ASSERT_TRUE(headset.Send(Join({Attention(41), Blink(60)})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  EXPECT_TRUE(Read(id, Packets(), 1).empty());
  // What comes after counts, also where detection is switched on again
  // while it is on already.
  EXPECT_EQ(Read(id, One(Blink(61))), std::vector<float>{61});
  ASSERT_TRUE(headset.Send(Blink(62)));
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  EXPECT_EQ(Read(id, Packets(), 1), std::vector<float>{62});
  EXPECT_EQ(LoggedBlinks(log), (std::vector<std::string>{"60", "61", "62"}));
}

}  // namespace
