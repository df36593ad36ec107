// Calls the Windows operations the click needs and prints what they return,
// one line each, for the tests that run it where no X server is, or where
// one goes away. At the start it calls all four; then, for every line read
// on standard input until its end, the operations the line names (all four
// for an empty line), in that order:
//
//   GetSystemMetrics 1920 1080      (SM_CXSCREEN, SM_CYSCREEN)
//   GetCursorPos 1 960 540          (FALSE: "GetCursorPos 0")
//   SendInput 0 1                   (a wrong cbSize; one press and release)
//   ClickAtCursor done
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "blink/click.h"

namespace {

void Call(const std::string &operation) {
  if (operation == "GetSystemMetrics") {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    std::printf("GetSystemMetrics %d %d\n", width, height);
  } else if (operation == "GetCursorPos") {
    POINT point = {0, 0};
    if (GetCursorPos(&point)) {
      std::printf("GetCursorPos 1 %d %d\n", static_cast<int>(point.x), static_cast<int>(point.y));
    } else {
      std::printf("GetCursorPos 0\n");
    }
  } else if (operation == "SendInput") {
    INPUT click = {};
    click.type = INPUT_MOUSE;
    click.mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP;
    const UINT wrongSize = SendInput(1, &click, static_cast<int>(sizeof click) - 1);
    const UINT sent = SendInput(1, &click, static_cast<int>(sizeof click));
    std::printf("SendInput %u %u\n", wrongSize, sent);
  } else if (operation == "ClickAtCursor") {
    ClickAtCursor();
    // A round trip of the same connection (the click is over, so the size
    // is asked of the server): the server has handled the click before the
    // line appears.
    (void)GetSystemMetrics(SM_CXSCREEN);
    std::printf("ClickAtCursor done\n");
  } else {
    std::printf("unknown operation %s\n", operation.c_str());
  }
}

void Round(const std::string &line) {
  std::istringstream operations(
      line.empty() ? "GetSystemMetrics GetCursorPos SendInput ClickAtCursor" : line);
  std::string operation;
  while (operations >> operation) {
    Call(operation);
  }
  std::fflush(stdout);
}

}  // namespace

int main() {
  Round("");
  std::string line;
  while (std::getline(std::cin, line)) {
    Round(line);
  }
  return 0;
}
