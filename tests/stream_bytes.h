// The headset's packets built in tests, with their checksums computed here
// and not by the code under test, and a count of this process's open
// descriptors for the tests of leaks.
#ifndef NICTATE_TESTS_STREAM_BYTES_H
#define NICTATE_TESTS_STREAM_BYTES_H

#include <dirent.h>

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
  Bytes packet = {0xAA, 0xAA, static_cast<uint8_t>(payload.size())};
  packet.insert(packet.end(), payload.begin(), payload.end());
  packet.push_back(static_cast<uint8_t>(~sum));
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
