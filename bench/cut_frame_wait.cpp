// What the framer's rule costs: a packet that follows a cut frame is deferred
// until that frame's length has gone by (it might have been a packet around
// it), so it comes out later than its last byte. This program measures how
// much later, on the wire schedule of a headset at 9600 and at 57600 baud,
// by feeding tg::Framer the bytes in the order and at the times the line
// brings them, byte by byte.
//
// Streams (the benchmark's headset packets, bench/headset.h):
//   9600 baud   a summary packet (36 bytes) each second and a blink packet
//               (6 bytes) at a random moment of each second;
//   57600 baud  the raw wave (an 8-byte packet every 1/512 s), the summary
//               packet each second and a blink at a random moment.
// A byte takes 10 bits / baud on the line; a packet's bytes follow each
// other, and a packet due while the line is busy waits for it. The reader
// lets deferred packets out once the line has been quiet for
// tg::kQuietLineMs, as the library's does.
//
// Cuts, each tried `--trials` times in seconds 2 to 17 of a 25 s stream:
//   summary cut   a summary packet (length 32) loses its tail after 3 to 35
//                 of its bytes (a dropout);
//   raw cut       the same for a raw packet (57600 only);
//   length 169    a packet's length byte reads A9 (noise on the line): the
//                 longest frame there can be.
// Each trial has a stream of its own (blink moments and packet values), and
// a blink packet due 0 to 50 ms after the cut packet. For each: the wait of
// the first packet after the cut, and of that blink, from the moment its
// last byte arrives to the moment the framer hands it out. Printed as a
// Markdown table.
//
// Usage: cut_frame_wait [--trials N] [--seed S]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/headset.h"
#include "thinkgear/parser.h"

