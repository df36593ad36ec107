// Positions and sizes relative to the primary monitor, wherever it sits on
// the X screen: a private 3840x2160 Xvfb whose primary monitor the tests
// move through RandR, as a desktop with several monitors has it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "blink/click.h"
#include "testkit/recorder.h"
#include "tests/x11/xvfb_environment.h"

// After the test framework, which Xlib's macros (None, Bool) would break.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace {

using testkit::LeftClickAt;

testing::Environment *const kServer =
    testing::AddGlobalTestEnvironment(new XvfbEnvironment("3840x2160"));

class PrimaryMonitor : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(recorder_.Open("", &error)) << error;
    display_ = recorder_.display();
    root_ = DefaultRootWindow(display_);
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display_, root_);
    ASSERT_NE(resources, nullptr);
    ASSERT_EQ(resources->noutput, 1);
    ASSERT_EQ(resources->ncrtc, 1);
    output_ = resources->outputs[0];
    crtc_ = resources->crtcs[0];
    XRRCrtcInfo *crtc = XRRGetCrtcInfo(display_, resources, crtc_);
    ASSERT_NE(crtc, nullptr);
    fullMode_ = crtc->mode;
    XRRFreeCrtcInfo(crtc);
    XRRFreeScreenResources(resources);
  }

  // Back to one output over the whole screen and no primary, for the next
  // test in the same server.
  void TearDown() override {
    if (monitor_ != None) {
      XRRDeleteMonitor(display_, root_, monitor_);
    }
    if (display_ != nullptr) {
      SetCrtc(fullMode_, 0, 0);
      XRRSetOutputPrimary(display_, root_, None);
      XSync(display_, False);
    }
  }

  void SetCrtc(RRMode mode, int x, int y) {
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display_, root_);
    ASSERT_NE(resources, nullptr);
    EXPECT_EQ(XRRSetCrtcConfig(display_, resources, crtc_, CurrentTime, x, y, mode, RR_Rotate_0,
                               &output_, 1),
              RRSetConfigSuccess);
    XRRFreeScreenResources(resources);
  }

  // The one output shows a 1920x1080 mode at (x, y) and is the primary.
  void PrimaryOutputAt(int x, int y) {
    XRRModeInfo info;
    std::memset(&info, 0, sizeof info);
    char name[] = "nictate-1920x1080";
    info.width = 1920;
    info.height = 1080;
    info.dotClock = 148500000;
    info.hSyncStart = 2008;
    info.hSyncEnd = 2052;
    info.hTotal = 2200;
    info.vSyncStart = 1084;
    info.vSyncEnd = 1089;
    info.vTotal = 1125;
    info.name = name;
    info.nameLength = static_cast<unsigned>(std::strlen(name));
    const RRMode mode = XRRCreateMode(display_, root_, &info);
    XRRAddOutputMode(display_, output_, mode);
    SetCrtc(mode, x, y);
    XRRSetOutputPrimary(display_, root_, output_);
    XSync(display_, False);
  }

  // A monitor made by hand (as with xrandr --setmonitor), flagged primary.
  void PrimaryMonitorAt(int x, int y, int width, int height) {
    XRRMonitorInfo *monitor = XRRAllocateMonitor(display_, 0);
    ASSERT_NE(monitor, nullptr);
    monitor_ = XInternAtom(display_, "NICTATE-TEST", False);
    monitor->name = monitor_;
    monitor->primary = True;
    monitor->automatic = False;
    monitor->x = x;
    monitor->y = y;
    monitor->width = width;
    monitor->height = height;
    monitor->mwidth = width / 4;
    monitor->mheight = height / 4;
    XRRSetMonitor(display_, root_, monitor);
    XRRFreeMonitors(monitor);
    XSync(display_, False);
  }

  // Clicks with the pointer at (x, y) on the X screen, and expects the
  // position relative to the primary monitor at (left, top), the click on
  // that pixel and the pointer not moved.
  void ExpectClickAt(int x, int y, int left, int top) {
    recorder_.Warp(x, y);
    POINT point = {-99999, -99999};
    EXPECT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.x, x - left) << "at (" << x << ", " << y << ")";
    EXPECT_EQ(point.y, y - top) << "at (" << x << ", " << y << ")";
    ClickAtCursor();
    GetCursorPos(&point);  // its round trip: the click has been handled
    EXPECT_EQ(recorder_.Take(), LeftClickAt(x, y)) << "at (" << x << ", " << y << ")";
    EXPECT_EQ(recorder_.Pointer(), std::make_pair(x, y));
  }

  testkit::Recorder recorder_;
  Display *display_ = nullptr;
  Window root_ = None;
  RROutput output_ = None;
  RRCrtc crtc_ = None;
  RRMode fullMode_ = None;
  Atom monitor_ = None;
};

TEST_F(PrimaryMonitor, WithoutOneTheWholeScreenCounts) {
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 3840);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 2160);
  ExpectClickAt(0, 0, 0, 0);
  ExpectClickAt(2345, 1678, 0, 0);
  ExpectClickAt(3839, 2159, 0, 0);
}

TEST_F(PrimaryMonitor, APrimaryOutputRightOfTheOrigin) {
  PrimaryOutputAt(1920, 0);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1920);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 1080);
  ExpectClickAt(1920 + 1234, 567, 1920, 0);
  ExpectClickAt(1920, 0, 1920, 0);
  ExpectClickAt(1920 + 960, 540, 1920, 0);
  ExpectClickAt(3839, 1079, 1920, 0);
}

TEST_F(PrimaryMonitor, AMonitorSetByHandAwayFromTheOrigin) {
  PrimaryMonitorAt(1000, 1200, 1600, 900);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1600);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 900);
  ExpectClickAt(1000 + 777, 1200 + 333, 1000, 1200);
  ExpectClickAt(1000, 1200, 1000, 1200);
  ExpectClickAt(2599, 2099, 1000, 1200);
  // Beside the primary monitor the coordinates go negative or past its
  // size, and the click still lands on the pointer.
  ExpectClickAt(10, 20, 1000, 1200);
  ExpectClickAt(999, 1199, 1000, 1200);
  ExpectClickAt(3839, 2159, 1000, 1200);

  // Every click reads the monitor afresh: without it, the whole screen
  // again, and the size that follows is that of the same moment.
  XRRDeleteMonitor(display_, root_, monitor_);
  monitor_ = None;
  XSync(display_, False);
  ExpectClickAt(10, 20, 0, 0);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 3840);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 2160);
}

// The monitor a click's GetCursorPos read serves the rest of that click
// only: a size asked for on its own, a moment later, is read afresh.
TEST_F(PrimaryMonitor, ASizeAskedForOnItsOwnIsNeverLeftOverFromAClick) {
  PrimaryMonitorAt(1000, 1200, 1600, 900);
  POINT point;
  ASSERT_TRUE(GetCursorPos(&point));
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1600);
  XRRDeleteMonitor(display_, root_, monitor_);
  monitor_ = None;
  XSync(display_, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 3840);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 2160);

  // Nor right after a click, which ends with its SendInput.
  PrimaryMonitorAt(1000, 1200, 1600, 900);
  recorder_.Warp(1500, 1500);
  ClickAtCursor();
  XRRDeleteMonitor(display_, root_, monitor_);
  monitor_ = None;
  XSync(display_, False);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 3840);
  EXPECT_EQ(recorder_.Take(), LeftClickAt(1500, 1500));
}

}  // namespace
