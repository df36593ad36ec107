// The terminal the simulator runs in, where a key press is a blink: while
// standard input is the terminal in the foreground it is read a key at a
// time, without echo, and put back as it was at the end.
#ifndef NICTATE_TOOLS_SIM_TERMINAL_H
#define NICTATE_TOOLS_SIM_TERMINAL_H

#include <termios.h>

namespace sim {

struct Keyboard {
  bool active = false;
  struct termios saved;
};

// Takes the keys of the terminal, if it is one in the foreground.
void StartKeyboard(Keyboard *keyboard);
// Puts the terminal back.
void StopKeyboard(Keyboard *keyboard);
// The keys pressed since the last call (its end stops the keyboard).
int ReadKeys(Keyboard *keyboard);

}  // namespace sim

#endif