namespace {

struct Byte {
  uint8_t value;
  double time;  // seconds: when the byte has arrived
};

enum Kind { kSummary, kBlink, kRaw };

struct Packet {
  Kind kind;
  double due;   // when the headset sends it
  bool behind;  // the blink put right behind the cut
};

// The packets of `seconds` of the stream, in the order they are due.
std::vector<Packet> Schedule(int baud, int seconds, std::mt19937 *random) {
  std::vector<Packet> packets;
  std::uniform_real_distribution<double> moment(0.05, 0.95);
  for (int s = 0; s < seconds; ++s) {
    packets.push_back({kSummary, static_cast<double>(s), false});
    packets.push_back({kBlink, s + moment(*random), false});
    if (baud == 57600) {
      for (int i = 1; i < 512; ++i) {
        packets.push_back({kRaw, s + i / 512.0, false});
      }
    }
  }
  std::stable_sort(packets.begin(), packets.end(),
                   [](const Packet &a, const Packet &b) { return a.due < b.due; });
  return packets;
}

std::vector<uint8_t> Bytes(Kind kind, uint32_t n) {
  if (kind == kSummary) {
    return bench::Summary(n);
  }
  if (kind == kBlink) {
    return testkit::Blink(static_cast<int>(1 + n % 200));
  }
  return testkit::Raw(bench::RawSample(n));
}

enum Cut { kCutSummary, kCutRaw, kLength169 };

const double kLost = 1e9;  // the wait of a packet never handed out

struct Result {
  double packetWait;  // the first packet after the cut
  double blinkWait;   // the first blink after it
};

// Lays the stream on the line with the cut in packet `victim` (of the
// victim's kind), frames it, and returns the waits.
Result Run(int baud, const std::vector<Packet> &packets, size_t victim, Cut cut, size_t keep,
           uint32_t values) {
  const double byteTime = 10.0 / baud;
  std::vector<Byte> line;
  std::vector<size_t> packetEnd(packets.size(), 0);  // index after each packet's last byte
  double free = 0;
  for (size_t p = 0; p < packets.size(); ++p) {
    std::vector<uint8_t> bytes = Bytes(packets[p].kind, values + static_cast<uint32_t>(p));
    if (p == victim) {
      if (cut == kLength169) {
        bytes[2] = 0xA9;
      } else {
        bytes.resize(keep);
      }
    }
    double t = std::max(free, packets[p].due);
    for (uint8_t b : bytes) {
      t += byteTime;
      line.push_back({b, t});
    }
    free = t;
    packetEnd[p] = line.size();
  }
  // Frame it byte by byte, noting when each frame is handed out. As the
  // library's reader does, a line quiet for tg::kQuietLineMs while the
  // framer defers frames lets them out.
  tg::Framer framer;
  std::vector<double> handedOut(line.size() + 1, -1);  // by frame end
  const double quiet = tg::kQuietLineMs / 1000.0;
  auto feed = [&](const uint8_t *byte, size_t left, double time) {
    for (;;) {
      bool ready = false;
      const size_t used = framer.feed(byte, left, &ready);
      byte += used;
      left -= used;
      if (!ready) {
        break;  // the byte is consumed and no frame is ready
      }
      handedOut[framer.frame().end] = time;
    }
  };
  for (size_t i = 0; i < line.size(); ++i) {
    if (i > 0 && framer.deferring() && line[i].time - line[i - 1].time > quiet) {
      framer.lineQuiet();
      feed(nullptr, 0, line[i - 1].time + quiet);
    }
    feed(&line[i].value, 1, line[i].time);
  }
  Result result = {-1, -1};
  for (size_t p = victim + 1; p < packets.size(); ++p) {
    const size_t end = packetEnd[p];
    const double wait = handedOut[end] < 0 ? kLost : handedOut[end] - line[end - 1].time;
    if (result.packetWait < 0) {
      result.packetWait = wait;
    }
    if (packets[p].behind) {
      result.blinkWait = wait;
      break;
    }
  }
  return result;
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  const size_t rank = static_cast<size_t>(share * static_cast<double>(values.size()) + 0.999999);
  return values[rank == 0 ? 0 : std::min(rank, values.size()) - 1];
}

// p50 / p99 / max of the packets handed out, and how many never were (a
// frame around them with a good checksum by chance took them).
std::string Figures(const std::vector<double> &all) {
  std::vector<double> waits;
  for (double w : all) {
    if (w < kLost) {
      waits.push_back(w);
    }
  }
  char text[160];
  std::snprintf(text, sizeof text, "%.1f / %.1f / %.1f ms (%zu of %zu lost)",
                Percentile(waits, 0.5) * 1000, Percentile(waits, 0.99) * 1000,
                Percentile(waits, 1.0) * 1000, all.size() - waits.size(), all.size());
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  int trials = 2000;
  unsigned seed = 13;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--trials") == 0) {
      trials = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--seed") == 0) {
      seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: cut_frame_wait [--trials N] [--seed S]\n");
      return 2;
    }
  }
  std::mt19937 random(seed);
  std::printf(
      "| Line | Cut | First packet after it: p50 / p99 / max | A blink 0 to 50 ms "
      "behind it: p50 / p99 / max |\n|---|---|---|---|\n");
  for (int baud : {9600, 57600}) {
    struct {
      Cut cut;
      Kind kind;
      const char *name;
    } cuts[] = {{kCutSummary, kSummary, "summary packet cut after 3 to 35 of its 36 bytes"},
                {kCutRaw, kRaw, "raw packet cut after 3 to 7 of its 8 bytes"},
                {kLength169, kSummary, "a length byte read as 169 (A9)"}};
    for (const auto &c : cuts) {
      if (c.kind == kRaw && baud != 57600) {
        continue;
      }
      std::vector<double> packetWaits;
      std::vector<double> blinkWaits;
      for (int t = 0; t < trials; ++t) {
        // A stream of its own, a victim of the kind in seconds 2 to 17, and
        // a blink due 0 to 50 ms after the victim.
        std::vector<Packet> packets = Schedule(baud, 25, &random);
        size_t victim = 0;
        do {
          victim = std::uniform_int_distribution<size_t>(0, packets.size() - 1)(random);
        } while (packets[victim].kind != c.kind || packets[victim].due < 2 ||
                 packets[victim].due > 17);
        const double due =
            packets[victim].due + std::uniform_real_distribution<double>(0, 0.05)(random);
        size_t at = victim + 1;
        while (at < packets.size() && packets[at].due <= due) {
          ++at;
        }
        packets.insert(packets.begin() + static_cast<long>(at), Packet{kBlink, due, true});
        const size_t length = c.kind == kRaw ? 8 : 36;
        const size_t keep = std::uniform_int_distribution<size_t>(3, length - 1)(random);
        const Result r =
            Run(baud, packets, victim, c.cut, keep, static_cast<uint32_t>(random() % 100000));
        packetWaits.push_back(r.packetWait);
        blinkWaits.push_back(r.blinkWait);
      }
      std::printf("| %d baud | %s | %s | %s |\n", baud, c.name, Figures(packetWaits).c_str(),
                  Figures(blinkWaits).c_str());
    }
  }
  std::printf(
      "\n%d trials a row, seed %u; a wait runs from the packet's last byte on the line "
      "to the framer handing it out.\n",
      trials, seed);
  return 0;
}
