// When the stream sends what: a summary packet every second, the raw wave
// at 512 samples a second, blinks at the times asked for, noise between
// packets, a replayed log's chunks at their own times, the port unplugged
// and plugged back, the end. A new source of packets is an event here and a
// Send... function in stream.cpp.
#ifndef NICTATE_TOOLS_SIM_SCHEDULE_H
#define NICTATE_TOOLS_SIM_SCHEDULE_H

#include <signal.h>

#include "tools/sim/stream.h"
#include "tools/sim/terminal.h"

namespace sim {

// Runs the schedule, every event when it is due and a blink per key press,
// until it ends, *stopSignal is set (a byte on wakeFd wakes the wait) or
// the port fails.
void Run(Stream *stream, Keyboard *keyboard, const volatile sig_atomic_t *stopSignal, int wakeFd);

}  // namespace sim

#endif
