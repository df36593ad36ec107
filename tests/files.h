// Reading back what a program under test wrote: a whole file, and its lines.
#ifndef NICTATE_TESTS_FILES_H
#define NICTATE_TESTS_FILES_H

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

}  // namespace testfiles

#endif
