// Reading back what a program under test wrote (a whole file, its lines),
// and what the system says of its use of the processor.
#ifndef NICTATE_TESTS_FILES_H
#define NICTATE_TESTS_FILES_H

#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testfiles {

// The file's whole content ("" when it cannot be read).
inline std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// The lines of text (the last one only if it ends with a line end).
inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The user plus system time a process has used so far, in clock ticks
// (sysconf(_SC_CLK_TCK) a second), from /proc; -1 when it cannot be read.
inline long CpuTicks(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');
  if (end == std::string::npos || end + 2 > stat.size()) {
    return -1;
  }
  // After the name: the state (field 3) ... utime (14) and stime (15).
  std::istringstream fields(stat.substr(end + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n == 14) {
      utime = std::atol(field.c_str());
    } else if (n == 15) {
      stime = std::atol(field.c_str());
    }
  }
  return utime + stime;
}

}  // namespace testfiles

#endif
