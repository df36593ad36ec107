#include "thinkgear/parser.h"

#include <cstring>

#include "link/thinkgear.h"

namespace tg {

Framer::Framer()
    : window_(),
      sums_(),
      size_(0),
      fed_(0),
      windowAt_(0),
      open_(),
      openCount_(0),
      deferred_(),
      deferredCount_(0),
      nextEnd_(0),
      syncRun_(0),
      readyBytes_(),
      ready_(),
      readyCount_(0),
      readyNext_(0),
      frame_() {}

void Framer::reset() {
  size_ = 0;
  windowAt_ = fed_;
  openCount_ = 0;
  deferredCount_ = 0;
  syncRun_ = 0;
  readyCount_ = 0;
  readyNext_ = 0;
  frame_.length = 0;
  frame_.end = 0;
}

bool Framer::endFrames(size_t at, uint8_t byte) {
  // Outermost first: a good checksum there makes every frame begun inside
  // it, the ones ending here too, bytes of a packet.
  for (size_t k = 0; k < openCount_;) {
    if (open_[k].end != at) {
      ++k;
      continue;
    }
    const size_t start = open_[k].start;
    const uint8_t sum = static_cast<uint8_t>(sums_[at] - sums_[start + 1]);
    if (static_cast<uint8_t>(~sum) == byte) {
      // Open frames after k all began inside this one, and so did deferred
      // frames after `start`.
      openCount_ = k;
      while (deferredCount_ > 0 && deferred_[deferredCount_ - 1].start > start) {
        --deferredCount_;
      }
      deferred_[deferredCount_++] = Span{start, at};
      return true;
    }
    for (size_t j = k + 1; j < openCount_; ++j) {
      open_[j - 1] = open_[j];
    }
    --openCount_;
  }
  return false;
}

void Framer::releaseDeferred() {
  // A deferred frame no open frame began before is around no open frame: those
  // are the first ones, as both lists go by start.
  const size_t firstOpen = openCount_ != 0 ? open_[0].start : size_;
  size_t released = 0;
  size_t offset = 0;
  while (released < deferredCount_ && deferred_[released].start < firstOpen) {
    const Span &span = deferred_[released];
    const size_t length = span.end - span.start - 1;
    std::memcpy(readyBytes_ + offset, window_ + span.start + 1, length);
    ready_[released] = Ready{offset, length, windowAt_ + span.end + 1};
    offset += length;
    ++released;
  }
  if (released == 0) {
    return;
  }
  for (size_t j = released; j < deferredCount_; ++j) {
    deferred_[j - released] = deferred_[j];
  }
  deferredCount_ -= released;
  readyCount_ = released;
  readyNext_ = 0;
}

void Framer::settle() {
  if (openCount_ == 0) {
    windowAt_ += size_;
    size_ = 0;
    return;
  }
  // The earliest open frame begins before every deferred one.
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
  windowAt_ += shift;
  for (size_t j = 0; j < openCount_; ++j) {
    open_[j].start -= shift;
    open_[j].end -= shift;
  }
  for (size_t j = 0; j < deferredCount_; ++j) {
    deferred_[j].start -= shift;
    deferred_[j].end -= shift;
  }
}

void Framer::lineQuiet() {
  if (deferredCount_ == 0 || readyCount_ != 0) {
    return;
  }
  // The open frames begun before the last deferred one ended are around it.
  const size_t lastEnd = deferred_[deferredCount_ - 1].end;
  size_t kept = 0;
  for (size_t k = 0; k < openCount_; ++k) {
    if (open_[k].start > lastEnd) {
      open_[kept++] = open_[k];
    }
  }
  openCount_ = kept;
  releaseDeferred();
  settle();
}

void Framer::handOut() {
  const Ready &next = ready_[readyNext_++];
  frame_.length = next.length;
  std::memcpy(frame_.payload, readyBytes_ + next.offset, next.length);
  frame_.end = next.end;
  if (readyNext_ == readyCount_) {
    readyCount_ = 0;
    readyNext_ = 0;
  }
}

void Framer::takeSyncByte(uint8_t byte) {
  if (byte == kSync) {
    if (syncRun_ < 2) {
      ++syncRun_;
    }
    return;
  }
  const bool synced = syncRun_ == 2;
  syncRun_ = 0;
  if (!synced || byte > kSync) {
    return;
  }
  // A length byte after a sync: a frame opens here.
  if (openCount_ == kMaxOpen) {
    return;  // cannot happen: see kMaxOpen
  }
  if (openCount_ == 0) {
    windowAt_ = fed_ - 1;
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

size_t Framer::feed(const uint8_t *data, size_t size, bool *frameReady) {
  *frameReady = false;
  if (readyCount_ != 0) {
    handOut();
    *frameReady = true;
    return 0;
  }
  size_t i = 0;
  while (i < size) {
    const uint8_t byte = data[i++];
    ++fed_;
    if (openCount_ != 0) {
      // The window never outgrows the earliest open frame, which ends here
      // at the latest.
      const size_t at = size_++;
      window_[at] = byte;
      sums_[at + 1] = static_cast<uint8_t>(sums_[at] + byte);
      if (at == nextEnd_) {
        const bool good = endFrames(at, byte);
        releaseDeferred();
        settle();
        if (good) {
          // The checksum of a packet is no sync byte.
          syncRun_ = 0;
          if (readyCount_ != 0) {
            handOut();
            *frameReady = true;
            return i;
          }
          continue;
        }
      }
    }

    if (readyCount_ != 0) {
      // Deferred frames let go by this byte, a bad checksum, which may
      // still be a sync byte or open a frame: it is read as one first.
      takeSyncByte(byte);
      handOut();
      *frameReady = true;
      return i;
    }
    takeSyncByte(byte);
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
