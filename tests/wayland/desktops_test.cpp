// nictate's way of clicking on real headless compositors, through
// nictate-click, the check a user makes: it names the way chosen for the
// desktop, and its one click lands in the Wayland window under the pointer,
// once, with no move of the pointer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testkit/compositor.h"
#include "testkit/process.h"

namespace {

using testkit::Compositor;
using testkit::Desktop;
using testkit::Process;

struct Case {
  const char *name;
  Desktop desktop;
  const char *way;  // the way chosen, and the test's pointer's
};

const Case kCases[] = {
    {"Sway", Desktop::kSway, "wlroots"},
    {"SwayWithXwayland", Desktop::kSwayWithXwayland, "wlroots"},
    {"Mutter", Desktop::kMutter, "mutter"},
    {"Kwin", Desktop::kKwin, "kde"},
};

// The button and motion lines, the ones a click may make.
std::vector<std::string> Clicks(const std::string &out, size_t from) {
  std::vector<std::string> clicks;
  for (const std::string &event : testkit::PointerEvents(out, from)) {
    if (event.compare(0, 6, "enter ") != 0 && event != "leave") {
      clicks.push_back(event);
    }
  }
  return clicks;
}

class OnDesktop : public ::testing::TestWithParam<Case> {};

TEST_P(OnDesktop, NictateClickNamesTheWayAndClicksOnceInTheWindowUnderThePointer) {
  const Case &c = GetParam();
  Compositor compositor;
  std::string error;
  if (!compositor.Start(c.desktop, &error, {NICTATE_CLICK_BINARY})) {
    if (compositor.missing()) {
      GTEST_SKIP() << error;
    }
    FAIL() << error;
  }
  std::unique_ptr<Process> window = compositor.StartWindow(&error);
  ASSERT_NE(window, nullptr) << error << compositor.log();
  std::unique_ptr<Process> pointer = compositor.StartPointer(c.way, &error);
  ASSERT_NE(pointer, nullptr) << error << compositor.log();
  ASSERT_TRUE(testkit::WaitUntil({window.get()}, 10, [&] {
    return window->out().find("\nenter ") != std::string::npos;
  })) << window->out();
  // The test's pointer's moves are over.
  (void)testkit::WaitUntil({window.get()}, 0.3, [] { return false; });
  const size_t before = window->out().size();

  testkit::Command command;
  command.argv = {NICTATE_CLICK_BINARY, "--wait", "0"};
  command.env = compositor.env();
  command.env.push_back("NICTATE_CLICK");
  Process click(command);
  ASSERT_TRUE(testkit::WaitExit(&click, 30));
  const std::string way = c.way;
  EXPECT_EQ(click.out(), "nictate-click: clicks through " + way +
                             "\nnictate-click: one left click in 0 seconds, where the pointer "
                             "is then\nnictate-click: clicked through " +
                             way + "\n");
  EXPECT_EQ(click.err(), "");
  EXPECT_EQ(click.ExitCode(), 0);

  const std::vector<std::string> once = {"button 272 pressed", "button 272 released"};
  EXPECT_TRUE(testkit::WaitUntil({window.get()}, 5,
                                 [&] { return Clicks(window->out(), before).size() >= 2; }));
  (void)testkit::WaitUntil({window.get()}, 0.5, [] { return false; });
  EXPECT_EQ(Clicks(window->out(), before), once) << window->out();
}

INSTANTIATE_TEST_SUITE_P(Compositors, OnDesktop, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
