// The port scan against the scripted library.
#include "link/scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/transcript.h"
#include "tests/app/capture.h"
#include "tests/app/fakes.h"

namespace {

using testkit::Attempt;
using testkit::ConnectError;
using testkit::ConnectFailed;
using testkit::Probed;
using testkit::ScanStart;

std::string PortName(int port) { return "\\\\.\\COM" + std::to_string(port); }

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

  std::string out = ScanStart();
  std::string err;
  for (int port = 0; port <= 4; ++port) {
    out += Attempt(port) + ConnectFailed(-2);
    err += ConnectError(port, -2);
  }
  EXPECT_EQ(console.out, out + Attempt(5) + Probed(1));
  EXPECT_EQ(console.err, err + "5");

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
  EXPECT_NE(console.out.find(Probed(0)), std::string::npos);
}

TEST_F(ScanTest, EachKnownConnectFailureIsExplained) {
  gLibrary.connectResults[0] = -1;
  gLibrary.connectResults[1] = -3;
  gLibrary.connectResults[2] = -4;
  gLibrary.connectResults[3] = -9;  // unknown: the error line alone
  gLibrary.connectResults[4] = 0;
  EXPECT_TRUE(Scan());
  std::string out = ScanStart();
  std::string err;
  for (int port = 0; port <= 3; ++port) {
    out += Attempt(port) + ConnectFailed(gLibrary.connectResults[port]);
    err += ConnectError(port, gLibrary.connectResults[port]);
  }
  EXPECT_EQ(console.out, out + Attempt(4) + Probed(1));
  EXPECT_EQ(console.err, err + "4");
}

TEST_F(ScanTest, FailedProbesAreExplainedOnStandardOutputOnlyAndTheScanGoesOn) {
  for (int port = 0; port <= 4; ++port) {
    gLibrary.connectResults[port] = 0;
  }
  gLibrary.probeResults = {{0, -1}, {1, -2}, {2, -3}, {3, -7}, {4, 1}};
  EXPECT_TRUE(Scan());
  std::string out = ScanStart();
  for (int port = 0; port <= 4; ++port) {
    out += Attempt(port) + Probed(gLibrary.probeResults[port]);
  }
  EXPECT_EQ(console.out, out);
  EXPECT_EQ(console.err, "01234");
  EXPECT_EQ(gPlatform.sleeps, std::vector<DWORD>(5, 10000));
  // No disconnect: the same id goes straight on to the next port.
  EXPECT_EQ(ConnectCalls().size(), 5u);
}

}  // namespace
