#include "tools/sim/terminal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tools/sim/say.h"

namespace sim {

void StartKeyboard(Keyboard *keyboard) {
  if (isatty(STDIN_FILENO) != 1 || tcgetpgrp(STDIN_FILENO) != getpgrp()) {
    return;
  }
  if (tcgetattr(STDIN_FILENO, &keyboard->saved) != 0) {
    return;
  }
  struct termios tio = keyboard->saved;
  tio.c_lflag &= ~(ICANON | ECHO);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &tio) != 0) {
    return;
  }
  keyboard->active = true;
  std::fprintf(stderr, "%s: press a key to blink, Ctrl-C to stop\n", kName);
}

void StopKeyboard(Keyboard *keyboard) {
  if (keyboard->active) {
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &keyboard->saved);
    keyboard->active = false;
  }
}

int ReadKeys(Keyboard *keyboard) {
  char keys[64];
  const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
  if (n <= 0 && (n == 0 || (errno != EINTR && errno != EAGAIN))) {
    StopKeyboard(keyboard);
  }
  return n > 0 ? static_cast<int>(n) : 0;
}

}  // namespace sim
