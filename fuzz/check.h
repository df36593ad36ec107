// The fuzz targets' assertion: a broken invariant ends the run with where
// and what, and libFuzzer keeps the input that broke it. Unlike assert, it
// holds in every build type.
#ifndef NICTATE_FUZZ_CHECK_H
#define NICTATE_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                                                     \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

#endif
