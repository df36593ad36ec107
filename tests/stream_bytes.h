// The headset's packets built in tests, with their checksums computed here
// and not by the code under test, and a count of this process's open
// descriptors for the tests of leaks.
#ifndef NICTATE_TESTS_STREAM_BYTES_H
#define NICTATE_TESTS_STREAM_BYTES_H

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testbytes {

using Bytes = std::vector<uint8_t>;

// 0xAA 0xAA, the length, the payload and the low eight bits of its inverted
// sum.
inline Bytes Packet(const Bytes &payload) {
  uint8_t sum = 0;
  for (uint8_t b : payload) {
    sum = static_cast<uint8_t>(sum + b);
  }
  // Sized once and filled in place (an insert into a three-byte vector
  // sets off a false -Warray-bounds in GCC 12 at -O3).
  Bytes packet(payload.size() + 4);
  packet[0] = 0xAA;
  packet[1] = 0xAA;
  packet[2] = static_cast<uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), packet.begin() + 3);
  packet.back() = static_cast<uint8_t>(~sum);
  return packet;
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// The descriptors this process has open (and one for the listing itself),
// or -1.
inline int OpenDescriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  while (readdir(dir) != nullptr) {
    ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace testbytes

#endif
