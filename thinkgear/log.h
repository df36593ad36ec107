// The connection's two logs: the stream log (every byte read from the port)
// and the data log (every decoded value). docs/logs.md gives both formats.
#ifndef NICTATE_THINKGEAR_LOG_H
#define NICTATE_THINKGEAR_LOG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "thinkgear/os.h"

namespace tg {

struct LogFile {
  std::FILE *file;
  uint64_t lostLines;  // lines the OS refused (or took in part) since the last one it took
  bool tornLine;       // the file ends in part of a line
};

// Creates or truncates the named file, closing any file the log had (its
// own file named again is started again). False when it is refused (another
// log holds it, among others) or cannot be opened for writing (OpenLogFile
// in thinkgear/os.h), with *failure (where given) saying why; the log then
// keeps its file.
bool LogOpen(LogFile *log, const char *filename, Failure *failure = nullptr);

// Appends the stream log's lines for bytes read at one moment: the time,
// then the bytes in hex, at most 32 to a line. Each line is handed to the
// OS before it returns. Lines the OS refuses (a full disk) are counted, and
// the next line that goes through is preceded by a note of how many were
// lost ("<time> # N lines lost before this one"), after a line end that
// closes any line written only in part. The same holds for LogDataValue.
void LogStreamBytes(LogFile *log, const uint8_t *bytes, size_t count);

// Appends one data log line: the time, the value's name and the value.
void LogDataValue(LogFile *log, int dataType, float value);

// A note line of the data log, "<time> # <text>" and its line end, with the
// time now: what became of a port or a log (docs/logs.md). A control
// character in the text (a line end in a caller's name) is written as '?',
// so a note is always one line. Empty when the time cannot be had.
std::string NoteLine(const std::string &text);

// Appends a line made before (NoteLine) as it is, or counts it lost as
// LogStreamBytes does.
void LogLine(LogFile *log, const std::string &line);

}  // namespace tg

#endif
