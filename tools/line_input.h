// The tools' input files (recordings, stream logs) read a line at a time, so
// that no input takes memory or time without end: a line is at most
// kMaxLineBytes long (/dev/zero, or any file without line ends, is refused
// after that much), and a pipe or a terminal that brings nothing for
// kQuietSeconds is given up on (a named pipe nobody writes to). A named pipe
// is read as a stream once a writer has it.
#ifndef NICTATE_TOOLS_LINE_INPUT_H
#define NICTATE_TOOLS_LINE_INPUT_H

#include <cstddef>
#include <string>
#include <vector>

namespace tools {

// A recording's row of thousands of columns fits many times over.
const size_t kMaxLineBytes = 1 << 20;
const int kQuietSeconds = 10;

class LineInput {
 public:
  LineInput() = default;
  ~LineInput();
  LineInput(const LineInput &) = delete;
  LineInput &operator=(const LineInput &) = delete;

  // Opens the file without waiting (a named pipe that has no writer yet
  // opens at once). False, with *error "<path>: cannot be read: <why>".
  bool open(const std::string &path, std::string *error);

  // Reads the next line, without its line end, into *line: 1; 0 at the end
  // of the input; -1, with *error saying why and where, when a line is
  // longer than kMaxLineBytes, nothing comes for kQuietSeconds, or the
  // read fails.
  int next(std::string *line, std::string *error);

  // The number of the last line read, from 1; and whether it ended with a
  // line end (only the last line of a file may not).
  long number() const { return number_; }
  bool ended() const { return ended_; }

 private:
  // Reads more bytes into the buffer: how many, 0 at the end, -1 on error.
  long more(std::string *error);

  int fd_ = -1;
  bool pipe_ = false;  // a pipe or a named pipe: its end is its writers gone
  bool done_ = false;
  std::string path_;
  std::vector<char> buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
  long number_ = 0;
  bool ended_ = true;
};

}  // namespace tools

#endif
