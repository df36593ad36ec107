// The built nictate under the faults of long use, run as a user runs it (a
// real process, standard input at its end, a private port map and X
// display): the headset unplugged and plugged back, a second nictate
// reaching for the port the first holds, logs on a device that refuses
// writes, and a stream full of bad bytes. Each case has its own display,
// port map and working directory, so ctest runs them side by side.
//
// nictate's standard output goes to a pipe and leaves the program when a
// value line flushes it; the checks look at value lines only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/rig.h"
#include "tests/files.h"
#include "tests/pty_port.h"
#include "tests/robustness/hostile.h"

namespace {

using e2e::Printed;
using e2e::Process;
using e2e::Sent;
using e2e::SpawnOptions;
using e2e::WaitExit;
using e2e::WaitUntil;

using e2e::kAttention;
using e2e::kBlink;

// Whether `tail` ends `all`.
bool EndsWith(const std::vector<std::string> &all, const std::vector<std::string> &tail) {
  return tail.size() <= all.size() && std::equal(tail.begin(), tail.end(), all.end() - tail.size());
}

std::string Text(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

// User plus system time of a process so far, in seconds, from /proc.
double CpuSeconds(pid_t pid) {
  return static_cast<double>(testfiles::CpuTicks(pid)) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class Robust : public e2e::Rig {
 protected:
  // Ends the simulator first, so nictate reads all it sent, then nictate.
  void StopBoth(Process *sim, Process *nictate) {
    if (sim != nullptr) {
      sim->Signal(SIGTERM);
      EXPECT_TRUE(WaitExit(sim, 10));
    }
    StopNictate(nictate);
  }
};

// Unplugged for five seconds in the middle of a run, then plugged back under
// the same COM name: nictate goes on by itself, and while the device is away
// it waits in the OS.
TEST_F(Robust, UnpluggedHeadsetIsWaitedForQuietlyAndClicksAgainOncePluggedBack) {
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim =
      StartSim(3, {"--seed", "5", "--blink-every", "1", "--unplug", "14:5"});
  ASSERT_NE(sim, nullptr);
  std::unique_ptr<Process> nictate = StartNictate(temp.Make("work"), xvfb.display());
  const std::vector<Process *> both = {sim.get(), nictate.get()};

  // Connected and clicking, then the device goes.
  ASSERT_TRUE(WaitUntil(both, &recorder, 40, [&] {
    return sim->out().find("COM3 unplugged") != std::string::npos;
  })) << sim->out();
  const double cpuAway = CpuSeconds(nictate->pid());
  const double wallAway = Now();
  EXPECT_FALSE(Printed(nictate->out(), kBlink).empty()) << "no blink before the unplug";

  // Back under the same name.
  const size_t unplugged = sim->out().find("COM3 unplugged");
  ASSERT_TRUE(WaitUntil(both, &recorder, 20, [&] {
    return sim->out().find("COM3 is /dev/", unplugged) != std::string::npos;
  })) << sim->out();
  const double cpuBack = CpuSeconds(nictate->pid());
  const double wallBack = Now();
  const size_t replugged = sim->out().find("COM3 is /dev/", unplugged);
  const size_t blinksBefore = Printed(nictate->out(), kBlink).size();

  // While it was away: under 2% of one core.
  ASSERT_GE(cpuAway, 0);
  const double share = (cpuBack - cpuAway) / (wallBack - wallAway);
  std::printf("unplugged %.2f s: %.3f s of CPU, %.2f%% of a core\n", wallBack - wallAway,
              cpuBack - cpuAway, 100 * share);
  EXPECT_LT(share, 0.02) << (cpuBack - cpuAway) << " s of CPU in " << (wallBack - wallAway)
                         << " s unplugged";
  EXPECT_GT(wallBack - wallAway, 4.0);

  // Blinks print and click again.
  EXPECT_TRUE(WaitUntil(both, &recorder, 20, [&] {
    return Printed(nictate->out(), kBlink).size() >= blinksBefore + 3;
  })) << nictate->out();
  StopBoth(sim.get(), nictate.get());

  // Every blink sent after the replug was printed, in order, and clicked.
  const auto blinks = Printed(nictate->out(), kBlink);
  const auto sentAfter = Sent(sim->out(), "blink", replugged);
  ASSERT_GE(sentAfter.size(), 3u);
  EXPECT_TRUE(EndsWith(blinks, sentAfter)) << nictate->out() << "\n---\n" << sim->out();
  ExpectOneClickAtThePointerPerBlink(blinks.size());
}

// A second nictate finds the first one's port taken: it fails there with -2
// and goes on through the other ports; the first reads and clicks on, no
// value lost.
TEST_F(Robust, SecondNictateCannotTakeTheHeldPortAndTheFirstGoesOnUndisturbed) {
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim = StartSim(3, {"--seed", "9", "--blink-every", "1"});
  ASSERT_NE(sim, nullptr);
  std::unique_ptr<Process> first = StartNictate(temp.Make("first"), xvfb.display());
  ASSERT_TRUE(WaitUntil({sim.get(), first.get()}, &recorder, 40, [&] {
    return !Printed(first->out(), kBlink).empty();
  })) << first->out();

  std::unique_ptr<Process> second = StartNictate(temp.Make("second"), "");
  ASSERT_TRUE(WaitUntil({sim.get(), first.get(), second.get()}, &recorder, 20,
                        [&] { return !second->Running(); }));
  second->Drain();
  EXPECT_EQ(second->out(), e2e::NoDeviceOut());
  EXPECT_EQ(second->err(), e2e::NoDeviceErr());
  EXPECT_TRUE(WIFEXITED(second->status()) && WEXITSTATUS(second->status()) == 1);

  const size_t blinksBefore = Printed(first->out(), kBlink).size();
  EXPECT_TRUE(WaitUntil({sim.get(), first.get()}, &recorder, 20,
                        [&] { return Printed(first->out(), kBlink).size() >= blinksBefore + 2; }));
  StopBoth(sim.get(), first.get());

  // The probe takes the first packet; every value after it was printed.
  const auto attention = Printed(first->out(), kAttention);
  const auto sentAttention = Sent(sim->out(), "attention");
  EXPECT_TRUE(EndsWith(sentAttention, attention));
  EXPECT_LE(sentAttention.size() - attention.size(), 1u);
  const auto blinks = Printed(first->out(), kBlink);
  EXPECT_EQ(blinks, Sent(sim->out(), "blink"));
  ExpectOneClickAtThePointerPerBlink(blinks.size());
}

// Both logs on /dev/full, a device on which every write fails: the program
// reads, reports and clicks as ever.
TEST_F(Robust, LogsOnAFullDeviceStopNothing) {
  ASSERT_TRUE(StartDisplay());
  const std::string work = temp.Make("work");
  ASSERT_EQ(symlink("/dev/full", (work + "/streamLog.txt").c_str()), 0);
  ASSERT_EQ(symlink("/dev/full", (work + "/dataLog.txt").c_str()), 0);
  std::unique_ptr<Process> sim = StartSim(3, {"--seed", "3", "--blink-every", "1"});
  ASSERT_NE(sim, nullptr);
  std::unique_ptr<Process> nictate = StartNictate(work, xvfb.display());
  EXPECT_TRUE(WaitUntil({sim.get(), nictate.get()}, &recorder, 40, [&] {
    return Printed(nictate->out(), kBlink).size() >= 12;
  })) << nictate->out();
  StopBoth(sim.get(), nictate.get());

  const auto attention = Printed(nictate->out(), kAttention);
  const auto sentAttention = Sent(sim->out(), "attention");
  EXPECT_GE(attention.size(), 10u);
  EXPECT_TRUE(EndsWith(sentAttention, attention));
  EXPECT_LE(sentAttention.size() - attention.size(), 1u);
  const auto blinks = Printed(nictate->out(), kBlink);
  EXPECT_EQ(blinks, Sent(sim->out(), "blink"));
  ExpectOneClickAtThePointerPerBlink(blinks.size());
  // Still the device: the logs were written through the links, not over them.
  struct stat info;
  ASSERT_EQ(stat((work + "/streamLog.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// Every fault of the hostile stream over a pseudo-terminal, between good
// packets: exactly the good packets' values are printed, and only their
// blinks click.
TEST_F(Robust, BadBytesPrintNoFalseValueAndMakeNoFalseClick) {
  ASSERT_TRUE(StartDisplay());
  PtyPort port;
  ASSERT_TRUE(port.Plug(ports, 2));
  // The probe takes the first packet; the loop prints the second.
  ASSERT_TRUE(port.Send(hostile::Packet({0x04, 1})));
  ASSERT_TRUE(port.Send(hostile::Packet({0x04, 2})));
  std::unique_ptr<Process> nictate = StartNictate(temp.Make("work"), xvfb.display());
  ASSERT_TRUE(WaitUntil({nictate.get()}, &recorder, 40, [&] {
    return !Printed(nictate->out(), kAttention).empty();
  })) << nictate->out();

  std::vector<std::string> expected = {"New attention value: " + Text(2)};
  size_t blinks = 0;
  for (const hostile::Segment &segment : hostile::Segments()) {
    ASSERT_TRUE(port.Send(segment.bytes));
    for (const hostile::Expected &v : segment.values) {
      expected.push_back((v.blink ? kBlink : kAttention) + Text(v.value));
      blinks += v.blink ? 1 : 0;
    }
  }
  const std::string last = expected.back();
  EXPECT_TRUE(WaitUntil({nictate.get()}, &recorder, 20, [&] {
    return nictate->out().find(last) != std::string::npos;
  })) << nictate->out();
  StopBoth(nullptr, nictate.get());

  EXPECT_EQ(e2e::ValueLines(nictate->out()), expected);
  ExpectOneClickAtThePointerPerBlink(blinks);
}

// Every file, network and credentials call of a connected run, blinks and
// clicks included, as strace sees them: files are written only in the
// working directory (the two logs), the only device opened for writing is
// the port, the only connection is to the X server's local socket, and no
// privilege is ever changed.
TEST_F(Robust, WritesOnlyItsTwoLogsOpensNoNetworkAndNeverChangesPrivilege) {
  if (access(NICTATE_STRACE, X_OK) != 0) {
    GTEST_SKIP() << "strace is not installed (scripts/setup installs it)";
  }
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim = StartSim(3, {"--seed", "2", "--blink-every", "1"});
  ASSERT_NE(sim, nullptr);
  const std::string work = temp.Make("work");
  const std::string trace = temp.path() + "/trace";
  SpawnOptions options;
  options.argv = {NICTATE_STRACE, "-f", "-qq", "-o", trace, "-e", "trace=%file,%network,%creds",
                  NICTATE_BINARY};
  options.cwd = work;
  options.setEnv = {{"NICTATE_PORTS", ports}, {"DISPLAY", xvfb.display()}};
  Process nictate(options);
  ASSERT_TRUE(nictate.started());
  EXPECT_TRUE(WaitUntil({sim.get(), &nictate}, &recorder, 40, [&] {
    return Printed(nictate.out(), kBlink).size() >= 2;
  })) << nictate.out();
  StopBoth(sim.get(), &nictate);
  ExpectOneClickAtThePointerPerBlink(Printed(nictate.out(), kBlink).size());

  const std::string log = e2e::ReadFile(trace);
  ASSERT_NE(log.find("\"streamLog.txt\", O_WRONLY|O_CREAT|"), std::string::npos) << log;
  ASSERT_NE(log.find("\"dataLog.txt\", O_WRONLY|O_CREAT|"), std::string::npos) << log;
  const std::vector<std::string> changes = {"unlink",  "rename",   "mkdir",  "rmdir",
                                            "symlink", "link(",    "linkat", "chmod",
                                            "chown",   "truncate", "mknod",  "utime"};
  for (const std::string &line : e2e::Lines(log)) {
    const size_t call = line.find(' ');
    const std::string rest = call == std::string::npos ? line : line.substr(call + 1);
    if (rest.find("open") != std::string::npos &&
        (rest.find("O_WRONLY") != std::string::npos || rest.find("O_RDWR") != std::string::npos ||
         rest.find("O_CREAT") != std::string::npos)) {
      const bool log = rest.find("\"streamLog.txt\"") != std::string::npos ||
                       rest.find("\"dataLog.txt\"") != std::string::npos;
      const bool port = rest.find("\"" + ports + "/com") != std::string::npos;
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
