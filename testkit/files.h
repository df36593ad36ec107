// Files the tests and the benchmarks make and read: a private temporary
// directory, and what a program under test wrote.
#ifndef NICTATE_TESTKIT_FILES_H
#define NICTATE_TESTKIT_FILES_H

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testkit {

// A private directory under $TMPDIR (or /tmp), removed with all it holds.
class TempDir {
 public:
  explicit TempDir(const std::string &name = "nictate-test") {
    const char *base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
    path_ = mkdtemp(&pattern[0]) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }  // empty when it could not be made
  // Makes a subdirectory and returns its path.
  std::string Make(const std::string &name) const {
    (void)mkdir((path_ + "/" + name).c_str(), 0755);
    return path_ + "/" + name;
  }
  // Writes a file in it and returns its path.
  std::string Write(const std::string &name, const std::string &text) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

// The file's whole content ("" when it cannot be read).
inline std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// The lines of a text (the last one only if it ends with a line end).
inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t end, start = 0; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Whether anything (a link too, dangling or not) is at the path.
inline bool Exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// Where a symbolic link points ("" when it is none).
inline std::string LinkTarget(const std::string &link) {
  char target[4096];
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

}  // namespace testkit

#endif
