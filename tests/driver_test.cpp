// The program from start to connected device, against the scripted library:
// what each stream shows, what the library is asked, and the exit status.
#include "app/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/capture.h"
#include "tests/fakes.h"

namespace {

const char kPause[] = "\nPress the ENTER key...\n";

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
  EXPECT_EQ(console.out, std::string("ThinkGear DLL version: 42\n") + kPause);
  EXPECT_EQ(console.err, "ERROR: TG_GetNewConnectionId() returned -5.\n");
  EXPECT_EQ(gLibrary.calls,
            (std::vector<std::string>{"TG_GetDriverVersion()", "TG_GetNewConnectionId()"}));
}

TEST_F(DriverTest, FailingStreamLogEndsBeforeTheDataLog) {
  gLibrary.streamLogResult = -2;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(console.out, std::string("ThinkGear DLL version: 42\n") + kPause);
  EXPECT_EQ(console.err,
            "ThinkGear Connection ID is: 3.\n\n"
            "ERROR: TG_SetStreamLog() returned -2.\n");
  EXPECT_TRUE(Called("TG_SetStreamLog(3, streamLog.txt)"));
  EXPECT_FALSE(Called("TG_SetDataLog"));
  EXPECT_FALSE(Called("TG_Connect"));
}

TEST_F(DriverTest, FailingDataLogEndsBeforeTheScan) {
  gLibrary.dataLogResult = -1;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(console.out, std::string("ThinkGear DLL version: 42\n") + kPause);
  EXPECT_EQ(console.err,
            "ThinkGear Connection ID is: 3.\n\n"
            "ERROR: TG_SetDataLog() returned -1.\n");
  EXPECT_TRUE(Called("TG_SetDataLog(3, dataLog.txt)"));
  EXPECT_FALSE(Called("TG_Connect"));
}

TEST_F(DriverTest, NoPortConnectedEndsWithThePause) {
  EXPECT_EQ(Run(), 1);
  std::string out = "ThinkGear DLL version: 42\nScanning COM ports 0 to 16...\n";
  std::string err = "ThinkGear Connection ID is: 3.\n\n";
  for (int port = 0; port <= 16; ++port) {
    const std::string name = "\\\\.\\COM" + std::to_string(port);
    out += "ok" + name + "trying to connect on" + name + "\n";
    out +=
        "FAILED connection (-2 serialPortName could not be opened as a serial communication "
        "port for any reason.)\n";
    err += std::to_string(port) + "ERROR: TG_Connect() returned -2.\n";
  }
  out += std::string("connection could not be established") + kPause;
  EXPECT_EQ(console.out, out);
  EXPECT_EQ(console.err, err);
  EXPECT_FALSE(Called("TG_ReadPackets"));
  EXPECT_TRUE(gPlatform.sleeps.empty());
}

TEST_F(DriverTest, PauseWaitsForOneCharacterOnly) {
  gLibrary.connectionId = -1;
  // The pause takes the first character; the rest stays unread.
  EXPECT_EQ(Run("\nmore"), 1);
  EXPECT_EQ(console.out, std::string("ThinkGear DLL version: 42\n") + kPause);
}

TEST_F(DriverTest, ConnectedRunGoesOnIntoTheBlinkLoop) {
  gLibrary.version = 0;
  gLibrary.connectionId = 0;
  gLibrary.connectResults[0] = 0;
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(console.out,
            "ThinkGear DLL version: 0\n"
            "Scanning COM ports 0 to 16...\n"
            "ok\\\\.\\COM0trying to connect on\\\\.\\COM0\n"
            "Connection available...\n"
            "OK\n"
            "connection established");
  EXPECT_EQ(console.err, "ThinkGear Connection ID is: 0.\n\n0");
  EXPECT_TRUE(Called("TG_EnableBlinkDetection(0, 1)"));
}

}  // namespace
