#include "thinkgear/log.h"

#include <chrono>
#include <cinttypes>
#include <cstring>

#include "link/thinkgear.h"

namespace tg {

namespace {

// Wall-clock time as "seconds.microseconds" since the Unix epoch.
int FormatTime(char *out, size_t size) {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
  return std::snprintf(out, size, "%" PRId64 ".%06" PRId64, micros / 1000000, micros % 1000000);
}

void WriteLine(LogFile *log, const char *line, size_t length) {
  if (log->file == nullptr) {
    return;
  }
  // Unbuffered stream: the line reaches the OS in one write, or not at all.
  if (std::fwrite(line, 1, length, log->file) != length || std::fflush(log->file) != 0) {
    std::clearerr(log->file);
    ++log->lostLines;
    return;
  }
  if (log->lostLines != 0) {
    char note[96];
    char stamp[32];
    FormatTime(stamp, sizeof stamp);
    const int n = std::snprintf(note, sizeof note, "%s # %" PRIu64 " lines lost before this one\n",
                                stamp, log->lostLines);
    if (n > 0 && std::fwrite(note, 1, static_cast<size_t>(n), log->file) == size_t(n) &&
        std::fflush(log->file) == 0) {
      log->lostLines = 0;
    } else {
      std::clearerr(log->file);
    }
  }
}

}  // namespace

bool LogOpen(LogFile *log, const char *filename) {
  std::FILE *file = std::fopen(filename, "wb");
  if (file == nullptr) {
    return false;
  }
  if (std::setvbuf(file, nullptr, _IONBF, 0) != 0) {
    std::fclose(file);
    return false;
  }
  if (log->file != nullptr) {
    (void)std::fclose(log->file);
  }
  log->file = file;
  log->lostLines = 0;
  return true;
}

void LogStreamBytes(LogFile *log, const uint8_t *bytes, size_t count) {
  if (log->file == nullptr) {
    return;
  }
  static const char kHex[] = "0123456789ABCDEF";
  const size_t kPerLine = 32;
  char stamp[32];
  const int stampLength = FormatTime(stamp, sizeof stamp);
  for (size_t start = 0; start < count; start += kPerLine) {
    char line[32 + 3 * 32 + 2];
    size_t length = static_cast<size_t>(stampLength);
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
  const char *name = DataTypeName(dataType);
  if (log->file == nullptr || name == nullptr) {
    return;
  }
  char stamp[32];
  FormatTime(stamp, sizeof stamp);
  char line[96];
  // Every value the headset sends is a whole number.
  const int n = std::snprintf(line, sizeof line, "%s %s %.0f\n", stamp, name, value);
  if (n > 0 && static_cast<size_t>(n) < sizeof line) {
    WriteLine(log, line, static_cast<size_t>(n));
  }
}

const char *DataTypeName(int dataType) {
  switch (dataType) {
    case TG_DATA_POOR_SIGNAL: return "POOR_SIGNAL";
    case TG_DATA_ATTENTION: return "ATTENTION";
    case TG_DATA_MEDITATION: return "MEDITATION";
    case TG_DATA_RAW: return "RAW";
    case TG_DATA_DELTA: return "DELTA";
    case TG_DATA_THETA: return "THETA";
    case TG_DATA_ALPHA1: return "ALPHA1";
    case TG_DATA_ALPHA2: return "ALPHA2";
    case TG_DATA_BETA1: return "BETA1";
    case TG_DATA_BETA2: return "BETA2";
    case TG_DATA_GAMMA1: return "GAMMA1";
    case TG_DATA_GAMMA2: return "GAMMA2";
    case TG_DATA_BLINK_STRENGTH: return "BLINK_STRENGTH";
    default: return nullptr;
  }
}

}  // namespace tg
