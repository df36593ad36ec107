#include "tools/data_log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "thinkgear/data_types.h"

namespace tools {

namespace {

const char kLostNote[] = " lines lost before this one";
const char kOpenedNote[] = ": opened";

bool EndsWith(const char *text, const char *end) {
  const size_t size = std::strlen(text);
  const size_t endSize = std::strlen(end);
  return size >= endSize && std::strcmp(text + size - endSize, end) == 0;
}

// A whole number from min to max, and nothing after it.
bool WholeNumber(const char *text, long min, long max, int *value) {
  if (*text == '\0') {
    return false;
  }
  char *stop = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &stop, 10);
  if (errno != 0 || *stop != '\0' || parsed < min || parsed > max || text[0] == ' ' ||
      text[0] == '+') {
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

// Where the rest of a data log line starts after its time and space, or
// nullptr when it does not start with one.
const char *AfterStamp(const char *line) {
  size_t i = 0;
  while (line[i] >= '0' && line[i] <= '9') {
    ++i;
  }
  if (i == 0 || line[i] != '.') {
    return nullptr;
  }
  for (int d = 1; d <= 6; ++d) {
    if (line[i + d] < '0' || line[i + d] > '9') {
      return nullptr;
    }
  }
  return line[i + 7] == ' ' ? line + i + 8 : nullptr;
}

}  // namespace

bool LooksLikeDataLog(const char *text, size_t size) {
  char line[64];
  const size_t n = size < sizeof line - 1 ? size : sizeof line - 1;
  std::memcpy(line, text, n);
  line[n] = '\0';
  return AfterStamp(line) != nullptr;
}

DataLogReader::DataLogReader()
    : file_(nullptr), path_(), number_(0), line_(), ended_(false), suspect_(0), suspectText_() {}

DataLogReader::~DataLogReader() {
  if (file_ != nullptr) {
    (void)std::fclose(file_);
  }
}

bool DataLogReader::open(const std::string &path, std::string *error) {
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    *error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

bool DataLogReader::readLine(std::string *error) {
  if (std::fgets(line_, sizeof line_, file_) == nullptr) {
    if (std::ferror(file_)) {
      *error = path_ + ": read failed: " + std::strerror(errno);
    }
    return false;
  }
  ++number_;
  char *end = std::strchr(line_, '\n');
  ended_ = end == nullptr;
  if (end == nullptr && !std::feof(file_)) {
    // Longer than any value's line: only a note (a port's long name) may
    // be; the rest of it goes.
    const char *rest = AfterStamp(line_);
    if (rest == nullptr || std::strncmp(rest, "# ", 2) != 0) {
      *error = path_ + ":" + std::to_string(number_) + ": longer than a data log line";
      return false;
    }
    char skip[256];
    while (std::fgets(skip, sizeof skip, file_) != nullptr && std::strchr(skip, '\n') == nullptr) {
    }
    if (std::ferror(file_)) {
      *error = path_ + ": read failed: " + std::strerror(errno);
      return false;
    }
    ended_ = false;
  }
  if (end != nullptr) {
    *end = '\0';
  }
  const size_t size = std::strlen(line_);
  if (size > 0 && line_[size - 1] == '\r') {
    line_[size - 1] = '\0';
  }
  return true;
}

DataLogItem DataLogReader::next(int *value, std::string *error) {
  for (;;) {
    error->clear();
    if (!readLine(error)) {
      if (error->empty() && suspect_ != 0) {
        *error = path_ + ":" + std::to_string(suspect_) + ": not a data log line: '" +
                 suspectText_ + "'";
      }
      return error->empty() ? DataLogItem::kEnd : DataLogItem::kBad;
    }
    const char *rest = AfterStamp(line_);
    const bool note = rest != nullptr && std::strncmp(rest, "# ", 2) == 0;
    if (suspect_ != 0) {
      if (!note || !EndsWith(rest, kLostNote)) {
        *error = path_ + ":" + std::to_string(suspect_) + ": not a data log line: '" +
                 suspectText_ + "'";
        return DataLogItem::kBad;
      }
      suspect_ = 0;
    }
    if (line_[0] == '\0') {
      continue;
    }
    if (note) {
      if (EndsWith(rest, kOpenedNote)) {
        return DataLogItem::kOpened;
      }
      continue;
    }
    const char *space = rest == nullptr ? nullptr : std::strchr(rest, ' ');
    bool good = space != nullptr;
    const std::string name = good ? std::string(rest, space) : std::string();
    if (good && name == tg::FindDataType(TG_DATA_RAW)->logName) {
      good = WholeNumber(space + 1, -32768, 32767, value);
      if (good) {
        return DataLogItem::kRaw;
      }
    } else if (good && name == tg::FindDataType(TG_DATA_POOR_SIGNAL)->logName) {
      good = WholeNumber(space + 1, 0, 200, value);
      if (good) {
        return DataLogItem::kPoorSignal;
      }
    }
    if (good) {
      continue;  // another value
    }
    if (ended_) {
      continue;  // the last line, cut short
    }
    // Cut short by a full disk, if a note of lost lines follows.
    suspect_ = number_;
    suspectText_ = std::string(line_).substr(0, 80);
  }
}

}  // namespace tools
