// The port scan against the scripted library.
#include "link/scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/capture.h"
#include "tests/fakes.h"

namespace {

std::string PortName(int port) { return "\\\\.\\COM" + std::to_string(port); }

std::string AttemptLine(int port) {
  return "ok" + PortName(port) + "trying to connect on" + PortName(port) + "\n";
}

const char kOpenFailed[] =
    "FAILED connection (-2 serialPortName could not be opened as a serial communication port "
    "for any reason.)\n";

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakes(); }

  bool Scan() {
    bool connected = false;
    CaptureConsole("", &console, [&] { connected = ScanPorts(7); });
    return connected;
  }

  std::vector<std::string> ConnectCalls() const {
    std::vector<std::string> connects;
    for (const auto &call : gLibrary.calls) {
      if (call.rfind("TG_Connect", 0) == 0) {
        connects.push_back(call);
      }
    }
    return connects;
  }

  Transcript console;
};

TEST_F(ScanTest, DeviceOnPortFiveAfterFourPortsFailToOpen) {
  gLibrary.connectResults[5] = 0;
  EXPECT_TRUE(Scan());

  std::string out = "Scanning COM ports 0 to 16...\n";
  std::string err;
  for (int port = 0; port <= 4; ++port) {
    out += AttemptLine(port) + kOpenFailed;
    err += std::to_string(port) + "ERROR: TG_Connect() returned -2.\n";
  }
  out += AttemptLine(5) + "Connection available...\nOK\n";
  err += "5";
  EXPECT_EQ(console.out, out);
  EXPECT_EQ(console.err, err);

  std::vector<std::string> expected;
  for (int port = 0; port <= 5; ++port) {
    expected.push_back("TG_Connect(7, " + PortName(port) + ", 9600, 0)");
  }
  EXPECT_EQ(ConnectCalls(), expected);
  // The 10 s wait comes after the port that opened, before its probe.
  const auto &calls = gLibrary.calls;
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[6], "Sleep(10000)");
  EXPECT_EQ(calls[7], "TG_ReadPackets(7, 1)");
}

TEST_F(ScanTest, ProbeReadingNoWholePacketCountsAsSuccess) {
  gLibrary.connectResults[2] = 0;
  gLibrary.probeResults[2] = 0;
  EXPECT_TRUE(Scan());
  EXPECT_EQ(ConnectCalls().size(), 3u);
  EXPECT_NE(console.out.find("Connection available...\nOK\n"), std::string::npos);
}

TEST_F(ScanTest, EveryPortFailingGivesFalseAfterSeventeenAttempts) {
  EXPECT_FALSE(Scan());
  const auto connects = ConnectCalls();
  ASSERT_EQ(connects.size(), 17u);
  EXPECT_EQ(connects.front(), "TG_Connect(7, " + PortName(0) + ", 9600, 0)");
  EXPECT_EQ(connects.back(), "TG_Connect(7, " + PortName(16) + ", 9600, 0)");
  EXPECT_TRUE(gPlatform.sleeps.empty());
}

TEST_F(ScanTest, EachKnownConnectFailureIsExplained) {
  gLibrary.connectResults[0] = -1;
  gLibrary.connectResults[1] = -3;
  gLibrary.connectResults[2] = -4;
  gLibrary.connectResults[3] = -9;  // unknown: the error line alone
  gLibrary.connectResults[4] = 0;
  EXPECT_TRUE(Scan());
  EXPECT_EQ(console.out,
            "Scanning COM ports 0 to 16...\n" + AttemptLine(0) +
                "FAILED connection (-1 connectionId does not refer to a valid ThinkGear "
                "Connection ID handle.)\n" +
                AttemptLine(1) +
                "FAILED connection (-3 serialBaudrate is not a valid TG_BAUD_* value.)\n" +
                AttemptLine(2) +
                "FAILED connection (-4 serialDataFormat is not a valid TG_STREAM_* type.)\n" +
                AttemptLine(3) + AttemptLine(4) + "Connection available...\nOK\n");
  EXPECT_EQ(console.err,
            "0ERROR: TG_Connect() returned -1.\n"
            "1ERROR: TG_Connect() returned -3.\n"
            "2ERROR: TG_Connect() returned -4.\n"
            "3ERROR: TG_Connect() returned -9.\n"
            "4");
}

TEST_F(ScanTest, FailedProbesAreExplainedOnStandardOutputOnlyAndTheScanGoesOn) {
  for (int port = 0; port <= 4; ++port) {
    gLibrary.connectResults[port] = 0;
  }
  gLibrary.probeResults = {{0, -1}, {1, -2}, {2, -3}, {3, -7}, {4, 1}};
  EXPECT_TRUE(Scan());
  std::string out = "Scanning COM ports 0 to 16...\n";
  const char *explanations[] = {"FAILED reading (Invalid connection ID)\n",
                                "FAILED reading (0 bytes on the stream)\n",
                                "FAILED reading (I/O error occured)\n", "", "OK\n"};
  for (int port = 0; port <= 4; ++port) {
    out += AttemptLine(port) + "Connection available...\n" + explanations[port];
  }
  EXPECT_EQ(console.out, out);
  EXPECT_EQ(console.err, "01234");
  EXPECT_EQ(gPlatform.sleeps, std::vector<DWORD>(5, 10000));
  // No disconnect: the same id goes straight on to the next port.
  EXPECT_EQ(ConnectCalls().size(), 5u);
}

}  // namespace
