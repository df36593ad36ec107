#include "testkit/procfs.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "testkit/files.h"

namespace testkit {

namespace {

std::string ProcFile(pid_t pid, const char *name) {
  return ReadFile("/proc/" + std::to_string(pid) + "/" + name);
}

}  // namespace

long long CpuTicks(pid_t pid) {
  const std::string stat = ProcFile(pid, "stat");
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
    if (n >= 14) {
      ticks += std::atoll(field.c_str());
    }
  }
  return n == 16 ? ticks : -1;
}

double CpuSeconds(pid_t pid) {
  const long long ticks = CpuTicks(pid);
  return ticks < 0 ? -1 : static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long long RunNs(pid_t pid) {
  const std::string text = ProcFile(pid, "schedstat");
  return text.empty() ? -1 : std::atoll(text.c_str());
}

long StatusKiB(pid_t pid, const char *name) {
  const std::string status = ProcFile(pid, "status");
  const std::string key = "\n" + std::string(name) + ":";
  const size_t at = status.find(key);
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + key.size(), nullptr, 10);
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

bool StealTicks(long long *steal, long long *total) {
  long long v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  if (std::sscanf(ReadFile("/proc/stat").c_str(), "cpu %lld %lld %lld %lld %lld %lld %lld %lld",
                  &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]) != 8) {
    return false;
  }
  *steal = v[7];
  *total = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
  return true;
}

}  // namespace testkit
