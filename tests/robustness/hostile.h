// A hostile byte stream, as a bad radio link or a failing device delivers
// it: each fault is followed by a good packet with a value of its own, so a
// reader of the stream must give exactly the good packets' values, in order,
// and nothing from the faults. The library test and the end-to-end test
// send the same bytes.
#ifndef NICTATE_TESTS_ROBUSTNESS_HOSTILE_H
#define NICTATE_TESTS_ROBUSTNESS_HOSTILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/stream_bytes.h"

namespace hostile {

// A value a good packet carries: attention or blink strength.
struct Expected {
  bool blink;
  int value;
};

struct Segment {
  std::string fault;           // what is wrong with the bytes before the good packet
  std::vector<uint8_t> bytes;  // the fault, then the good packet
  std::vector<Expected> values;
};

using testbytes::Packet;

// The good packet of segment n: attention 20 + n, and on every other one a
// blink of strength 40 + n.
inline void AppendGood(Segment *s, int n) {
  std::vector<uint8_t> payload = {0x04, static_cast<uint8_t>(20 + n)};
  s->values.push_back({false, 20 + n});
  if (n % 2 == 0) {
    payload.push_back(0x16);
    payload.push_back(static_cast<uint8_t>(40 + n));
    s->values.push_back({true, 40 + n});
  }
  const std::vector<uint8_t> good = Packet(payload);
  s->bytes.insert(s->bytes.end(), good.begin(), good.end());
}

inline std::vector<Segment> Segments() {
  std::vector<Segment> segments;
  // A fault that leaves a frame open past the good packet holds the packet
  // until that frame has ended (it might be a packet around it): such a
  // segment ends in 171 bytes of 00, which end any frame.
  auto add = [&](const std::string &fault, std::vector<uint8_t> bytes,
                 std::vector<Expected> values = {}, bool leavesAFrameOpen = false) {
    Segment s{fault, bytes, values};
    AppendGood(&s, static_cast<int>(segments.size()));
    if (leavesAFrameOpen) {
      s.bytes.insert(s.bytes.end(), 171, 0x00);
    }
    segments.push_back(s);
  };
  // False values the faults carry: attention 99, 98, ...; blink 0x61...
  const std::vector<uint8_t> falseRows = {0x04, 0x63, 0x16, 0x61};

  add("garbage burst with stray sync bytes",
      {0x13, 0x37, 0xAA, 0x00, 0xFF, 0xAA, 0x55, 0x04, 0x63, 0x16, 0x61,
       0xAA, 0xAB, 0x7E, 0xAA, 0xAA, 0x30, 0x81, 0x00, 0x00, 0xAA, 0x5A,
       0xA5, 0xC3, 0x3C, 0xFE, 0x01, 0x80, 0x02, 0x12, 0x34},
      {}, true);  // AA AA 30 opens a frame of 48 bytes
  // The sync and length promise 32 bytes; 3 come. Without a look inside the
  // cut frame, it would swallow the good packet after it.
  add("truncated packet", {0xAA, 0xAA, 0x20, 0x04, 0x63, 0x16}, {}, true);
  {
    std::vector<uint8_t> bad = Packet(falseRows);
    bad.back() ^= 0x01;  // one bit off in the checksum
    add("bad checksum", bad);
  }
  {
    std::vector<uint8_t> bad = Packet(falseRows);
    bad.insert(bad.end() - 1, 0x05);  // a stray byte where the checksum goes
    add("byte inserted before the checksum", bad);
  }
  add("length 171", {0xAA, 0xAA, 0xAB, 0x04, 0x63, 0x16, 0x61, 0x00});
  add("length 255", {0xAA, 0xAA, 0xFF, 0x04, 0x63, 0x16, 0x61, 0x00});
  // 0xAA where the length goes only prolongs the sync; the byte after it
  // (0x2A) then reads as a length of 42 that the bytes do not make up.
  add("length 170", {0xAA, 0xAA, 0xAA, 0x2A, 0x04, 0x63, 0x16, 0x61}, {}, true);
  // Whole frames with good checksums whose rows must give nothing false.
  add("extended-code chain",
      Packet({0x55, 0x55, 0x04, 0x63, 0x55, 0x16, 0x61, 0x55, 0x55, 0x55, 0x83, 0x01, 0x00}));
  add("row that runs past the payload", Packet({0x83, 0x18, 0x00, 0x00, 0x01, 0x04, 0x63}));
  add("one-byte row without its value", Packet({0x16}));
  add("values out of range", Packet({0x04, 0x65, 0x02, 0xC9, 0x05, 0xFF, 0x16, 0x00}));
  add("unknown rows around a good one", Packet({0x03, 0x63, 0x90, 0x02, 0x16, 0x61, 0x04, 0x2E}),
      {{false, 0x2E}});
  add("empty payload", Packet({}));
  add("sync bytes only", std::vector<uint8_t>(40, 0xAA));
  return segments;
}

}  // namespace hostile

#endif
