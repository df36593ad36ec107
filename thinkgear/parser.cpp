#include "thinkgear/parser.h"

#include <cstring>

#include "link/thinkgear.h"

namespace tg {

Framer::Framer()
    : window_(),
      sums_(),
      size_(0),
      open_(),
      openCount_(0),
      nextEnd_(0),
      syncRun_(0),
      frame_(),
      stats_() {}

void Framer::reset() {
  size_ = 0;
  openCount_ = 0;
  syncRun_ = 0;
  frame_.length = 0;
}

void Framer::close(size_t i) {
  for (size_t j = i + 1; j < openCount_; ++j) {
    open_[j - 1] = open_[j];
  }
  --openCount_;
  if (openCount_ == 0) {
    size_ = 0;
    return;
  }
  const size_t shift = open_[0].start;
  nextEnd_ = open_[0].end;
  for (size_t j = 1; j < openCount_; ++j) {
    if (open_[j].end < nextEnd_) {
      nextEnd_ = open_[j].end;
    }
  }
  nextEnd_ -= shift;
  if (shift == 0) {
    return;
  }
  // Differences of the running sums stay right when both move together.
  std::memmove(window_, window_ + shift, size_ - shift);
  std::memmove(sums_, sums_ + shift, size_ - shift + 1);
  size_ -= shift;
  for (size_t j = 0; j < openCount_; ++j) {
    open_[j].start -= shift;
    open_[j].end -= shift;
  }
}

size_t Framer::feed(const uint8_t *data, size_t size, bool *frameReady) {
  *frameReady = false;
  size_t i = 0;
  while (i < size) {
    const uint8_t byte = data[i++];
    // A byte of a frame (its checksum too, when the frame is dropped for
    // it) is not a skipped byte, nor a bad length.
    const bool inFrame = openCount_ != 0;
    if (inFrame) {
      // The window never outgrows the earliest open frame, which ends here
      // at the latest.
      const size_t at = size_++;
      window_[at] = byte;
      sums_[at + 1] = static_cast<uint8_t>(sums_[at] + byte);
      // The frames whose checksum this byte is, innermost first.
      for (size_t k = at == nextEnd_ ? openCount_ : 0; k-- > 0;) {
        if (open_[k].end != at) {
          continue;
        }
        const size_t start = open_[k].start;
        const uint8_t sum = static_cast<uint8_t>(sums_[at] - sums_[start + 1]);
        if (static_cast<uint8_t>(~sum) == byte) {
          frame_.length = at - start - 1;
          std::memcpy(frame_.payload, window_ + start + 1, frame_.length);
          ++stats_.frames;
          size_ = 0;
          openCount_ = 0;
          syncRun_ = 0;
          *frameReady = true;
          return i;
        }
        if (k == 0) {
          ++stats_.badChecksums;  // a frame read from outside any other
        }
        close(k);
      }
    }

    if (byte == kSync) {
      if (syncRun_ < 2) {
        ++syncRun_;
      }
      continue;
    }
    const bool synced = syncRun_ == 2;
    syncRun_ = 0;
    if (!synced || byte > kSync) {
      if (!inFrame) {
        ++stats_.skippedBytes;
        if (synced) {
          ++stats_.badLengths;
        }
      }
      continue;
    }
    // A length byte after a sync: a frame opens here.
    if (openCount_ == kMaxOpen) {
      continue;  // cannot happen: see kMaxOpen
    }
    if (openCount_ == 0) {
      window_[0] = byte;
      sums_[0] = 0;
      sums_[1] = byte;
      size_ = 1;
    }
    open_[openCount_].start = size_ - 1;
    open_[openCount_].end = size_ + byte;
    ++openCount_;
    if (openCount_ == 1 || size_ + byte < nextEnd_) {
      nextEnd_ = size_ + byte;
    }
  }
  return i;
}

namespace {

// A value byte of a one-byte row, if it is within the code's range.
bool ByteInRange(uint8_t byte, uint8_t low, uint8_t high) { return byte >= low && byte <= high; }

}  // namespace

size_t DecodePayload(const uint8_t *payload, size_t length, Value *out) {
  size_t count = 0;
  size_t i = 0;
  while (i < length) {
    int extendedLevel = 0;
    while (i < length && payload[i] == kExtendedCode) {
      ++extendedLevel;
      ++i;
    }
    if (i >= length) {
      break;
    }
    const uint8_t code = payload[i++];
    size_t rowLength = 1;
    if (code >= 0x80) {
      if (i >= length) {
        break;
      }
      rowLength = payload[i++];
    }
    if (rowLength > length - i) {
      break;  // the row runs past the payload
    }
    const uint8_t *row = payload + i;
    i += rowLength;
    if (extendedLevel != 0) {
      continue;  // no extended codes are known
    }

    switch (code) {
      case kCodePoorSignal:
        if (ByteInRange(row[0], 0, 200)) {
          out[count++] = Value{TG_DATA_POOR_SIGNAL, static_cast<float>(row[0])};
        }
        break;
      case kCodeAttention:
        if (ByteInRange(row[0], 0, 100)) {
          out[count++] = Value{TG_DATA_ATTENTION, static_cast<float>(row[0])};
        }
        break;
      case kCodeMeditation:
        if (ByteInRange(row[0], 0, 100)) {
          out[count++] = Value{TG_DATA_MEDITATION, static_cast<float>(row[0])};
        }
        break;
      case kCodeBlinkStrength:
        if (ByteInRange(row[0], 1, 255)) {
          out[count++] = Value{TG_DATA_BLINK_STRENGTH, static_cast<float>(row[0])};
        }
        break;
      case kCodeRawWave:
        if (rowLength == 2) {
          const int16_t sample = static_cast<int16_t>((row[0] << 8) | row[1]);
          out[count++] = Value{TG_DATA_RAW, static_cast<float>(sample)};
        }
        break;
      case kCodeBandPowers:
        if (rowLength == 24) {
          for (int band = 0; band < 8; ++band) {
            const uint8_t *p = row + 3 * band;
            const uint32_t power = (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
            out[count++] = Value{TG_DATA_DELTA + band, static_cast<float>(power)};
          }
        }
        break;
      default:
        break;  // unknown rows are skipped by their length
    }
  }
  return count;
}

}  // namespace tg
