// The library's data log read back for its raw wave: the RAW and
// POOR_SIGNAL lines in order, and the notes that say a port was opened,
// where the signal starts anew. Other values and notes are passed over. A
// line at a time, with fixed memory, so a day's log reads like a minute's.
// docs/logs.md describes the lines.
#ifndef NICTATE_TOOLS_DATA_LOG_H
#define NICTATE_TOOLS_DATA_LOG_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace tools {

// Whether text (a file's first bytes) starts like a data log line: a time,
// "<seconds>.<six digits>", then a space.
bool LooksLikeDataLog(const char *text, size_t size);

enum class DataLogItem {
  kRaw,         // a raw-wave sample
  kPoorSignal,  // a poor-signal value
  kOpened,      // a port was opened (again)
  kEnd,         // no more
  kBad,         // a line that is no data log line, or a read error
};

class DataLogReader {
 public:
  DataLogReader();
  ~DataLogReader();
  DataLogReader(const DataLogReader &) = delete;
  DataLogReader &operator=(const DataLogReader &) = delete;

  // Opens a data log. False, with *error, when it cannot be read.
  bool open(const std::string &path, std::string *error);

  // The next item, its value in *value (kRaw, kPoorSignal). kBad, with
  // *error naming the line, for a line that is no data log line (a line
  // the library wrote only in part, which its note of lost lines follows
  // or which ends the file, is passed over) or a value out of its range.
  DataLogItem next(int *value, std::string *error);

 private:
  // Reads the next line into line_: false at the end or on an error
  // (*error set). A note longer than line_ is cut; any other such line is
  // an error.
  bool readLine(std::string *error);

  std::FILE *file_;
  std::string path_;
  long number_;     // the line in line_
  char line_[256];  // without its line end
  bool ended_;      // the last line read had no line end
  // A line that was no data log line: an error unless a note of lost
  // lines, or the end of the file, follows it.
  long suspect_;
  std::string suspectText_;
};

}  // namespace tools

#endif
