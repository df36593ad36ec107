// The rig of a test of the whole program: a private working directory and
// port map, simulated headsets published in it, nictate run as a user runs
// it, and a private X display with the pointer at an odd spot and a recorder
// of what lands on it. Each test has its own, so ctest runs them side by
// side. Needs NICTATE_BINARY and NICTATE_SIM_BINARY, the built programs,
// and NICTATE_LIBRARY_VERSION, the version the library reports.
#ifndef NICTATE_TESTS_E2E_RIG_H
#define NICTATE_TESTS_E2E_RIG_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

const int kPointerX = 1234;
const int kPointerY = 567;

// The program's texts.
const char kOpenFailed[] =
    "FAILED connection (-2 serialPortName could not be opened as a serial communication port for "
    "any reason.)\n";
const char kConnectError[] = "ERROR: TG_Connect() returned -2.\n";
const char kIdLine[] = "ThinkGear Connection ID is: 0.\n\n";
const char kAttention[] = "New attention value: ";
const char kBlink[] = "New eye blinking value: ";

// The scan's line for a port, on standard output.
inline std::string Attempt(int port) {
  const std::string name = "\\\\.\\COM" + std::to_string(port);
  return "ok" + name + "trying to connect on" + name + "\n";
}

// Standard output's first lines: the library's version, the scan's start.
inline std::string Header() {
  return "ThinkGear DLL version: " + std::to_string(NICTATE_LIBRARY_VERSION) +
         "\nScanning COM ports 0 to 16...\n";
}

// The whole transcript of a run that finds no port to open, on standard
// output and on the error stream.
inline std::string NoDeviceOut() {
  std::string out = Header();
  for (int port = 0; port <= 16; ++port) {
    out += Attempt(port) + kOpenFailed;
  }
  return out + "connection could not be established\nPress the ENTER key...\n";
}

inline std::string NoDeviceErr() {
  std::string err = kIdLine;
  for (int port = 0; port <= 16; ++port) {
    err += std::to_string(port) + kConnectError;
  }
  return err;
}

// Every value line ("New ... value: ...") in order, marks left out.
inline std::vector<std::string> ValueLines(const std::string &out) {
  std::vector<std::string> values;
  for (const auto &line : Lines(out)) {
    const size_t at = line.find("New ");
    if (at != std::string::npos) {
      values.push_back(line.substr(at));
    }
  }
  return values;
}

// The values printed after a label, as printed ("53.000000").
inline std::vector<std::string> Printed(const std::string &out, const std::string &label) {
  std::vector<std::string> values;
  for (const auto &line : Lines(out)) {
    const size_t at = line.find(label);
    if (at != std::string::npos) {
      values.push_back(line.substr(at + label.size()));
    }
  }
  return values;
}

// The values the simulator sent under a name ("blink 53"), as nictate
// prints them, from the first line that holds `from` on.
inline std::vector<std::string> Sent(const std::string &out, const std::string &name,
                                     size_t from = 0) {
  std::vector<std::string> values;
  for (const auto &line : Lines(out.substr(from))) {
    if (line.compare(0, name.size() + 1, name + " ") == 0) {
      char text[64];
      std::snprintf(text, sizeof text, "%f", std::atof(line.c_str() + name.size() + 1));
      values.push_back(text);
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

  // A simulated headset on COM<com>, once it has published its port.
  std::unique_ptr<Process> StartSim(int com, const std::vector<std::string> &args) {
    SpawnOptions options;
    options.argv = {NICTATE_SIM_BINARY, "--com", std::to_string(com), "--ports", ports};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    std::unique_ptr<Process> sim(new Process(options));
    const std::string ready = "nictate-sim: COM" + std::to_string(com) + " is /dev/";
    const bool up =
        sim->started() && WaitUntil({sim.get()}, nullptr, 10, [&] {
          const size_t at = sim->out().find(ready);
          return at != std::string::npos && sim->out().find('\n', at) != std::string::npos;
        });
    if (!up) {
      ADD_FAILURE() << "the simulator did not publish COM" << com << ": " << sim->err();
      return nullptr;
    }
    return sim;
  }

  // nictate in the working directory `work`, on the private port map, with
  // the display given (none when empty).
  std::unique_ptr<Process> StartNictate(const std::string &work, const std::string &display,
                                        const std::vector<std::string> &args = {}) {
    SpawnOptions options;
    options.argv = {NICTATE_BINARY};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.cwd = work;
    options.setEnv = {{"NICTATE_PORTS", ports}};
    if (display.empty()) {
      options.unsetEnv = {"DISPLAY"};
    } else {
      options.setEnv.push_back({"DISPLAY", display});
    }
    std::unique_ptr<Process> nictate(new Process(options));
    EXPECT_TRUE(nictate->started());
    return nictate;
  }

  // Lets nictate print what it had read, then ends it (it never ends by
  // itself once connected).
  void StopNictate(Process *nictate) {
    WaitUntil({nictate}, &recorder, 1.5, [] { return false; });
    EXPECT_TRUE(nictate->Running()) << "nictate ended by itself:\n" << nictate->out();
    nictate->Stop();
    recorder.Sync();
  }

  // The private display with the pointer at its odd spot and the recorder
  // on it.
  bool StartDisplay() {
    std::string error;
    if (!xvfb.Start(&error) || !recorder.Open(xvfb.display(), kPointerX, kPointerY, &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    return true;
  }

  // Exactly one left press and release per blink, each at the pointer's
  // pixel, no other button event, and the pointer where it was placed.
  void ExpectOneClickAtThePointerPerBlink(size_t blinks) {
    ASSERT_EQ(recorder.buttons.size(), 2 * blinks);
    for (size_t i = 0; i < recorder.buttons.size(); ++i) {
      const ButtonEvent &b = recorder.buttons[i];
      EXPECT_EQ(b.press, i % 2 == 0) << "event " << i;
      EXPECT_EQ(b.button, 1u) << "event " << i;
      EXPECT_EQ(b.x, kPointerX) << "event " << i;
      EXPECT_EQ(b.y, kPointerY) << "event " << i;
    }
    for (const auto &m : recorder.motions) {
      EXPECT_EQ(m, std::make_pair(kPointerX, kPointerY)) << "the pointer moved";
    }
    int x = -1;
    int y = -1;
    ASSERT_TRUE(recorder.Pointer(&x, &y));
    EXPECT_EQ(x, kPointerX);
    EXPECT_EQ(y, kPointerY);
  }

  TempDir temp;
  std::string ports;
  Xvfb xvfb;
  XRecorder recorder;
};

}  // namespace e2e

#endif
