// Stops the run with a message, so that libFuzzer keeps the input that broke
// an invariant.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, message)                                                   \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: %s (%s)\n", __FILE__, __LINE__, message, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)
