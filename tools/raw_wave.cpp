#include "tools/raw_wave.h"

#include <climits>

#include "link/thinkgear.h"
#include "tools/packet.h"

namespace tools {

namespace {

void Append(const Payload &payload, std::vector<uint8_t> *out) {
  uint8_t packet[kMaxPacketLength];
  const size_t length = EncodePacket(payload, packet);
  out->insert(out->end(), packet, packet + length);
}

}  // namespace

RawWaveRun::RawWaveRun(bool goodContact)
    : noLog_(), stream_(&noLog_), bytes_(), goodContact_(goodContact), samples_(0) {
  tg::StreamDetectBlinks(&stream_, true, tg::StreamTaken(&stream_));
}

void RawWaveRun::contact(uint8_t poorSignal) {
  bytes_.clear();
  Payload payload;
  (void)AppendByteRow(&payload, 0x02, poorSignal);
  Append(payload, &bytes_);
  int strength = 0;
  (void)feed(&strength);
}

void RawWaveRun::newSignal() { tg::StreamNewSignal(&stream_, false); }

void RawWaveRun::watch(tg::BlinkTrace *trace) { stream_.detector.watch(trace); }

bool RawWaveRun::add(int16_t raw, int *strength) {
  bytes_.clear();
  if (goodContact_ && samples_ % tg::kRawSampleRate == 0) {
    static const uint32_t kBands[kBandCount] = {0, 0, 0, 0, 0, 0, 0, 0};
    Payload summary;
    (void)AppendSummaryRows(&summary, 0, 50, 50, kBands);
    Append(summary, &bytes_);
  }
  Payload sample;
  (void)AppendRawSample(&sample, raw);
  Append(sample, &bytes_);
  ++samples_;
  return feed(strength);
}

bool RawWaveRun::feed(int *strength) {
  tg::StreamNewRead(&stream_);
  size_t used = 0;
  (void)tg::StreamFeed(&stream_, bytes_.data(), bytes_.size(), INT_MAX, &used);
  const int slot = tg::ValueSlot(TG_DATA_BLINK_STRENGTH);
  if (stream_.updates[slot] == 0) {
    return false;
  }
  *strength = static_cast<int>(stream_.values[slot]);
  return true;
}

}  // namespace tools
