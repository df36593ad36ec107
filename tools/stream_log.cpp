#include "tools/stream_log.h"

#include <utility>

#include "tools/line_input.h"

namespace tools {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "<seconds>.<fraction>" at the start of text; advances *pos past it.
bool ParseStamp(const std::string &text, size_t *pos, int64_t *micros) {
  size_t i = *pos;
  int64_t seconds = 0;
  const size_t start = i;
  while (i < text.size() && IsDigit(text[i])) {
    if (i - start >= 12) {
      return false;
    }
    seconds = seconds * 10 + (text[i++] - '0');
  }
  if (i == start || i >= text.size() || text[i] != '.') {
    return false;
  }
  ++i;
  int64_t fraction = 0;
  int digits = 0;
  while (i < text.size() && IsDigit(text[i])) {
    if (digits == 9) {
      return false;
    }
    if (digits < 6) {
      fraction = fraction * 10 + (text[i] - '0');
    }
    ++digits;
    ++i;
  }
  if (digits == 0) {
    return false;
  }
  for (int d = digits; d < 6; ++d) {
    fraction *= 10;
  }
  *micros = seconds * 1000000 + fraction;
  *pos = i;
  return true;
}

enum class LogLine {
  kBytes,  // a time and one or more bytes
  kSkip,   // an empty line
  kNote,   // the library's note of lines it could not write ("<time> # ...")
  kBad,    // anything else
};

// Parses one line, without its line end (a trailing '\r' is ignored). On
// kBytes, *micros holds its time and the bytes are appended to *bytes.
LogLine ParseStreamLogLine(const std::string &line, int64_t *micros, std::vector<uint8_t> *bytes) {
  std::string text = line;
  if (!text.empty() && text.back() == '\r') {
    text.pop_back();
  }
  if (text.empty()) {
    return LogLine::kSkip;
  }
  size_t i = 0;
  int64_t stamp = 0;
  if (!ParseStamp(text, &i, &stamp)) {
    return LogLine::kBad;
  }
  if (text.compare(i, 2, " #") == 0) {
    return LogLine::kNote;
  }
  std::vector<uint8_t> found;
  while (i < text.size()) {
    if (text.size() - i < 3 || text[i] != ' ') {
      return LogLine::kBad;
    }
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) {
      return LogLine::kBad;
    }
    found.push_back(static_cast<uint8_t>(high * 16 + low));
    i += 3;
  }
  if (found.empty()) {
    return LogLine::kBad;
  }
  *micros = stamp;
  bytes->insert(bytes->end(), found.begin(), found.end());
  return LogLine::kBytes;
}

}  // namespace

bool ReadStreamLog(const std::string &path, std::vector<StreamChunk> *chunks, std::string *error) {
  chunks->clear();
  LineInput input;
  if (!input.open(path, error)) {
    return false;
  }
  std::string line;
  long cutLine = 0;  // a bad line, left out if a note follows it
  int got;
  while ((got = input.next(&line, error)) > 0) {
    int64_t micros = 0;
    std::vector<uint8_t> bytes;
    const LogLine kind = ParseStreamLogLine(line, &micros, &bytes);
    if (cutLine != 0 && kind != LogLine::kNote) {
      break;
    }
    cutLine = 0;
    switch (kind) {
      case LogLine::kSkip:
      case LogLine::kNote:
        break;
      case LogLine::kBad:
        // A line cut short by a full disk has no line end of its own: the
        // note after it starts with one, or the file ends there.
        cutLine = input.ended() ? input.number() : 0;
        break;
      case LogLine::kBytes:
        if (!chunks->empty() && chunks->back().micros == micros) {
          chunks->back().bytes.insert(chunks->back().bytes.end(), bytes.begin(), bytes.end());
        } else {
          chunks->push_back(StreamChunk{micros, std::move(bytes)});
        }
        break;
    }
  }
  if (got < 0) {
    return false;
  }
  if (cutLine != 0) {
    *error = path + ":" + std::to_string(cutLine) + ": not a stream log line";
    return false;
  }
  if (chunks->empty()) {
    *error = path + ": no stream log lines";
    return false;
  }
  return true;
}

}  // namespace tools
