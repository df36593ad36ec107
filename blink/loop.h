// The blink loop: the program's working state once the headset is connected.
#ifndef NICTATE_BLINK_LOOP_H
#define NICTATE_BLINK_LOOP_H

// Switches blink detection on, then reads one packet at a time for ever:
// "." per packet, "z" and a 200 ms wait per empty read, nothing after a
// failed read; prints every new attention and eye-blink value (flushing
// standard output after each) and clicks once per new eye-blink value, but
// for one that came to the port over a second before (TG_DATA_BLINK_AGE).
// Never returns.
void RunBlinkLoop(int connectionId);

#endif
