// The click and the Windows operations under it, on a real X server: a
// private 1920x1080 Xvfb, and a recorder that sees every button the server
// delivers and where the pointer was.
#include <gtest/gtest.h>

#include <vector>

#include "blink/click.h"
#include "testkit/recorder.h"
#include "tests/x11/xvfb_environment.h"

namespace {

using testkit::Button;
using testkit::LeftClickAt;

testing::Environment *const kServer =
    testing::AddGlobalTestEnvironment(new XvfbEnvironment("1920x1080"));

// Waits until the server has handled every request the code under test has
// made: its own connection's round trip (XQueryPointer) comes after them.
void RoundTripOfTheCodeUnderTest() {
  POINT point;
  GetCursorPos(&point);
}

class X11Click : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(recorder_.Open("", &error)) << error;
  }

  // Places the pointer, clicks as one blink does, and returns what the
  // recorder saw.
  std::vector<Button> ClickAt(int x, int y) {
    recorder_.Warp(x, y);
    ClickAtCursor();
    RoundTripOfTheCodeUnderTest();
    return recorder_.Take();
  }

  // Sends the records and returns what the recorder saw.
  std::vector<Button> Send(std::vector<INPUT> records, UINT expectedResult, int cbSize) {
    EXPECT_EQ(SendInput(static_cast<UINT>(records.size()), records.data(), cbSize), expectedResult);
    RoundTripOfTheCodeUnderTest();
    return recorder_.Take();
  }

  testkit::Recorder recorder_;
};

INPUT MouseRecord(DWORD flags, LONG dx = 0, LONG dy = 0) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  input.mi.dx = dx;
  input.mi.dy = dy;
  input.mi.dwFlags = flags;
  return input;
}

const DWORD kClickFlags =
    MOUSEEVENTF_MOVE | MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;

TEST_F(X11Click, CornersEdgesAndCentreLandOnThePointersOwnPixel) {
  const std::pair<int, int> points[] = {
      {0, 0},       {1919, 1079}, {960, 540}, {1919, 0},   {0, 1079},   {1, 1},
      {1918, 1078}, {959, 539},   {961, 541}, {1233, 566}, {1235, 568}, {7, 1071},
  };
  for (const auto &p : points) {
    EXPECT_EQ(ClickAt(p.first, p.second), LeftClickAt(p.first, p.second))
        << "pointer at (" << p.first << ", " << p.second << ")";
    EXPECT_EQ(recorder_.Pointer(), p);
  }
}

TEST_F(X11Click, EveryColumnAndEveryRowLandsOnItsOwnPixel) {
  int misses = 0;
  for (int x = 0; x < 1920 && misses < 5; ++x) {
    const auto seen = ClickAt(x, 567);
    if (seen != LeftClickAt(x, 567)) {
      ADD_FAILURE() << "column " << x << ": " << testing::PrintToString(seen);
      ++misses;
    }
  }
  for (int y = 0; y < 1080 && misses < 5; ++y) {
    const auto seen = ClickAt(1234, y);
    if (seen != LeftClickAt(1234, y)) {
      ADD_FAILURE() << "row " << y << ": " << testing::PrintToString(seen);
      ++misses;
    }
  }
}

TEST_F(X11Click, CursorAndScreenSizeAreThePointerAndTheScreen) {
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1920);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 1080);
  for (int index : {-1, 2, 78, 80}) {
    EXPECT_EQ(GetSystemMetrics(index), 0) << "index " << index;
  }
  recorder_.Warp(1234, 567);
  POINT point = {-5, -5};
  ASSERT_TRUE(GetCursorPos(&point));
  EXPECT_EQ(point.x, 1234);
  EXPECT_EQ(point.y, 567);
  recorder_.Warp(1919, 0);
  ASSERT_TRUE(GetCursorPos(&point));
  EXPECT_EQ(point.x, 1919);
  EXPECT_EQ(point.y, 0);
  EXPECT_FALSE(GetCursorPos(nullptr));
}

TEST_F(X11Click, SendInputWithAWrongRecordSizeInjectsNothing) {
  recorder_.Warp(100, 200);
  INPUT click =
      MouseRecord(kClickFlags, NormalizeCoordinate(700, 1920), NormalizeCoordinate(300, 1080));
  const int size = static_cast<int>(sizeof(INPUT));
  for (int wrong : {0, 1, size - 1, size + 1, size + 8, -size}) {
    EXPECT_EQ(Send({click}, 0, wrong), std::vector<Button>()) << "cbSize " << wrong;
  }
  EXPECT_EQ(SendInput(1, nullptr, size), 0u);
  EXPECT_EQ(Send({}, 0, size), std::vector<Button>());
  EXPECT_EQ(recorder_.Pointer(), std::make_pair(100, 200));
}

// The one record of a click moves first, then presses and releases there.
TEST_F(X11Click, OneRecordMovesThenPressesAndReleases) {
  recorder_.Warp(10, 10);
  const INPUT click =
      MouseRecord(kClickFlags, NormalizeCoordinate(700, 1920), NormalizeCoordinate(300, 1080));
  EXPECT_EQ(Send({click}, 1, sizeof(INPUT)), LeftClickAt(700, 300));
  EXPECT_EQ(recorder_.Pointer(), std::make_pair(700, 300));
}

// Windows floors n * size / 65536; rounding would land half the values a
// pixel further right or down.
TEST_F(X11Click, AnAbsoluteCoordinateIsFlooredToItsPixel) {
  const struct {
    LONG dx, dy;
    int x, y;
  } cases[] = {
      {0, 0, 0, 0},
      {34, 60, 0, 0},              // 0.996, 0.989
      {35, 61, 1, 1},              // 1.025, 1.005
      {32767, 32767, 959, 539},    // 959.97, 539.98
      {32768, 32768, 960, 540},    // 960, 540
      {65535, 65535, 1919, 1079},  // 1919.97, 1079.98
  };
  for (const auto &c : cases) {
    recorder_.Warp(300, 300);
    EXPECT_EQ(Send({MouseRecord(kClickFlags, c.dx, c.dy)}, 1, sizeof(INPUT)), LeftClickAt(c.x, c.y))
        << "(" << c.dx << ", " << c.dy << ")";
  }
}

TEST_F(X11Click, SendInputCountsTheRecordsItInjectedInOrder) {
  recorder_.Warp(10, 10);
  const std::vector<INPUT> records = {
      MouseRecord(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, NormalizeCoordinate(1919, 1920),
                  NormalizeCoordinate(1079, 1080)),
      MouseRecord(MOUSEEVENTF_LEFTDOWN),
      MouseRecord(MOUSEEVENTF_LEFTUP),
      MouseRecord(MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP),
  };
  EXPECT_EQ(Send(records, 4, sizeof(INPUT)), (std::vector<Button>{{true, 1, 1919, 1079},
                                                                  {false, 1, 1919, 1079},
                                                                  {true, 1, 1919, 1079},
                                                                  {false, 1, 1919, 1079}}));

  // A record that is not a mouse record (1 is a key) ends the injection.
  INPUT key = {};
  key.type = 1;
  EXPECT_EQ(Send({MouseRecord(MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP), key,
                  MouseRecord(MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP)},
                 1, sizeof(INPUT)),
            LeftClickAt(1919, 1079));
}

}  // namespace
