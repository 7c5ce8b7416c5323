// What the fuzzers share: a check that stops the run with a message, so that
// libFuzzer records the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, message)                                              \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__,    \
                   #condition, message);                                            \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
