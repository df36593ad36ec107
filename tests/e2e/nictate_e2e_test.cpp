// The built nictate, run as a user runs it: a real process with standard
// input at its end, its two streams read as they come, a simulated headset
// on a pseudo-terminal in a private port map, and a private X display on
// which every click is recorded. Each case has its own display, port map and
// working directory, so ctest runs them side by side.
//
// nictate's standard output goes to a pipe here and is fully buffered: it
// leaves the program when a value line flushes it (or in the pause). The
// checks therefore look at value lines and at the transcript before them,
// never at marks that may still sit in the buffer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/rig.h"

namespace {

using e2e::Printed;
using e2e::Process;
using e2e::Sent;
using e2e::ValueLines;
using e2e::WaitExit;
using e2e::WaitUntil;

using e2e::Attempt;
using e2e::Exists;
using e2e::Header;
using e2e::kAttention;
using e2e::kBlink;
using e2e::kConnectError;
using e2e::kIdLine;
using e2e::kOpenFailed;

std::vector<std::string> Slice(const std::vector<std::string> &values, size_t from, size_t count) {
  if (from > values.size()) {
    return {};
  }
  count = std::min(count, values.size() - from);
  return std::vector<std::string>(values.begin() + from, values.begin() + from + count);
}

class NictateRun : public e2e::Rig {
 protected:
  // Unplugs the headset by ending the simulator, so nothing new reaches
  // nictate, lets nictate print what it had read, then ends it.
  void StopBoth(Process *sim, Process *nictate) {
    sim->Signal(SIGTERM);
    ASSERT_TRUE(WaitExit(sim, 10));
    EXPECT_TRUE(WIFEXITED(sim->status()) && WEXITSTATUS(sim->status()) == 0) << sim->err();
    EXPECT_FALSE(Exists(ports + "/com3")) << "the simulator left its link behind";
    StopNictate(nictate);
  }
};

// The scan's transcript for a device on COM3 with COM0-2 empty, up to the
// connection.
std::string ConnectedOnCom3Out() {
  return Header() + Attempt(0) + kOpenFailed + Attempt(1) + kOpenFailed + Attempt(2) + kOpenFailed +
         Attempt(3) + "Connection available...\nOK\nconnection established";
}

std::string ConnectedOnCom3Err() {
  return std::string(kIdLine) + "0" + kConnectError + "1" + kConnectError + "2" + kConnectError +
         "3";
}

TEST_F(NictateRun, NoDeviceGivesTheFailureTranscriptAtOnceWhateverTheArguments) {
  const std::string out = e2e::NoDeviceOut();
  const std::string err = e2e::NoDeviceErr();

  const std::vector<std::vector<std::string>> commandLines = {{}, {"--help", "COM3", "-v"}};
  for (size_t i = 0; i < commandLines.size(); ++i) {
    SCOPED_TRACE("arguments: " + std::to_string(commandLines[i].size()));
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<Process> nictate =
        StartNictate(temp.Make("work" + std::to_string(i)), "", commandLines[i]);
    ASSERT_TRUE(WaitExit(nictate.get(), 20));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    nictate->Drain();
    EXPECT_EQ(nictate->out(), out);
    EXPECT_EQ(nictate->err(), err);
    ASSERT_TRUE(WIFEXITED(nictate->status()));
    EXPECT_EQ(WEXITSTATUS(nictate->status()), 1);
    // No port opened, so no 10-second wait: the bound only tells the two apart.
    EXPECT_LT(seconds, 3.0);
    const std::string work = temp.path() + "/work" + std::to_string(i);
    EXPECT_TRUE(Exists(work + "/streamLog.txt"));
    EXPECT_TRUE(Exists(work + "/dataLog.txt"));
    EXPECT_EQ(e2e::ReadFile(work + "/streamLog.txt"), "");
  }
}

TEST_F(NictateRun, DeviceOnCom3PrintsItsValuesAndEachBlinkClicksOnceAtThePointer) {
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim = StartSim(3, {"--seed", "7", "--blink-every", "2"});
  ASSERT_NE(sim, nullptr);
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<Process> nictate = StartNictate(temp.Make("work"), xvfb.display());
  // The port opened, so the probe (and the first value) waits 10 seconds.
  ASSERT_TRUE(WaitUntil({sim.get(), nictate.get()}, &recorder, 40, [&] {
    return !Printed(nictate->out(), kAttention).empty();
  })) << nictate->out();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  // The blinks of the 10-second wait come in a burst, then they come live.
  const size_t kBlinks = 7;
  const bool enough = WaitUntil({sim.get(), nictate.get()}, &recorder, 60, [&] {
    return Printed(nictate->out(), kBlink).size() >= kBlinks &&
           recorder.buttons.size() >= 2 * kBlinks;
  });
  EXPECT_TRUE(enough) << nictate->out();
  StopBoth(sim.get(), nictate.get());

  const std::string expected = ConnectedOnCom3Out();
  EXPECT_EQ(nictate->out().substr(0, expected.size()), expected);
  EXPECT_EQ(nictate->err(), ConnectedOnCom3Err());

  // The probe takes the first packet; every attention value after it is
  // printed, in the order sent.
  const auto attention = Printed(nictate->out(), kAttention);
  EXPECT_GE(attention.size(), 10u);
  EXPECT_EQ(attention, Slice(Sent(sim->out(), "attention"), 1, attention.size()));
  const auto blinks = Printed(nictate->out(), kBlink);
  EXPECT_GE(blinks.size(), kBlinks);
  EXPECT_EQ(blinks, Slice(Sent(sim->out(), "blink"), 0, blinks.size()));
  ExpectOneClickAtThePointerPerBlink(blinks.size());
}

TEST_F(NictateRun, SilentPortFailsItsProbeAndTheScanGoesOnToTheDevice) {
  std::unique_ptr<Process> silent = StartSim(1, {"--silent"});
  ASSERT_NE(silent, nullptr);
  std::unique_ptr<Process> sim = StartSim(3, {"--seed", "4"});
  ASSERT_NE(sim, nullptr);
  std::unique_ptr<Process> nictate = StartNictate(temp.Make("work"), "");

  const bool connected = WaitUntil({silent.get(), sim.get(), nictate.get()}, nullptr, 60,
                                   [&] { return !Printed(nictate->out(), kAttention).empty(); });
  EXPECT_TRUE(connected) << nictate->out();
  StopBoth(sim.get(), nictate.get());

  const std::string expected = Header() + Attempt(0) + kOpenFailed + Attempt(1) +
                               "Connection available...\n"
                               "FAILED reading (0 bytes on the stream)\n" +
                               Attempt(2) + kOpenFailed + Attempt(3) +
                               "Connection available...\nOK\nconnection established";
  EXPECT_EQ(nictate->out().substr(0, expected.size()), expected);
  // A failed probe writes nothing to the error stream: "1" runs into "2".
  EXPECT_EQ(nictate->err(),
            std::string(kIdLine) + "0" + kConnectError + "12" + kConnectError + "3");
  const auto attention = Printed(nictate->out(), kAttention);
  EXPECT_EQ(attention, Slice(Sent(sim->out(), "attention"), 1, attention.size()));
  EXPECT_EQ(silent->out().find('\n'), silent->out().size() - 1) << "the silent port sent values";
}

TEST_F(NictateRun, GarbageBetweenPacketsLosesNoValueAndMakesNoClick) {
  ASSERT_TRUE(StartDisplay());
  std::unique_ptr<Process> sim = StartSim(3, {"--seed", "11", "--garbage", "--blink-every", "2"});
  ASSERT_NE(sim, nullptr);
  std::unique_ptr<Process> nictate = StartNictate(temp.Make("work"), xvfb.display());

  const size_t kBlinks = 6;
  const bool enough = WaitUntil({sim.get(), nictate.get()}, &recorder, 60, [&] {
    return Printed(nictate->out(), kBlink).size() >= kBlinks &&
           recorder.buttons.size() >= 2 * kBlinks;
  });
  EXPECT_TRUE(enough) << nictate->out();
  StopBoth(sim.get(), nictate.get());

  // The run did carry noise and blink packets with bad checksums.
  EXPECT_GE(Sent(sim->out(), "garbage").size(), 10u);
  EXPECT_GE(Sent(sim->out(), "corrupt blink").size(), 3u);

  const std::string expected = ConnectedOnCom3Out();
  EXPECT_EQ(nictate->out().substr(0, expected.size()), expected);
  const auto attention = Printed(nictate->out(), kAttention);
  EXPECT_GE(attention.size(), 8u);
  EXPECT_EQ(attention, Slice(Sent(sim->out(), "attention"), 1, attention.size()));
  // Only the good blink packets print and click.
  const auto blinks = Printed(nictate->out(), kBlink);
  EXPECT_EQ(blinks, Slice(Sent(sim->out(), "blink"), 0, blinks.size()));
  ExpectOneClickAtThePointerPerBlink(blinks.size());
}

// The bytes of a stream log, without the times.
std::string LoggedBytes(const std::string &log) {
  std::string bytes;
  for (const auto &line : e2e::Lines(log)) {
    const size_t space = line.find(' ');
    if (space != std::string::npos) {
      bytes += line.substr(space);
    }
  }
  return bytes;
}

TEST_F(NictateRun, ReplayedStreamLogGivesTheSameValuesInASecondRun) {
  std::vector<std::string> firstValues;
  std::string firstLog;
  {
    std::unique_ptr<Process> sim = StartSim(3, {"--seed", "21", "--blink-every", "1.5"});
    ASSERT_NE(sim, nullptr);
    std::unique_ptr<Process> nictate = StartNictate(temp.Make("first"), "");
    EXPECT_TRUE(WaitUntil({sim.get(), nictate.get()}, nullptr, 60,
                          [&] { return Printed(nictate->out(), kBlink).size() >= 4; }));
    StopBoth(sim.get(), nictate.get());
    firstValues = ValueLines(nictate->out());
    firstLog = e2e::ReadFile(temp.path() + "/first/streamLog.txt");
  }
  ASSERT_GE(firstValues.size(), 10u);
  ASSERT_FALSE(firstLog.empty());

  std::unique_ptr<Process> replay = StartSim(3, {"--replay", temp.path() + "/first/streamLog.txt"});
  ASSERT_NE(replay, nullptr);
  std::unique_ptr<Process> nictate = StartNictate(temp.Make("second"), "");
  EXPECT_TRUE(WaitUntil({replay.get(), nictate.get()}, nullptr, 60,
                        [&] { return ValueLines(nictate->out()).size() >= firstValues.size(); }));
  // Time for anything beyond the first run's values to show.
  WaitUntil({replay.get(), nictate.get()}, nullptr, 1.5, [] { return false; });
  StopBoth(replay.get(), nictate.get());

  EXPECT_EQ(ValueLines(nictate->out()), firstValues);
  EXPECT_EQ(LoggedBytes(e2e::ReadFile(temp.path() + "/second/streamLog.txt")),
            LoggedBytes(firstLog));
}

}  // namespace
