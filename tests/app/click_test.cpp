// The click against recorded Windows operations: the record sent, and where
// Windows would put the pointer when it converts the record back.
#include "blink/click.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/app/fakes.h"

namespace {

// Windows' conversion of an absolute coordinate back into a pixel, worked
// out here in floating point as a check of its own on the integer one that
// the click uses (AbsoluteToPixel, platform/win32.h).
long long PixelOf(long long normalized, int extent) {
  return static_cast<long long>(std::floor(static_cast<double>(normalized) * extent / 65536.0));
}

class ClickTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakes(); }

  INPUT ClickAt(LONG x, LONG y, int width = 1920, int height = 1080) {
    gPlatform.cursor = POINT{x, y};
    gPlatform.width = width;
    gPlatform.height = height;
    gPlatform.sent.clear();
    ClickAtCursor();
    EXPECT_EQ(gPlatform.sent.size(), 1u);
    return gPlatform.sent.empty() ? INPUT{} : gPlatform.sent.front();
  }
};

TEST_F(ClickTest, OneAbsoluteMoveWithLeftPressAndReleaseInOneRecord) {
  const INPUT input = ClickAt(960, 540);
  EXPECT_EQ(input.type, 0u);
  EXPECT_EQ(input.mi.dwFlags, 0x8007u);
  EXPECT_EQ(input.mi.mouseData, 0u);
  EXPECT_EQ(input.mi.time, 0u);
  EXPECT_EQ(input.mi.dwExtraInfo, 0u);
  EXPECT_EQ(gLibrary.calls,
            std::vector<std::string>{"SendInput(1, " + std::to_string(sizeof(INPUT)) + ")"});
}

TEST_F(ClickTest, CornerCentreAndOffScreenPositions) {
  INPUT input = ClickAt(0, 0);
  EXPECT_EQ(input.mi.dx, 0);
  EXPECT_EQ(input.mi.dy, 0);
  input = ClickAt(960, 540);
  EXPECT_EQ(input.mi.dx, 32768);
  EXPECT_EQ(input.mi.dy, 32768);
  // The last pixel: one unit above the truncated 65501 / 65475, so that it
  // converts back to the pointer's own pixel.
  input = ClickAt(1919, 1079);
  EXPECT_EQ(input.mi.dx, 65502);
  EXPECT_EQ(input.mi.dy, 65476);
  // Other screens of the desktop: the same formula, no clamping.
  input = ClickAt(-1, 1080);
  EXPECT_EQ(input.mi.dx, -34);
  EXPECT_EQ(input.mi.dy, 65536);
  input = ClickAt(1920, -1);
  EXPECT_EQ(input.mi.dx, 65536);
  EXPECT_EQ(input.mi.dy, -60);
}

TEST_F(ClickTest, EveryPixelConvertsBackToItselfOnCommonWidths) {
  for (int width : {800, 1024, 1080, 1366, 1920, 2560, 3840}) {
    for (LONG x = -width; x < 2 * width; ++x) {
      const LONG n = NormalizeCoordinate(x, width);
      ASSERT_EQ(PixelOf(n, width), x) << "width " << width << " x " << x << " n " << n;
      // Never more than one unit away from the classic formula.
      const LONG classic = static_cast<LONG>((65536.0 / width) * x);
      ASSERT_TRUE(n == classic || n == classic + 1) << width << " " << x;
    }
  }
}

TEST_F(ClickTest, WithoutScreenSizeOrPointerItClicksWhereThePointerIs) {
  struct Case {
    BOOL cursor;
    int width;
    int height;
  } cases[] = {{TRUE, 0, 1080}, {TRUE, 1920, 0}, {TRUE, 0, 0}, {FALSE, 1920, 1080}};
  for (const Case &c : cases) {
    gPlatform.cursorResult = c.cursor;
    const INPUT input = ClickAt(100, 100, c.width, c.height);
    EXPECT_EQ(input.type, 0u);
    EXPECT_EQ(input.mi.dwFlags, 0x0006u);  // left press and release, no move
    EXPECT_EQ(input.mi.dx, 0);
    EXPECT_EQ(input.mi.dy, 0);
  }
}

}  // namespace
