// nictate: click the mouse by blinking. Takes no options; the command line is
// ignored.
#include "app/driver.h"

int main() { return RunNictate(); }
