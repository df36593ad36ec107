// The blink loop against the scripted library and recorded Windows
// operations: what standard output shows and when it is flushed, and the
// clicks.
#include "blink/loop.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "link/thinkgear.h"
#include "tests/app/capture.h"
#include "tests/app/fakes.h"

namespace {

class BlinkLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakes(); }

  void Read(int result, std::map<int, float> values = {}) {
    gLibrary.reads.push_back(ScriptedRead{result, values});
  }

  // Runs the loop until the script runs out.
  void Run() {
    CaptureConsole("", &console, [] {
      try {
        RunBlinkLoop(9);
      } catch (const ScriptEnd &) {
      }
    });
  }

  Transcript console;
};

TEST_F(BlinkLoopTest, SwitchesBlinkDetectionOnOnceBeforeReading) {
  Read(1);
  Read(1);
  Run();
  ASSERT_GE(gLibrary.calls.size(), 2u);
  EXPECT_EQ(gLibrary.calls[0], "TG_EnableBlinkDetection(9, 1)");
  EXPECT_EQ(gLibrary.calls[1], "TG_ReadPackets(9, 1)");
  int enables = 0;
  for (const auto &call : gLibrary.calls) {
    enables += call.rfind("TG_EnableBlinkDetection", 0) == 0;
  }
  EXPECT_EQ(enables, 1);
}

TEST_F(BlinkLoopTest, MarksAndValueLinesInOrder) {
  Read(1);                                                                // neither value new
  Read(1, {{TG_DATA_ATTENTION, 53.0f}});                                  // attention only
  Read(0);                                                                // empty read
  Read(1, {{TG_DATA_BLINK_STRENGTH, 87.0f}});                             // blink only
  Read(1, {{TG_DATA_ATTENTION, 41.5f}, {TG_DATA_BLINK_STRENGTH, 0.0f}});  // both
  Run();
  EXPECT_EQ(console.out,
            ".."
            "New attention value: 53.000000\n"
            "z."
            "New eye blinking value: 87.000000\n"
            "."
            "New attention value: 41.500000\n"
            "New eye blinking value: 0.000000\n");
  EXPECT_EQ(console.err, "");
  // One click per new blink value, 0 included.
  EXPECT_EQ(gPlatform.sent.size(), 2u);
}

TEST_F(BlinkLoopTest, BothValuesInOnePacketPrintAttentionThenBlinkThenClick) {
  Read(1, {{TG_DATA_ATTENTION, 60.0f}, {TG_DATA_BLINK_STRENGTH, 120.0f}});
  Run();
  std::vector<std::string> order;
  for (const auto &call : gLibrary.calls) {
    if (call.rfind("TG_GetValue(", 0) == 0 || call.rfind("SendInput", 0) == 0) {
      order.push_back(call);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{
                       "TG_GetValue(9, 2)", "TG_GetValue(9, 37)", "TG_GetValue(9, 256)",
                       "SendInput(1, " + std::to_string(sizeof(INPUT)) + ")"}));
}

// A blink whose packet came over a second before (it waited while the
// program was stalled) prints as any other, and does not click.
TEST_F(BlinkLoopTest, ABlinkThatCameOverASecondAgoPrintsButDoesNotClick) {
  Read(1, {{TG_DATA_BLINK_STRENGTH, 87.0f}, {TG_DATA_BLINK_AGE, 1001.0f}});
  Read(1, {{TG_DATA_BLINK_STRENGTH, 88.0f}, {TG_DATA_BLINK_AGE, 1000.0f}});
  Run();
  EXPECT_EQ(console.out,
            ".New eye blinking value: 87.000000\n"
            ".New eye blinking value: 88.000000\n");
  EXPECT_EQ(gPlatform.sent.size(), 1u);
}

TEST_F(BlinkLoopTest, EmptyReadsPrintZAndWait200MsEach) {
  for (int i = 0; i < 10; ++i) {
    Read(0);
  }
  Run();
  EXPECT_EQ(console.out, "zzzzzzzzzz");
  EXPECT_EQ(gPlatform.sleeps, std::vector<DWORD>(10, 200));
}

TEST_F(BlinkLoopTest, FailedReadsPrintNothingAndDoNotWait) {
  for (int result : {-1, -2, -3, -42, 2, 5}) {
    Read(result);
  }
  Run();
  EXPECT_EQ(console.out, "");
  EXPECT_TRUE(gPlatform.sleeps.empty());
  EXPECT_TRUE(gPlatform.sent.empty());
  for (const auto &call : gLibrary.calls) {
    EXPECT_EQ(call.rfind("TG_GetValue", 0), std::string::npos) << call;
  }
}

// What a console would show at each flush: the marks written before a value
// line go out with it, and nothing is flushed after a bare mark.
TEST_F(BlinkLoopTest, EachValueLineIsFlushedWithTheMarksBeforeIt) {
  char path[] = "/tmp/nictate-flush-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string seenAtBlink;
  Read(0);
  Read(1);
  Read(1, {{TG_DATA_BLINK_STRENGTH, 9.0f}});
  Read(1);
  // The click reads the file as it stands when the line was flushed.
  gPlatform.cursorResult = TRUE;
  CaptureConsole("", &console, [&] {
    // Standard output fully buffered, as when it goes to a file or a pipe.
    std::FILE *f = std::freopen(path, "w", stdout);
    ASSERT_NE(f, nullptr);
    std::setvbuf(stdout, nullptr, _IOFBF, 4096);
    try {
      RunBlinkLoop(9);
    } catch (const ScriptEnd &) {
    }
    std::FILE *in = std::fopen(path, "r");
    char buffer[256] = {};
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, in);
    std::fclose(in);
    seenAtBlink.assign(buffer, n);
  });
  std::remove(path);
  // At the end the last "." is still in the buffer, not yet on the console.
  EXPECT_EQ(seenAtBlink, "z..New eye blinking value: 9.000000\n");
}

}  // namespace
