#include "tools/packet.h"

#include <cstring>

#include "thinkgear/data_types.h"

namespace tools {

bool AppendByteRow(Payload *payload, uint8_t code, uint8_t value) {
  if (code >= 0x80 || kMaxPayloadLength - payload->length < 2) {
    return false;
  }
  payload->bytes[payload->length++] = code;
  payload->bytes[payload->length++] = value;
  return true;
}

bool AppendLongRow(Payload *payload, uint8_t code, const uint8_t *value, size_t length) {
  if (code < 0x80 || length > 0xFF || kMaxPayloadLength - payload->length < length + 2) {
    return false;
  }
  payload->bytes[payload->length++] = code;
  payload->bytes[payload->length++] = static_cast<uint8_t>(length);
  if (length != 0) {
    std::memcpy(payload->bytes + payload->length, value, length);
  }
  payload->length += length;
  return true;
}

bool AppendRawSample(Payload *payload, int16_t sample) {
  const uint16_t bits = static_cast<uint16_t>(sample);
  const uint8_t value[2] = {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits & 0xFF)};
  return AppendLongRow(payload, kRowRawSample, value, sizeof value);
}

bool AppendBandPowers(Payload *payload, const uint32_t powers[kBandCount]) {
  uint8_t value[3 * kBandCount];
  for (size_t band = 0; band < kBandCount; ++band) {
    const uint32_t power = powers[band] > 0xFFFFFFu ? 0xFFFFFFu : powers[band];
    value[3 * band] = static_cast<uint8_t>(power >> 16);
    value[3 * band + 1] = static_cast<uint8_t>((power >> 8) & 0xFF);
    value[3 * band + 2] = static_cast<uint8_t>(power & 0xFF);
  }
  return AppendLongRow(payload, kRowBandPowers, value, sizeof value);
}

bool AppendSummaryRows(Payload *payload, uint8_t poorSignal, uint8_t attention, uint8_t meditation,
                       const uint32_t bands[kBandCount]) {
  const Payload before = *payload;
  if (AppendByteRow(payload, kRowPoorSignal, poorSignal) &&
      AppendByteRow(payload, kRowAttention, attention) &&
      AppendByteRow(payload, kRowMeditation, meditation) && AppendBandPowers(payload, bands)) {
    return true;
  }
  *payload = before;
  return false;
}

uint8_t PayloadChecksum(const uint8_t *bytes, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) {
    sum = static_cast<uint8_t>(sum + bytes[i]);
  }
  return static_cast<uint8_t>(~sum);
}

size_t EncodePacket(const Payload &payload, uint8_t *out) {
  out[0] = kSyncByte;
  out[1] = kSyncByte;
  out[2] = static_cast<uint8_t>(payload.length);
  if (payload.length != 0) {
    std::memcpy(out + 3, payload.bytes, payload.length);
  }
  out[3 + payload.length] = PayloadChecksum(payload.bytes, payload.length);
  return payload.length + 4;
}

const char *ValueName(int dataType) {
  const tg::DataType *type = tg::FindDataType(dataType);
  return type != nullptr ? type->shortName : "unknown";
}

}  // namespace tools
