// Files the tests and the benchmarks make and read: a private temporary
// directory, and what a program under test wrote.
#ifndef NICTATE_TESTKIT_FILES_H
#define NICTATE_TESTKIT_FILES_H

#include <string>
#include <vector>

namespace testkit {

// A private directory under $TMPDIR (or /tmp), removed with all it holds.
class TempDir {
 public:
  explicit TempDir(const std::string &name = "nictate-test");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }  // empty when it could not be made
  // Makes a subdirectory and returns its path.
  std::string Make(const std::string &name) const;
  // Writes a file in it and returns its path.
  std::string Write(const std::string &name, const std::string &text) const;

 private:
  std::string path_;
};

// The file's whole content ("" when it cannot be read).
std::string ReadFile(const std::string &path);

// The lines of a text (the last one only if it ends with a line end).
std::vector<std::string> Lines(const std::string &text);

// Whether anything (a link too, dangling or not) is at the path.
bool Exists(const std::string &path);

// Where a symbolic link points ("" when it is none).
std::string LinkTarget(const std::string &link);

}  // namespace testkit

#endif
