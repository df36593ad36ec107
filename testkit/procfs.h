// What /proc says of a process's use of the machine, for the tests of
// leaks and waits and for the benchmarks. Each is -1 where it cannot be read.
#ifndef NICTATE_TESTKIT_PROCFS_H
#define NICTATE_TESTKIT_PROCFS_H

#include <sys/types.h>

namespace testkit {

// User plus system time so far, in clock ticks (sysconf(_SC_CLK_TCK) a
// second), from /proc/PID/stat.
long long CpuTicks(pid_t pid);
// The same in seconds.
double CpuSeconds(pid_t pid);
// The descriptors this process has open (and one for the listing itself).
int OpenDescriptors();

}  // namespace testkit

#endif
