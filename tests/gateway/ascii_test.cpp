// The decimal reader every number in the program goes through.
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "gateway/ascii.h"

namespace {

TEST(ReadDecimal, ReadsWhatPercentLdReadsAndSaturates) {
  struct Case {
    const char* text;
    size_t length;  // 0: to the NUL
    bool read;
    int64_t value;
  };
  const Case kCases[] = {
      {" \t\n+12x", 0, true, 12},           {"-5", 0, true, -5},
      {"abc", 0, false, 0},                 {"-", 0, false, 0},
      {"123", 2, true, 12},                 {" 7", 1, false, 0},
      {"9223372036854775807", 0, true, INT64_MAX},
      {"99999999999999999999", 0, true, INT64_MAX},
      {"-9223372036854775808", 0, true, INT64_MIN},
      {"-99999999999999999999", 0, true, INT64_MIN},
  };
  for (const Case& c : kCases) {
    int64_t value = 0;
    EXPECT_EQ(c.read, ReadDecimal(c.text, c.length ? c.text + c.length : nullptr, &value))
        << c.text;
    EXPECT_EQ(c.value, value) << c.text;
  }
}

}  // namespace
