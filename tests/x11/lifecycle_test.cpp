// The Windows operations where there is no X server, or the server goes away
// while the program runs: each call fails as its contract says, nothing is
// printed and the process goes on, and a server that comes back on the same
// display gets the clicks again. The operations run in x11_probe, a child
// with DISPLAY of the test's choosing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "tests/x11/harness.h"

namespace {

const char kNoServer[] =
    "GetSystemMetrics 0 0\n"
    "GetCursorPos 0\n"
    "SendInput 0 0\n"
    "ClickAtCursor done\n";

const char kFreshServer[] =
    "GetSystemMetrics 1920 1080\n"
    "GetCursorPos 1 960 540\n"
    "SendInput 0 1\n"
    "ClickAtCursor done\n";

// Display numbers far above the ones servers pick for themselves, in a
// block of this process's own, so that a number this test frees is not
// taken by another test before it starts a server there again.
int PrivateDisplayNumber(int base) { return base + getpid() % 100 * 5; }

TEST(X11WithoutServer, NoDisplayMakesEveryOperationFailQuietly) {
  x11test::Child probe({NICTATE_X11_PROBE}, {"DISPLAY"});
  ASSERT_TRUE(probe.started());
  probe.CloseInput();
  EXPECT_EQ(probe.ReadLines(4, 20), kNoServer);
  const int status = probe.Wait(20);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(probe.err(), "");
}

TEST(X11WithoutServer, ADeadServerMakesEveryOperationFailQuietly) {
  x11test::Xvfb server;
  std::string error;
  ASSERT_TRUE(server.Start("1920x1080", PrivateDisplayNumber(1000), &error)) << error;
  const std::string display = server.name();
  server.Stop();

  x11test::Child probe({NICTATE_X11_PROBE}, {"DISPLAY=" + display});
  ASSERT_TRUE(probe.started());
  probe.Send("\n");
  probe.CloseInput();
  EXPECT_EQ(probe.ReadLines(8, 20), std::string(kNoServer) + kNoServer);
  const int status = probe.Wait(20);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(probe.err(), "");
}

TEST(X11WithoutServer, AServerThatGoesAwayAndComesBackGetsTheClicksAgain) {
  x11test::Xvfb server;
  std::string error;
  ASSERT_TRUE(server.Start("1920x1080", PrivateDisplayNumber(1500), &error)) << error;
  const int number = server.number();

  x11test::Child probe({NICTATE_X11_PROBE}, {"DISPLAY=" + server.name()});
  ASSERT_TRUE(probe.started());
  EXPECT_EQ(probe.ReadLines(4, 20), kFreshServer);

  // Whichever operation is the first to meet the broken connection fails,
  // and so does every one after it.
  const struct {
    const char *call;
    const char *result;
  } firstCalls[] = {
      {"SendInput\n", "SendInput 0 0\n"},
      {"GetSystemMetrics\n", "GetSystemMetrics 0 0\n"},
      {"GetCursorPos\n", "GetCursorPos 0\n"},
      {"ClickAtCursor\n", "ClickAtCursor done\n"},
  };
  for (const auto &first : firstCalls) {
    SCOPED_TRACE(first.call);
    server.Stop(SIGKILL);  // the server crashes: its socket stays, refusing connections
    probe.Send(first.call);
    EXPECT_EQ(probe.ReadLines(1, 20), first.result);
    probe.Send("\n");
    EXPECT_EQ(probe.ReadLines(4, 20), kNoServer);

    ASSERT_TRUE(server.Start("1920x1080", number, &error)) << error;
    ASSERT_EQ(server.number(), number) << "display " << number << " was taken meanwhile";
    x11test::Recorder recorder;
    ASSERT_TRUE(recorder.Open(server.name(), &error)) << error;
    probe.Send("\n");
    EXPECT_EQ(probe.ReadLines(4, 20), kFreshServer);
    // SendInput's press and release, then the click's, at the pointer.
    std::vector<x11test::Button> clicks = x11test::LeftClickAt(960, 540);
    clicks.insert(clicks.end(), clicks.begin(), clicks.end());
    EXPECT_EQ(recorder.Take(), clicks);
  }

  probe.CloseInput();
  const int status = probe.Wait(20);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(probe.err(), "");  // no word of the lost connection on the console
}

}  // namespace
