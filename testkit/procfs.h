// What /proc says of a process's use of the machine, for the tests of
// leaks and waits and for the benchmarks. Each is -1 (or false) where it
// cannot be read.
#ifndef NICTATE_TESTKIT_PROCFS_H
#define NICTATE_TESTKIT_PROCFS_H

#include <sys/types.h>

namespace testkit {

// User plus system time so far, in clock ticks (sysconf(_SC_CLK_TCK) a
// second), from /proc/PID/stat.
long long CpuTicks(pid_t pid);
// The same in seconds.
double CpuSeconds(pid_t pid);
// The time the scheduler has run it, in nanoseconds: the first field of
// /proc/PID/schedstat, exact where CpuTicks is sampled at the clock tick.
long long RunNs(pid_t pid);
// A "Name:   1234 kB" field of /proc/PID/status (VmRSS, VmHWM), in KiB.
long StatusKiB(pid_t pid, const char *name);
// The descriptors this process has open (and one for the listing itself).
int OpenDescriptors();
// The CPUs' time the host took from this machine (steal) and all their
// time, in clock ticks, from /proc/stat.
bool StealTicks(long long *steal, long long *total);

}  // namespace testkit

#endif
