#include "testkit/procfs.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "testkit/files.h"

namespace testkit {

long long CpuTicks(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // After the name, which may hold spaces: the state (field 3) ... utime
  // (14) and stime (15).
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) {
    return -1;
  }
  std::istringstream fields(stat.substr(end + 1));
  std::string field;
  long long ticks = 0;
  int n = 3;
  for (; n <= 15 && fields >> field; ++n) {
    ticks += n >= 14 ? std::atoll(field.c_str()) : 0;
  }
  return n == 16 ? ticks : -1;
}

double CpuSeconds(pid_t pid) {
  const long long ticks = CpuTicks(pid);
  return ticks < 0 ? -1 : static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int OpenDescriptors() {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  int count = 0;
  while (readdir(dir) != nullptr) {
    ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace testkit
