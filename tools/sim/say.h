// What the simulator says: each line on standard output is its report (a
// port published, a value sent), flushed as it happens; trouble goes to
// standard error under its name.
#ifndef NICTATE_TOOLS_SIM_SAY_H
#define NICTATE_TOOLS_SIM_SAY_H

namespace sim {

const char kName[] = "nictate-sim";

// Writes to standard output. A reader that went away does not stop the
// device, so write errors there are dropped.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void FlushSaid(void);

}  // namespace sim

#endif
