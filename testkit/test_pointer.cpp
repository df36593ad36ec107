// nictate-test-pointer: a pointer of the test's own, made through nictate's
// way of clicking named by NICTATE_CLICK. A headless compositor has no mouse,
// so its seat has no pointer and no window under one; this moves the pointer
// one pixel right and back, which gives the seat a pointer and puts it over
// the window under it, then says "placed" and keeps its device until its
// standard input ends.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/click_choice.h"
#include "platform/win32.h"

int main() {
  std::string why;
  if (ChooseClickBackend(&why).empty()) {
    std::fprintf(stderr, "nictate-test-pointer: %s\n", why.c_str());
    return 1;
  }
  INPUT move = {};
  move.type = INPUT_MOUSE;
  move.mi.dwFlags = MOUSEEVENTF_MOVE;
  for (LONG dx : {1, -1}) {
    move.mi.dx = dx;
    if (SendInput(1, &move, static_cast<int>(sizeof move)) != 1) {
      std::fprintf(stderr, "nictate-test-pointer: the move did not go through\n");
      return 1;
    }
  }
  std::printf("placed\n");
  std::fflush(stdout);
  char byte;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}
