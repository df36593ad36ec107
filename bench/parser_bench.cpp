// Parser throughput: bytes a second through the library's framing
// (tg::Framer::feed) and payload decoding (tg::DecodePayload), on streams a
// headset sends. Each benchmark checks that every packet in its stream came
// out, so a broken parser fails here instead of looking fast.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench/headset.h"
#include "thinkgear/parser.h"
#include "tools/packet.h"

namespace {

struct Stream {
  std::vector<uint8_t> bytes;
  uint64_t packets = 0;  // good packets in it
};

// The 57600-baud headset: 512 raw sample packets and one summary packet a
// second, a blink now and then; `seconds` of it.
Stream RawWaveStream(int seconds) {
  Stream s;
  uint32_t sample = 0;
  for (int second = 0; second < seconds; ++second) {
    for (int i = 0; i < tools::kRawRate; ++i) {
      testkit::Append(&s.bytes, testkit::Raw(bench::RawSample(sample++)));
      ++s.packets;
      if (i == tools::kRawRate / 2) {
        testkit::Append(&s.bytes, bench::Summary(static_cast<uint32_t>(second)));
        ++s.packets;
      }
      if (second % 4 == 3 && i == 100) {
        testkit::Append(&s.bytes, testkit::Blink(40 + second));
        ++s.packets;
      }
    }
  }
  return s;
}

// The 9600-baud headset: summary packets, and blink packets between them.
Stream SummaryStream(int packets) {
  Stream s;
  for (int i = 0; i < packets; ++i) {
    testkit::Append(&s.bytes, bench::Summary(static_cast<uint32_t>(i)));
    testkit::Append(&s.bytes, testkit::Blink(1 + i % 255));
    s.packets += 2;
  }
  return s;
}

// The raw wave stream on a noisy line: after every 16th packet a burst of
// 1 to 24 random bytes, sync bytes and lengths among them, so frames open in
// the noise and run on over the packets after it. Every eighth burst is a
// blink packet with its checksum broken.
Stream NoisyStream(int seconds) {
  Stream clean = RawWaveStream(seconds);
  Stream s;
  std::mt19937 random(12345);
  size_t at = 0;
  uint64_t packet = 0;
  while (at < clean.bytes.size()) {
    const size_t length = clean.bytes[at + 2] + 4u;
    s.bytes.insert(s.bytes.end(), clean.bytes.begin() + at, clean.bytes.begin() + at + length);
    at += length;
    ++packet;
    if (packet % 16 == 0) {
      if (packet % 128 == 0) {
        testkit::Append(&s.bytes, testkit::Blink(99));
        s.bytes.back() ^= 0x5A;
      } else {
        const int burst = 1 + static_cast<int>(random() % 24);
        for (int i = 0; i < burst; ++i) {
          const uint32_t r = random();
          s.bytes.push_back(r % 5 == 0 ? tg::kSync : static_cast<uint8_t>(r >> 8));
        }
      }
    }
  }
  s.packets = clean.packets;
  return s;
}

void FrameAndDecode(benchmark::State &state, const Stream &stream, bool exact) {
  tg::Framer framer;
  tg::Value values[tg::kMaxValuesPerFrame];
  uint64_t frames = 0;
  uint64_t decoded = 0;
  for (auto _ : state) {
    frames = 0;
    const uint8_t *data = stream.bytes.data();
    size_t left = stream.bytes.size();
    while (left > 0) {
      bool ready = false;
      const size_t used = framer.feed(data, left, &ready);
      data += used;
      left -= used;
      if (ready) {
        const tg::Frame &frame = framer.frame();
        decoded += tg::DecodePayload(frame.payload, frame.length, values);
        ++frames;
      }
    }
    benchmark::DoNotOptimize(decoded);
  }
  // A clean stream gives back every packet; a noisy one may lose the few
  // that a frame opened in the noise swallows.
  const bool ok = exact ? frames == stream.packets : frames * 100 >= stream.packets * 99;
  if (!ok) {
    state.SkipWithError("the parser did not frame the packets of the stream");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(stream.bytes.size()));
  state.counters["packets"] = static_cast<double>(stream.packets);
}

void BM_RawWave57600(benchmark::State &state) {
  static const Stream stream = RawWaveStream(16);
  FrameAndDecode(state, stream, true);
}
BENCHMARK(BM_RawWave57600);

void BM_Summary9600(benchmark::State &state) {
  static const Stream stream = SummaryStream(2000);
  FrameAndDecode(state, stream, true);
}
BENCHMARK(BM_Summary9600);

void BM_NoisyLine(benchmark::State &state) {
  static const Stream stream = NoisyStream(16);
  FrameAndDecode(state, stream, false);
}
BENCHMARK(BM_NoisyLine);

}  // namespace

BENCHMARK_MAIN();
