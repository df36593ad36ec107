// The device library called from many threads at once, through its public
// operations, with pseudo-terminals standing in for headsets: ids are
// handed out once, calls on one id take turns, and a read waiting on one id
// holds up no call on another. CI runs these under ThreadSanitizer too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/library/fixture.h"

namespace {

using testkit::PtyHeadset;
using LibraryThreads = Library;

// Holds threads back until all are there, so their calls overlap.
class StartLine {
 public:
  explicit StartLine(int threads) : waiting_(threads) {}
  void Arrive() {
    --waiting_;
    while (waiting_.load() > 0) {
      std::this_thread::yield();
    }
  }

 private:
  std::atomic<int> waiting_;
};

TEST_F(LibraryThreads, IdsAreHandedOutOnceWhateverTheThreadsCalling) {
  // In child processes, each with the table as this process left it: 32
  // threads take ids until none is left; no id may come out twice. Many
  // rounds, as a race shows in some runs only.
  for (int round = 0; round < 10; ++round) {
    const int status = InChild([] {
      const int kThreads = 32;
      std::vector<std::vector<int>> taken(kThreads);
      StartLine start(kThreads);
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          start.Arrive();
          for (int id; (id = TG_GetNewConnectionId()) >= 0;) {
            taken[t].push_back(id);
          }
        });
      }
      for (std::thread &thread : threads) {
        thread.join();
      }
      std::set<int> distinct;
      size_t total = 0;
      for (const std::vector<int> &ids : taken) {
        distinct.insert(ids.begin(), ids.end());
        total += ids.size();
      }
      return distinct.size() == total && total > 0 ? 0 : 1;
    });
    ASSERT_EQ(status, 0) << "round " << round << ": an id handed out twice (1), or 200 + a signal";
  }
}

TEST_F(LibraryThreads, FourThreadsReadingOneIdShareItsPacketsEachOnce) {
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  const int kPackets = 4000;
  std::atomic<int> framed(0);
  std::atomic<int> bad(0);
  std::atomic<int> reading(4);
  StartLine start(5);
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      start.Arrive();
      for (; framed.load() < kPackets; std::this_thread::yield()) {
        const int got = TG_ReadPackets(id, 1);
        if (got > 0) {
          framed += got;
          const float value = TG_GetValue(id, TG_DATA_ATTENTION);
          bad += value < 1 || value > 100 ? 1 : 0;
        } else if (got != TG_READ_NO_BYTES && got != 0) {
          ++bad;
        }
      }
      --reading;
    });
  }
  start.Arrive();
  // In writes of one to four packets, so that reads both wait and find
  // several ready.
  int sent = 0;
  while (sent < kPackets) {
    Bytes burst;
    for (int n = 0; n <= sent % 4; ++n, ++sent) {
      testkit::Append(&burst, Attention(1 + sent % 100));
    }
    ASSERT_TRUE(headset.Send(burst));
    if (sent % 64 == 0) {
      std::this_thread::yield();
    }
  }
  // Readers still waiting for bytes once all are framed are woken by more.
  for (; reading.load() > 0; ++sent) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(headset.Send(Attention(1)));
  }
  for (std::thread &reader : readers) {
    reader.join();
  }
  // Each packet framed once: all that were needed, none more than sent.
  EXPECT_GE(framed.load(), kPackets);
  EXPECT_LE(framed.load(), sent);
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(LibraryThreads, ConnectingAnIdWhileAnotherThreadReadsItGivesValidResultsOnly) {
  PtyHeadset &first = headset;
  PtyHeadset second;
  ASSERT_TRUE(second.Open());
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, first.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  std::atomic<bool> done(false);
  std::atomic<int> unexpected(0);
  // Both headsets talk all along (a packet each 0.2 ms), so no read waits
  // long for bytes. A headset whose port goes unread for a while (the
  // connecting thread can wait long for the id's lock on a busy machine)
  // fills its terminal and gives up on a packet after 10 s: the pace of the
  // machine, not a result of the library's, so it is not counted.
  std::thread device([&] {
    for (int i = 0; i < 100000 && !done.load(); ++i) {
      (void)first.Send(Attention(1 + i % 100));
      (void)second.Send(Attention(1 + i % 100));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::thread reader([&] {
    while (!done.load()) {
      const int got = TG_ReadPackets(id, 1);
      if (got < TG_READ_IO_ERROR || got > 1) {
        ++unexpected;
      }
    }
  });
  std::thread other([&] {
    while (!done.load()) {
      if (TG_EnableBlinkDetection(id, 1) != 0 || TG_GetValueStatus(id, TG_DATA_ATTENTION) < 0) {
        ++unexpected;
      }
    }
  });
  for (int i = 0; i < 1000; ++i) {
    const PtyHeadset &port = i % 2 == 0 ? second : first;
    EXPECT_EQ(TG_Connect(id, port.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0) << i;
  }
  done = true;
  device.join();
  reader.join();
  other.join();
  EXPECT_EQ(unexpected.load(), 0);
}

TEST_F(LibraryThreads, AReadWaitingOnOneIdHoldsUpNoCallOnAnother) {
  // A read on the fixture's headset, which sends nothing, waits the whole
  // read timeout (2 s).
  const int waiting = NewId();
  ASSERT_EQ(TG_Connect(waiting, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  std::atomic<bool> entered(false);
  std::atomic<bool> returned(false);
  std::thread reader([&] {
    entered = true;
    EXPECT_EQ(TG_ReadPackets(waiting, 1), TG_READ_NO_BYTES);
    returned = true;
  });
  while (!entered.load()) {
    std::this_thread::yield();
  }
  // Meanwhile every operation on another id goes through.
  PtyHeadset talking;
  ASSERT_TRUE(talking.Open());
  const int working = NewId();
  ASSERT_EQ(TG_Connect(working, talking.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_EnableBlinkDetection(working, 1), 0);
  for (int i = 1; i <= 20; ++i) {
    ASSERT_TRUE(talking.Send(Packet({0x04, static_cast<uint8_t>(i), 0x16, 0x50})));
    ASSERT_EQ(TG_ReadPackets(working, 1), 1);
    EXPECT_EQ(TG_GetValueStatus(working, TG_DATA_BLINK_STRENGTH), 1);
    EXPECT_EQ(TG_GetValue(working, TG_DATA_ATTENTION), static_cast<float>(i));
  }
  EXPECT_EQ(TG_GetNewConnectionId() >= 0, true);
  EXPECT_FALSE(returned.load()) << "the other id's calls waited for the read";
  reader.join();
}

TEST_F(LibraryThreads, ThreadsOnIdsOfTheirOwnEachGetTheirOwnPacketsInOrder) {
  const int kThreads = 6;
  const int kPackets = 150;
  PtyHeadset headsets[kThreads];
  int ids[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_TRUE(headsets[t].Open());
    ids[t] = NewId();
  }
  std::atomic<int> wrong(0);
  StartLine start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.Arrive();
      const int id = ids[t];
      if (TG_Connect(id, headsets[t].path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS) != 0) {
        ++wrong;
        return;
      }
      for (int i = 0; i < kPackets; ++i) {
        // Thread t's values: t * 10 + i % 10, one packet at a time.
        const int value = t * 10 + i % 10;
        if (!headsets[t].Send(Attention(value)) || TG_ReadPackets(id, 1) != 1 ||
            TG_GetValue(id, TG_DATA_ATTENTION) != static_cast<float>(value)) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread &thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
