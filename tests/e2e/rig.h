// The rig of a test of the whole program: a private working directory and
// port map, simulated headsets published in it, nictate run as a user runs
// it, and a private X display with the pointer at an odd spot and a recorder
// of what lands on it. Each test has its own, so ctest runs them side by
// side. Needs NICTATE_BINARY and NICTATE_SIM_BINARY, the built programs.
#ifndef NICTATE_TESTS_E2E_RIG_H
#define NICTATE_TESTS_E2E_RIG_H

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testkit/files.h"
#include "testkit/process.h"
#include "testkit/recorder.h"
#include "testkit/transcript.h"
#include "testkit/xvfb.h"

namespace e2e {

using testkit::Process;

const int kPointerX = 1234;
const int kPointerY = 567;

// The values the simulator sent under a name ("blink 53"), as nictate
// prints them, from the first line that holds `from` on.
inline std::vector<std::string> Sent(const std::string &out, const std::string &name,
                                     size_t from = 0) {
  std::vector<std::string> values;
  for (const std::string &line : testkit::Lines(out.substr(from))) {
    if (line.compare(0, name.size() + 1, name + " ") == 0) {
      values.push_back(testkit::Printed(std::atof(line.c_str() + name.size() + 1)));
    }
  }
  return values;
}

class Rig : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp.path().empty());
    ports = temp.Make("ports");
  }

  // Reads every process and the recorder until done() holds or the seconds
  // run out.
  bool Wait(const std::vector<Process *> &processes, double seconds,
            const std::function<bool()> &done) {
    return testkit::WaitUntil(processes, seconds, done, &recorder);
  }

  // A simulated headset on COM<com>, once it has published its port.
  std::unique_ptr<Process> StartSim(int com, const std::vector<std::string> &args) {
    testkit::Command command;
    command.argv = {NICTATE_SIM_BINARY, "--com", std::to_string(com), "--ports", ports};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    std::unique_ptr<Process> sim(new Process(command));
    const std::string ready = "nictate-sim: COM" + std::to_string(com) + " is /dev/";
    if (!sim->started() || !Wait({sim.get()}, 10, [&] {
          const size_t at = sim->out().find(ready);
          return at != std::string::npos && sim->out().find('\n', at) != std::string::npos;
        })) {
      ADD_FAILURE() << "the simulator did not publish COM" << com << ": " << sim->err();
      return nullptr;
    }
    return sim;
  }

  // nictate in the working directory `work`, on the private port map, with
  // the display given (none when empty).
  std::unique_ptr<Process> StartNictate(const std::string &work, const std::string &display,
                                        const std::vector<std::string> &args = {}) {
    testkit::Command command;
    command.argv = {NICTATE_BINARY};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    command.cwd = work;
    command.env = {"NICTATE_PORTS=" + ports, display.empty() ? "DISPLAY" : "DISPLAY=" + display};
    std::unique_ptr<Process> nictate(new Process(command));
    EXPECT_TRUE(nictate->started()) << nictate->error();
    return nictate;
  }

  // Ends the simulator first (the headset is unplugged, so nothing new
  // reaches nictate), then lets nictate print what it had read and ends it
  // (it never ends by itself once connected).
  void StopBoth(Process *sim, Process *nictate) {
    if (sim != nullptr) {
      sim->Signal(SIGTERM);
      ASSERT_TRUE(testkit::WaitExit(sim, 10));
      EXPECT_EQ(sim->ExitCode(), 0) << sim->err();
      EXPECT_FALSE(testkit::Exists(ports + "/com3")) << "the simulator left its link behind";
    }
    Wait({nictate}, 1.5, [] { return false; });
    EXPECT_TRUE(nictate->Running()) << "nictate ended by itself:\n" << nictate->out();
    nictate->Stop();
    recorder.Sync();
  }

  // The private display with the pointer at its odd spot and the recorder
  // on it.
  bool StartDisplay() {
    std::string error;
    if (!xvfb.Start("1920x1080", &error) || !recorder.Open(xvfb.name(), &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    recorder.Warp(kPointerX, kPointerY);
    return true;
  }

  // Exactly one left press and release per blink, each at the pointer's
  // pixel, no other button event, and the pointer where it was placed.
  void ExpectOneClickAtThePointerPerBlink(size_t blinks) {
    std::vector<testkit::Button> clicks;
    const std::vector<testkit::Button> click = testkit::LeftClickAt(kPointerX, kPointerY);
    for (size_t i = 0; i < blinks; ++i) {
      clicks.insert(clicks.end(), click.begin(), click.end());
    }
    EXPECT_EQ(recorder.Take(), clicks);
    EXPECT_EQ(recorder.motions,
              (std::vector<std::pair<int, int>>(recorder.motions.size(), {kPointerX, kPointerY})))
        << "the pointer moved";
    EXPECT_EQ(recorder.Pointer(), std::make_pair(kPointerX, kPointerY));
  }

  testkit::TempDir temp{"nictate-e2e"};
  std::string ports;
  testkit::Xvfb xvfb;
  testkit::Recorder recorder;
};

}  // namespace e2e

#endif
