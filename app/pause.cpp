#include <cstdio>

#include "app/driver.h"

void PauseForEnter(void) {
  std::printf("\n");
  std::printf("Press the ENTER key...\n");
  std::fflush(stdout);
  // One character, or end of input: either way the wait is over.
  (void)std::getchar();
}
