// The built nictate on Linux desktops without an X display: under headless
// sway and mutter each blink clicks once in the Wayland window under the
// pointer, which does not move; under sway with XWayland too, XTest not
// chosen. On the text console with nothing to click through, one line on the
// error stream says why, once, and the blinks are still printed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testkit/compositor.h"
#include "tests/e2e/rig.h"

namespace {

using testkit::Desktop;
using testkit::kBlink;
using testkit::Printed;
using testkit::Process;

class NictateOnDesktop : public e2e::Rig {
 protected:
  // nictate on the simulated headset on COM3, a blink a second, in the
  // environment given, until it has printed `blinks` blinks.
  std::unique_ptr<Process> RunUntilBlinks(const std::vector<std::string> &env, size_t blinks,
                                          std::unique_ptr<Process> *sim,
                                          const std::vector<Process *> &others = {}) {
    *sim = StartSim(3, {"--seed", "4", "--blink-every", "1"});
    if (*sim == nullptr) {
      return nullptr;
    }
    testkit::Command command;
    command.argv = {NICTATE_BINARY};
    command.cwd = temp.Make("work");
    command.env = env;
    command.env.insert(command.env.end(), {"NICTATE_PORTS=" + ports, "NICTATE_CLICK"});
    std::unique_ptr<Process> nictate(new Process(command));
    std::vector<Process *> all = {sim->get(), nictate.get()};
    all.insert(all.end(), others.begin(), others.end());
    EXPECT_TRUE(Wait(all, 40, [&] { return Printed(nictate->out(), kBlink).size() >= blinks; }))
        << nictate->out() << nictate->err();
    return nictate;
  }

  void ClicksOncePerBlinkInTheWindow(Desktop desktop, const std::string &way) {
    testkit::Compositor compositor;
    std::string error;
    if (!compositor.Start(desktop, &error)) {
      if (compositor.missing()) {
        GTEST_SKIP() << error;
      }
      FAIL() << error;
    }
    std::unique_ptr<Process> window = compositor.StartWindow(&error);
    ASSERT_NE(window, nullptr) << error;
    std::unique_ptr<Process> pointer = compositor.StartPointer(way, &error);
    ASSERT_NE(pointer, nullptr) << error;
    ASSERT_TRUE(Wait({window.get()}, 10,
                     [&] { return window->out().find("\nenter ") != std::string::npos; }));
    (void)Wait({window.get()}, 0.3, [] { return false; });
    const size_t placed = window->out().size();

    std::unique_ptr<Process> sim;
    std::unique_ptr<Process> nictate = RunUntilBlinks(compositor.env(), 3, &sim, {window.get()});
    ASSERT_NE(nictate, nullptr);
    StopBoth(sim.get(), nictate.get());
    (void)Wait({window.get()}, 0.5, [] { return false; });

    EXPECT_EQ(nictate->err(), testkit::FoundErr(0, 3));
    std::vector<std::string> clicks;
    for (size_t i = 0; i < Printed(nictate->out(), kBlink).size(); ++i) {
      clicks.insert(clicks.end(), {"button 272 pressed", "button 272 released"});
    }
    // Nothing but the clicks: no move, no leave.
    EXPECT_EQ(testkit::PointerEvents(window->out(), placed), clicks) << window->out();
  }
};

TEST_F(NictateOnDesktop, SwayWithoutXDisplay) {
  ClicksOncePerBlinkInTheWindow(Desktop::kSway, "wlroots");
}

TEST_F(NictateOnDesktop, SwayWithXwaylandClicksTheWaylandWindowNotThroughXTest) {
  ClicksOncePerBlinkInTheWindow(Desktop::kSwayWithXwayland, "wlroots");
}

TEST_F(NictateOnDesktop, MutterWithoutXDisplay) {
  ClicksOncePerBlinkInTheWindow(Desktop::kMutter, "mutter");
}

TEST_F(NictateOnDesktop, NothingToClickThroughIsSaidOnceAndTheBlinksStillPrint) {
  if (access("/dev/uinput", W_OK) == 0) {
    GTEST_SKIP() << "/dev/uinput is writable here: the console clicks through it";
  }
  std::unique_ptr<Process> sim;
  std::unique_ptr<Process> nictate =
      RunUntilBlinks({"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}, 3, &sim);
  ASSERT_NE(nictate, nullptr);
  StopBoth(sim.get(), nictate.get());
  const std::string found = testkit::FoundErr(0, 3);
  ASSERT_EQ(nictate->err().substr(0, found.size()), found);
  const std::vector<std::string> said = testkit::Lines(nictate->err().substr(found.size()));
  ASSERT_EQ(said.size(), 1u) << nictate->err();
  const std::string start = "nictate: cannot click here (uinput: /dev/uinput: ";
  const std::string end =
      "): blinks are printed but click nothing; run nictate in your desktop session, or see "
      "\"Clicks on Linux desktops\" in its README";
  EXPECT_EQ(said[0].substr(0, start.size()), start);
  EXPECT_EQ(said[0].substr(said[0].size() - std::min(said[0].size(), end.size())), end);
}

}  // namespace
