// The Windows operations where there is no X server, or the server goes away
// while the program runs: each call fails as its contract says, nothing is
// printed and the process goes on, and a server that comes back on the same
// display gets the clicks again. The operations run in x11_probe, a child
// with DISPLAY of the test's choosing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "testkit/process.h"
#include "testkit/recorder.h"
#include "testkit/xvfb.h"

namespace {

// x11_probe with DISPLAY as given (unset when empty), fed on a pipe.
std::unique_ptr<testkit::Process> Probe(const std::string &display) {
  testkit::Command command;
  command.argv = {NICTATE_X11_PROBE};
  command.env = {display.empty() ? "DISPLAY" : "DISPLAY=" + display};
  command.pipeIn = true;
  return std::unique_ptr<testkit::Process>(new testkit::Process(command));
}

// What the probe printed since the last call, once that holds `lines` lines.
std::string Next(testkit::Process *probe, size_t *taken, long lines) {
  testkit::WaitUntil({probe}, 20, [&] {
    return std::count(probe->out().begin() + *taken, probe->out().end(), '\n') >= lines;
  });
  const std::string text = probe->out().substr(*taken);
  *taken = probe->out().size();
  return text;
}

// Ends the probe's input; its exit status.
int End(testkit::Process *probe) {
  probe->CloseInput();
  return testkit::WaitExit(probe, 20) ? probe->ExitCode() : -1;
}

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

TEST(X11WithoutServer, NoDisplayOrADeadServerMakesEveryOperationFailQuietly) {
  testkit::Xvfb server;
  std::string error;
  ASSERT_TRUE(server.Start("1920x1080", &error, PrivateDisplayNumber(1000))) << error;
  const std::string dead = server.name();
  server.Stop();
  for (const std::string &display : {std::string(), dead}) {
    SCOPED_TRACE("DISPLAY=" + display);
    std::unique_ptr<testkit::Process> probe = Probe(display);
    size_t taken = 0;
    probe->Send("\n");
    EXPECT_EQ(Next(probe.get(), &taken, 8), std::string(kNoServer) + kNoServer);
    EXPECT_EQ(End(probe.get()), 0);
    EXPECT_EQ(probe->err(), "");
  }
}

TEST(X11WithoutServer, AServerThatGoesAwayAndComesBackGetsTheClicksAgain) {
  testkit::Xvfb server;
  std::string error;
  ASSERT_TRUE(server.Start("1920x1080", &error, PrivateDisplayNumber(1500))) << error;
  const int number = server.number();

  std::unique_ptr<testkit::Process> probe = Probe(server.name());
  size_t taken = 0;
  EXPECT_EQ(Next(probe.get(), &taken, 4), kFreshServer);

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
    probe->Send(first.call);
    EXPECT_EQ(Next(probe.get(), &taken, 1), first.result);
    probe->Send("\n");
    EXPECT_EQ(Next(probe.get(), &taken, 4), kNoServer);

    ASSERT_TRUE(server.Start("1920x1080", &error, number)) << error;
    ASSERT_EQ(server.number(), number) << "display " << number << " was taken meanwhile";
    testkit::Recorder recorder;
    ASSERT_TRUE(recorder.Open(server.name(), &error)) << error;
    probe->Send("\n");
    EXPECT_EQ(Next(probe.get(), &taken, 4), kFreshServer);
    // SendInput's press and release, then the click's, at the pointer.
    std::vector<testkit::Button> clicks = testkit::LeftClickAt(960, 540);
    clicks.insert(clicks.end(), clicks.begin(), clicks.end());
    EXPECT_EQ(recorder.Take(), clicks);
  }

  EXPECT_EQ(End(probe.get()), 0);
  EXPECT_EQ(probe->err(), "");  // no word of the lost connection on the console
}

}  // namespace
