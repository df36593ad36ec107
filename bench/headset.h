// What the benchmarks' headset sends beyond single values (testkit/packets.h
// has those): summary packets and a raw wave, made without the library.
#ifndef NICTATE_BENCH_HEADSET_H
#define NICTATE_BENCH_HEADSET_H

#include <cstdint>

#include "testkit/packets.h"

namespace bench {

// A summary packet (36 bytes): poor signal, attention, meditation and the
// eight band powers, varying with n so that consecutive packets differ.
testkit::Bytes Summary(uint32_t n);

// Sample i of a raw wave that wanders like a real one.
int16_t RawSample(uint32_t i);

}  // namespace bench

#endif
