#include "thinkgear/parser.h"

#include "link/thinkgear.h"

namespace tg {

Framer::Framer() : state_(kWantSync1), sum_(0), expected_(0), frame_(), stats_() {}

void Framer::reset() {
  state_ = kWantSync1;
  sum_ = 0;
  expected_ = 0;
  frame_.length = 0;
}

size_t Framer::feed(const uint8_t *data, size_t size, bool *frameReady) {
  *frameReady = false;
  size_t i = 0;
  while (i < size) {
    const uint8_t byte = data[i++];
    switch (state_) {
      case kWantSync1:
        if (byte == kSync) {
          state_ = kWantSync2;
        } else {
          ++stats_.skippedBytes;
        }
        break;
      case kWantSync2:
        if (byte == kSync) {
          state_ = kWantLength;
        } else {
          stats_.skippedBytes += 2;
          state_ = kWantSync1;
        }
        break;
      case kWantLength:
        if (byte == kSync) {
          break;  // a longer run of sync bytes
        }
        if (byte > kSync) {
          ++stats_.badLengths;
          state_ = kWantSync1;
          break;
        }
        frame_.length = 0;
        sum_ = 0;
        state_ = byte == 0 ? kWantChecksum : kInPayload;
        expected_ = byte;
        break;
      case kInPayload:
        frame_.payload[frame_.length++] = byte;
        sum_ = static_cast<uint8_t>(sum_ + byte);
        if (frame_.length == expected_) {
          state_ = kWantChecksum;
        }
        break;
      case kWantChecksum:
        state_ = kWantSync1;
        if (static_cast<uint8_t>(~sum_) == byte) {
          ++stats_.frames;
          *frameReady = true;
          return i;
        }
        ++stats_.badChecksums;
        break;
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
