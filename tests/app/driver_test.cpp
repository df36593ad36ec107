// The program from start to connected device, against the scripted library:
// what each stream shows, what the library is asked, and the exit status.
#include "app/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/transcript.h"
#include "tests/app/capture.h"
#include "tests/app/fakes.h"

namespace {

using testkit::ConnectionIdLines;
using testkit::Pause;
using testkit::VersionLine;

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakes(); }

  // Runs the program to its end (or into the blink loop, left when the
  // script runs out) and returns its exit status; -1 when it went on into
  // the blink loop.
  int Run(const std::string &input = "") {
    int status = -1;
    CaptureConsole(input, &console, [&] {
      try {
        status = RunNictate();
      } catch (const ScriptEnd &) {
      }
    });
    return status;
  }

  bool Called(const std::string &prefix) const {
    for (const auto &call : gLibrary.calls) {
      if (call.compare(0, prefix.size(), prefix) == 0) {
        return true;
      }
    }
    return false;
  }

  Transcript console;
};

TEST_F(DriverTest, NegativeConnectionIdEndsBeforeAnyLogOrPort) {
  gLibrary.connectionId = -5;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(console.out, VersionLine(42) + Pause());
  EXPECT_EQ(console.err, "ERROR: TG_GetNewConnectionId() returned -5.\n");
  EXPECT_EQ(gLibrary.calls,
            (std::vector<std::string>{"TG_GetDriverVersion()", "TG_GetNewConnectionId()"}));
}

TEST_F(DriverTest, FailingStreamLogEndsBeforeTheDataLog) {
  gLibrary.streamLogResult = -2;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(console.out, VersionLine(42) + Pause());
  EXPECT_EQ(console.err, ConnectionIdLines(3) + "ERROR: TG_SetStreamLog() returned -2.\n");
  EXPECT_TRUE(Called("TG_SetStreamLog(3, streamLog.txt)"));
  EXPECT_FALSE(Called("TG_SetDataLog"));
  EXPECT_FALSE(Called("TG_Connect"));
}

TEST_F(DriverTest, FailingDataLogEndsBeforeTheScan) {
  gLibrary.dataLogResult = -1;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(console.out, VersionLine(42) + Pause());
  EXPECT_EQ(console.err, ConnectionIdLines(3) + "ERROR: TG_SetDataLog() returned -1.\n");
  EXPECT_TRUE(Called("TG_SetDataLog(3, dataLog.txt)"));
  EXPECT_FALSE(Called("TG_Connect"));
}

TEST_F(DriverTest, PauseWaitsForOneCharacterOnly) {
  gLibrary.connectionId = -1;
  // The pause takes the first character; the rest stays unread.
  EXPECT_EQ(Run("\nmore"), 1);
  EXPECT_EQ(console.out, VersionLine(42) + Pause());
}

}  // namespace
