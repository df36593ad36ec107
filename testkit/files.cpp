#include "testkit/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testkit {

TempDir::TempDir(const std::string &name) {
  const char *base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) {
    path_ = pattern;
  }
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

std::string TempDir::Make(const std::string &name) const {
  const std::string dir = path_ + "/" + name;
  (void)mkdir(dir.c_str(), 0755);
  return dir;
}

std::string TempDir::Write(const std::string &name, const std::string &text) const {
  const std::string path = path_ + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

bool Exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string LinkTarget(const std::string &link) {
  char target[4096];
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

}  // namespace testkit
