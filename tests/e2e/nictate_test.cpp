// The built nictate, run as a user runs it: a real process with standard
// input at its end, its two streams read as they come, a headset on a
// pseudo-terminal in a private port map (the simulator), and a private X
// display on which every click is recorded. Each case has its own rig, so
// ctest runs them side by side.
//
// nictate's standard output goes to a pipe here and is fully buffered: it
// leaves the program when a value line flushes it (or in the pause). The
// checks therefore look at value lines and at the transcript before them,
// never at marks that may still sit in the buffer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testkit/clock.h"
#include "testkit/procfs.h"
#include "tests/e2e/rig.h"

namespace {

using e2e::Sent;
using testkit::kAttention;
using testkit::kBlink;
using testkit::Printed;
using testkit::Process;

const int kVersion = NICTATE_LIBRARY_VERSION;

// `count` values from `from` on (fewer where there are not so many).
std::vector<std::string> Slice(const std::vector<std::string> &values, size_t from, size_t count) {
  from = std::min(from, values.size());
  count = std::min(count, values.size() - from);
  return std::vector<std::string>(values.begin() + from, values.begin() + from + count);
}

using NictateRun = e2e::Rig;

TEST_F(NictateRun, NoDeviceGivesTheFailureTranscriptAtOnceWhateverTheArguments) {
  const std::vector<std::vector<std::string>> commandLines = {{}, {"--help", "COM3", "-v"}};
  for (size_t i = 0; i < commandLines.size(); ++i) {
    SCOPED_TRACE("arguments: " + std::to_string(commandLines[i].size()));
    const std::string work = temp.Make("work" + std::to_string(i));
    const int64_t start = testkit::NowNs();
    std::unique_ptr<Process> nictate = StartNictate(work, "", commandLines[i]);
    ASSERT_TRUE(testkit::WaitExit(nictate.get(), 20));
    // No port opened, so no 10-second wait: the bound only tells the two apart.
    EXPECT_LT(testkit::SecondsSince(start), 3.0);
    EXPECT_EQ(nictate->out(), testkit::NoDeviceOut(kVersion));
    EXPECT_EQ(nictate->err(), testkit::NoDeviceErr(0));
    EXPECT_EQ(nictate->ExitCode(), 1);
    // Both logs were named (made empty) before the scan.
    EXPECT_TRUE(testkit::Exists(work + "/dataLog.txt"));
    EXPECT_TRUE(testkit::Exists(work + "/streamLog.txt"));
    EXPECT_EQ(testkit::ReadFile(work + "/streamLog.txt"), "");
  }
}

// The simulated headset on COM3, a summary packet and a blink a second with
// line noise and blink packets with bad checksums between them, unplugged
// for five seconds in the middle of the run and plugged back under the same
// COM name: after the probe's 10-second wait nictate prints every value in
// the order sent and clicks once per good blink at the pointer; while the
// device is away it waits in the OS; then it goes on by itself.
TEST_F(NictateRun, DeviceOnCom3PrintsItsValuesClicksAndWaitsQuietlyWhileUnplugged) {
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim =
      StartSim(3, {"--seed", "5", "--blink-every", "1", "--garbage", "--unplug", "14:5"});
  ASSERT_NE(sim, nullptr);
  const int64_t start = testkit::NowNs();
  const std::string work = temp.Make("work");
  std::unique_ptr<Process> nictate = StartNictate(work, xvfb.name());
  const std::vector<Process *> both = {sim.get(), nictate.get()};
  // The port opened, so the probe (and the first value) waits 10 seconds.
  ASSERT_TRUE(Wait(both, 40, [&] { return !Printed(nictate->out(), kAttention).empty(); }))
      << nictate->out();
  EXPECT_GE(testkit::SecondsSince(start), 10.0);

  // A second nictate started in the same directory finds the logs in use:
  // it ends at once and leaves them whole to the first (checked below).
  std::unique_ptr<Process> second = StartNictate(work, "");
  ASSERT_TRUE(testkit::WaitExit(second.get(), 20));
  EXPECT_EQ(second->out(), testkit::VersionLine(kVersion) + testkit::Pause());
  EXPECT_EQ(second->err(),
            testkit::ConnectionIdLines(0) + "ERROR: TG_SetStreamLog() returned -2.\n");
  EXPECT_EQ(second->ExitCode(), 1);

  // Values and clicks, then the device goes.
  ASSERT_TRUE(Wait(both, 40, [&] {
    return sim->out().find("COM3 unplugged") != std::string::npos;
  })) << sim->out();
  const double cpuAway = testkit::CpuSeconds(nictate->pid());
  const int64_t away = testkit::NowNs();
  const std::string simBefore = sim->out();
  const std::string outBefore = nictate->out();

  // Back under the same name.
  ASSERT_TRUE(Wait(both, 20, [&] {
    return sim->out().find("COM3 is /dev/", simBefore.size()) != std::string::npos;
  })) << sim->out();
  const double cpu = testkit::CpuSeconds(nictate->pid()) - cpuAway;
  const double wall = testkit::SecondsSince(away);
  const size_t blinksBefore = Printed(nictate->out(), kBlink).size();

  // While it was away: under 2% of one core.
  ASSERT_GE(cpuAway, 0);
  EXPECT_LT(cpu / wall, 0.02) << cpu << " s of CPU in " << wall << " s unplugged";
  EXPECT_GT(wall, 4.0);

  // Blinks print and click again.
  EXPECT_TRUE(Wait(both, 20, [&] {
    return Printed(nictate->out(), kBlink).size() >= blinksBefore + 3;
  })) << nictate->out();
  StopBoth(sim.get(), nictate.get());

  const std::string expected = testkit::FoundOut(kVersion, 3);
  EXPECT_EQ(nictate->out().substr(0, expected.size()), expected);
  EXPECT_EQ(nictate->err(), testkit::FoundErr(0, 3));
  // Before the unplug, the probe took the first packet, and every value
  // after it was printed in the order sent (but for the last ones, under
  // way when the device went).
  const auto attention = Printed(outBefore, kAttention);
  EXPECT_GE(attention.size(), 10u);
  EXPECT_EQ(attention, Slice(Sent(simBefore, "attention"), 1, attention.size()));
  // The blinks of the 10-second wait had come before blink detection was
  // switched on: they reach the data log, but print nothing and click
  // nothing (each would click at once, wherever the pointer is by then).
  // Every blink after them prints, in the order sent.
  const auto sentBlinks = Sent(simBefore, "blink");
  const auto blinks = Printed(outBefore, kBlink);
  ASSERT_GE(blinks.size(), 3u);
  size_t waited = 0;
  while (waited + blinks.size() <= sentBlinks.size() &&
         Slice(sentBlinks, waited, blinks.size()) != blinks) {
    ++waited;
  }
  EXPECT_GE(waited, 8u) << outBefore;
  EXPECT_LE(waited, 12u) << outBefore;
  EXPECT_EQ(blinks, Slice(sentBlinks, waited, blinks.size())) << outBefore;
  std::vector<std::string> logged;
  for (const std::string &line : testkit::Lines(testkit::ReadFile(work + "/dataLog.txt"))) {
    const size_t at = line.find(" BLINK_STRENGTH ");
    if (at != std::string::npos) {
      logged.push_back(testkit::Printed(std::atof(line.c_str() + at + 16)));
    }
  }
  EXPECT_EQ(testkit::ReadFile(work + "/streamLog.txt").find('\0'), std::string::npos);
  ASSERT_GE(logged.size(), waited + blinks.size());
  EXPECT_EQ(Slice(logged, 0, waited + blinks.size()), Slice(sentBlinks, 0, waited + blinks.size()));
  // The noise and the corrupt blinks did come, and made no value and no
  // click. Every blink sent after the replug was printed, in order; each
  // blink printed clicked once.
  EXPECT_GE(Sent(sim->out(), "garbage").size(), 10u);
  EXPECT_GE(Sent(sim->out(), "corrupt blink").size(), 3u);
  const auto all = Printed(nictate->out(), kBlink);
  const auto sentAfter = Sent(sim->out(), "blink", simBefore.size());
  ASSERT_GE(sentAfter.size(), 3u);
  ASSERT_GE(all.size(), sentAfter.size());
  EXPECT_EQ(std::vector<std::string>(all.end() - sentAfter.size(), all.end()), sentAfter)
      << nictate->out() << "\n---\n"
      << sim->out();
  ExpectOneClickAtThePointerPerBlink(all.size());
}

// A headset that sends only the raw wave, with blinks in it and no blink
// rows: nictate clicks once for each blink the library finds in the wave,
// made after blink detection was switched on; the two made during the
// 10-second wait click nothing.
TEST_F(NictateRun, BlinksInTheRawWaveClickOnceEach) {
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim =
      StartSim(3, {"--seed", "8", "--raw-blinks", "--blink-at", "3,6,14,16,18,20,22"});
  ASSERT_NE(sim, nullptr);
  std::unique_ptr<Process> nictate = StartNictate(temp.Make("work"), xvfb.name());
  const std::vector<Process *> both = {sim.get(), nictate.get()};
  // The last blink begins 22 s after the headset came up.
  ASSERT_TRUE(Wait(both, 60, [&] {
    return Sent(sim->out(), "raw blink").size() == 7 && Printed(nictate->out(), kBlink).size() >= 5;
  })) << nictate->out();
  // Time for a sixth, which must not come.
  (void)Wait(both, 2, [] { return false; });
  StopBoth(sim.get(), nictate.get());
  EXPECT_EQ(Sent(sim->out(), "raw blink").size(), 7u);
  EXPECT_TRUE(Sent(sim->out(), "blink").empty());  // no blink rows
  EXPECT_EQ(Printed(nictate->out(), kBlink).size(), 5u) << nictate->out();
  ExpectOneClickAtThePointerPerBlink(5);
}

// Blinks made while nictate is stopped (SIGSTOP, 6 s), and then while another
// client holds the X server grabbed (6 s), with the headset blinking every
// second: each prints when nictate reads it, but none clicks late, all at
// once at the resume, wherever the pointer has gone by then. At each end of
// a stall one blink may go either way: one made in its last second still
// clicks, one made just before it and read after it does not.
TEST_F(NictateRun, BlinksMadeDuringAStallPrintButDoNotClickLate) {
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim = StartSim(3, {"--seed", "4", "--blink-every", "1"});
  ASSERT_NE(sim, nullptr);
  std::unique_ptr<Process> nictate = StartNictate(temp.Make("work"), xvfb.name());
  const std::vector<Process *> both = {sim.get(), nictate.get()};
  auto printed = [&] { return Printed(nictate->out(), kBlink).size(); };
  auto sent = [&] { return Sent(sim->out(), "blink").size(); };
  // Blinks made during a stall of `seconds` begun by stall() and ended by
  // resume(), and those nictate printed meanwhile; waits until it has
  // printed them and two more.
  struct Stall {
    size_t made;
    size_t printed;
  };
  auto blinksDuring = [&](double seconds, const std::function<void()> &stall,
                          const std::function<void()> &resume) {
    const size_t sentBefore = sent();
    const size_t printedBefore = printed();
    stall();
    (void)Wait(both, seconds, [] { return false; });
    const Stall during = {sent() - sentBefore, printed() - printedBefore};
    resume();
    EXPECT_TRUE(Wait(both, 10, [&] { return printed() >= printedBefore + during.made + 2; }))
        << nictate->out();
    return during;
  };
  ASSERT_TRUE(Wait(both, 40, [&] { return printed() >= 2; })) << nictate->out();

  const Stall stopped = blinksDuring(
      6, [&] { nictate->Signal(SIGSTOP); }, [&] { nictate->Signal(SIGCONT); });
  testkit::ServerGrab grab;
  const Stall grabbed = blinksDuring(
      6, [&] { ASSERT_TRUE(grab.Grab(xvfb.name())); }, [&] { grab.Release(); });
  StopBoth(sim.get(), nictate.get());

  // While the server was grabbed, nictate read on and printed.
  EXPECT_GE(grabbed.printed + 2, grabbed.made);
  EXPECT_GE(stopped.made, 5u);
  EXPECT_GE(grabbed.made, 5u);
  const std::vector<testkit::Button> buttons = recorder.Take();
  const std::vector<testkit::Button> click = testkit::LeftClickAt(e2e::kPointerX, e2e::kPointerY);
  for (size_t i = 0; i < buttons.size(); ++i) {
    EXPECT_EQ(buttons[i], click[i % 2]);
  }
  const size_t clicks = buttons.size() / 2;
  const size_t late = printed() - clicks;
  EXPECT_GE(late + 2, stopped.made + grabbed.made) << clicks << " clicks of " << printed();
  EXPECT_LE(late, stopped.made + grabbed.made + 2) << clicks << " clicks of " << printed();
}

// Every file, network and credentials call of a connected run, blinks and
// clicks included, as strace sees them: files are written only in the
// working directory (the two logs), the only device opened for writing is
// the port (COM1 and COM2, devices that are no terminal, are refused
// unopened), the only connection is to the X server's local socket, and no
// privilege is ever changed.
TEST_F(NictateRun, WritesOnlyItsTwoLogsOpensNoNetworkAndNeverChangesPrivilege) {
  if (access(NICTATE_STRACE, X_OK) != 0) {
    GTEST_SKIP() << "strace is not installed (scripts/setup installs it)";
  }
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim = StartSim(3, {"--seed", "2", "--blink-every", "1"});
  ASSERT_NE(sim, nullptr);
  ASSERT_EQ(symlink("/dev/null", (ports + "/com1").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", (ports + "/com2").c_str()), 0);
  const std::string trace = temp.path() + "/trace";
  testkit::Command command;
  command.argv = {NICTATE_STRACE, "-f", "-qq", "-o", trace, "-e", "trace=%file,%network,%creds",
                  NICTATE_BINARY};
  command.cwd = temp.Make("work");
  command.env = {"NICTATE_PORTS=" + ports, "DISPLAY=" + xvfb.name()};
  Process nictate(command);
  ASSERT_TRUE(nictate.started()) << nictate.error();
  EXPECT_TRUE(Wait({sim.get(), &nictate}, 40, [&] {
    return Printed(nictate.out(), kBlink).size() >= 2;
  })) << nictate.out();
  StopBoth(sim.get(), &nictate);
  ExpectOneClickAtThePointerPerBlink(Printed(nictate.out(), kBlink).size());

  const std::string log = testkit::ReadFile(trace);
  ASSERT_NE(log.find("\"streamLog.txt\", O_WRONLY|O_CREAT|"), std::string::npos) << log;
  ASSERT_NE(log.find("\"dataLog.txt\", O_WRONLY|O_CREAT|"), std::string::npos) << log;
  const std::vector<std::string> changes = {"unlink",  "rename",   "mkdir",  "rmdir",
                                            "symlink", "link(",    "linkat", "chmod",
                                            "chown",   "truncate", "mknod",  "utime"};
  for (const std::string &line : testkit::Lines(log)) {
    const size_t call = line.find(' ');
    const std::string rest = call == std::string::npos ? line : line.substr(call + 1);
    if (rest.find("open") != std::string::npos &&
        (rest.find("O_WRONLY") != std::string::npos || rest.find("O_RDWR") != std::string::npos ||
         rest.find("O_CREAT") != std::string::npos)) {
      const bool log = rest.find("\"streamLog.txt\"") != std::string::npos ||
                       rest.find("\"dataLog.txt\"") != std::string::npos;
      const bool port = rest.find("\"" + ports + "/com3\"") != std::string::npos;
      EXPECT_TRUE(log || port) << "opened for writing: " << line;
    }
    for (const std::string &change : changes) {
      EXPECT_NE(rest.compare(0, change.size(), change), 0) << "changed a file: " << line;
    }
    if (rest.compare(0, 7, "socket(") == 0) {
      EXPECT_EQ(rest.compare(0, 15, "socket(AF_UNIX,"), 0) << "not a local socket: " << line;
    }
    if (rest.compare(0, 8, "connect(") == 0) {
      EXPECT_NE(rest.find("/tmp/.X11-unix/X"), std::string::npos) << "connected: " << line;
    }
    for (const char *call :
         {"bind(", "listen(", "accept", "setuid", "setgid", "setreuid", "setregid", "setresuid",
          "setresgid", "setgroups", "setfsuid", "setfsgid", "capset"}) {
      EXPECT_NE(rest.compare(0, std::strlen(call), call), 0) << line;
    }
  }
}

}  // namespace
