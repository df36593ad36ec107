// The program driver: the fixed sequence of stages from start to the blink
// loop, and the one failure ending.
#ifndef NICTATE_APP_DRIVER_H
#define NICTATE_APP_DRIVER_H

// Runs the program: reports the library's version, obtains a connection id,
// names the two logs, scans the ports and, once connected, runs the blink
// loop, which never returns. On any failure it reports it, pauses for ENTER
// and returns the exit status, 1.
int RunNictate(void);

// Writes "\n" and "Press the ENTER key...\n" to standard output, flushes it
// and reads one character from standard input (returns at once when standard
// input is at its end).
void PauseForEnter(void);

#endif
