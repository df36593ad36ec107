#include "thinkgear/log.h"

#include <chrono>
#include <cinttypes>
#include <cstring>

#include "thinkgear/data_types.h"
#include "thinkgear/os.h"

namespace tg {

namespace {

// Wall-clock time as "seconds.microseconds" since the Unix epoch, into a
// buffer of kStampSize. Returns its length, or 0 when it did not fit (a
// line without its time is not written).
const size_t kStampSize = 32;
size_t FormatTime(char *out) {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
  const int n =
      std::snprintf(out, kStampSize, "%" PRId64 ".%06" PRId64, micros / 1000000, micros % 1000000);
  return n > 0 && static_cast<size_t>(n) < kStampSize ? static_cast<size_t>(n) : 0;
}

// After a write that stopped short at `written` bytes, of which the first
// `prefix` end an earlier part-written line: whether the file now ends in
// part of a line.
void NoteShortWrite(LogFile *log, size_t written, size_t prefix) {
  std::clearerr(log->file);
  if (written > prefix) {
    log->tornLine = true;
  } else if (prefix != 0 && written == prefix) {
    log->tornLine = false;
  }
}

// Writes the note of the lines lost since the last line written, first
// ending a part-written line. True when it went through whole.
bool WriteLostNote(LogFile *log) {
  char stamp[kStampSize];
  if (FormatTime(stamp) == 0) {
    return false;
  }
  char note[128];
  const size_t prefix = log->tornLine ? 1 : 0;
  const int n = std::snprintf(note, sizeof note, "%s%s # %" PRIu64 " lines lost before this one\n",
                              prefix != 0 ? "\n" : "", stamp, log->lostLines);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof note) {
    return false;
  }
  const size_t length = static_cast<size_t>(n);
  const size_t written = std::fwrite(note, 1, length, log->file);
  if (written != length || std::fflush(log->file) != 0) {
    NoteShortWrite(log, written, prefix);
    return false;
  }
  log->lostLines = 0;
  log->tornLine = false;
  return true;
}

// Hands one line to the OS: in one write on the unbuffered stream, or not
// at all, or in part when the disk fills in the middle of it. A line that
// does not go through whole is lost and counted; the note of the lost lines
// goes before the next line that goes through, where they are missing.
void WriteLine(LogFile *log, const char *line, size_t length) {
  if (log->file == nullptr) {
    return;
  }
  if (log->lostLines != 0 && !WriteLostNote(log)) {
    ++log->lostLines;
    return;
  }
  const size_t written = std::fwrite(line, 1, length, log->file);
  if (written != length || std::fflush(log->file) != 0) {
    NoteShortWrite(log, written, 0);
    ++log->lostLines;
  }
}

}  // namespace

bool LogOpen(LogFile *log, const char *filename, Failure *failure) {
  Failure why;
  std::FILE *file = OpenLogFile(filename, log->file, failure != nullptr ? failure : &why);
  if (file == nullptr) {
    return false;
  }
  if (log->file != nullptr && log->file != file) {
    (void)std::fclose(log->file);
  }
  log->file = file;
  log->lostLines = 0;
  log->tornLine = false;
  return true;
}

void LogStreamBytes(LogFile *log, const uint8_t *bytes, size_t count) {
  if (log->file == nullptr) {
    return;
  }
  static const char kHex[] = "0123456789ABCDEF";
  const size_t kPerLine = 32;
  char stamp[kStampSize];
  const size_t stampLength = FormatTime(stamp);
  for (size_t start = 0; start < count; start += kPerLine) {
    if (stampLength == 0) {
      ++log->lostLines;
      continue;
    }
    char line[kStampSize + 3 * kPerLine + 1];
    size_t length = stampLength;
    std::memcpy(line, stamp, length);
    for (size_t i = start; i < count && i < start + kPerLine; ++i) {
      line[length++] = ' ';
      line[length++] = kHex[bytes[i] >> 4];
      line[length++] = kHex[bytes[i] & 0x0F];
    }
    line[length++] = '\n';
    WriteLine(log, line, length);
  }
}

void LogDataValue(LogFile *log, int dataType, float value) {
  const DataType *type = FindDataType(dataType);
  if (log->file == nullptr || type == nullptr) {
    return;
  }
  char stamp[kStampSize];
  if (FormatTime(stamp) == 0) {
    ++log->lostLines;
    return;
  }
  char line[96];
  // Every value the headset sends is a whole number.
  const int n = std::snprintf(line, sizeof line, "%s %s %.0f\n", stamp, type->logName, value);
  if (n > 0 && static_cast<size_t>(n) < sizeof line) {
    WriteLine(log, line, static_cast<size_t>(n));
  }
}

std::string NoteLine(const std::string &text) {
  char stamp[kStampSize];
  if (FormatTime(stamp) == 0) {
    return std::string();
  }
  std::string line = std::string(stamp) + " # " + text + "\n";
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7F) {
      line[i] = '?';
    }
  }
  return line;
}

void LogLine(LogFile *log, const std::string &line) {
  if (log->file == nullptr) {
    return;
  }
  if (line.empty()) {
    ++log->lostLines;
    return;
  }
  WriteLine(log, line.data(), line.size());
}

}  // namespace tg
