// The decimal reader every number in the program goes through, and the
// search without regard to case.
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "base/text.h"

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

TEST(FindNoCase, FoldsAsciiLettersOnly) {
  const char* text = "Content-LENGTH: 5";
  EXPECT_EQ(text + 8, FindNoCase(text, "length"));
  EXPECT_EQ(text, FindNoCase(text, ""));
  EXPECT_EQ(nullptr, FindNoCase(text, "lengthy"));
  EXPECT_EQ(nullptr, FindNoCase("\xC3\xA9", "\xC3\x89"));
}

}  // namespace
