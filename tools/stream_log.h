// Reads the library's stream log back: "<unix seconds>.<micros> AA AA 04 ..."
// lines, each the time bytes were read and up to 32 of them in hex. The
// simulator replays it; tests and benchmarks read it to compare streams.
#ifndef NICTATE_TOOLS_STREAM_LOG_H
#define NICTATE_TOOLS_STREAM_LOG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// The bytes of one read, and when it happened (microseconds since the epoch).
struct StreamChunk {
  int64_t micros;
  std::vector<uint8_t> bytes;
};

// Reads a whole stream log. Consecutive lines with the same time are one
// read and become one chunk. False, with *error saying why and where, when
// the file cannot be read (tools/line_input.h: a line too long, nothing
// coming), a line is not a stream log line, or it holds no bytes at all. A line the library wrote
// only in part (a full disk) is followed by its note of lost lines, or ends the file without a line
// end; such a line is left out, as its bytes are not all there.
bool ReadStreamLog(const std::string &path, std::vector<StreamChunk> *chunks, std::string *error);

}  // namespace tools

#endif
