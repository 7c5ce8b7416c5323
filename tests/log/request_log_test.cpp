// The request log's time stamps and lines.
#include <string>

#include <gtest/gtest.h>

#include "log/request_log.h"
#include "tests/support/captured_log.h"

namespace {

std::string Formatted(long long seconds) {
  char out[64];
  return FormatLogTime(seconds, out, sizeof out) ? out : "<failed>";
}

// Dates are computed, not taken from the C library, which refuses times
// before 1970 on some systems.
TEST(FormatLogTime, UtcInTheLogsOwnFormat) {
  const std::pair<long long, const char*> kCases[] = {
      {0, "Thu Jan 01 00:00:00 1970"},           {1796519825, "Sun Dec 06 01:17:05 2026"},
      {951825600, "Tue Feb 29 12:00:00 2000"},   {946684799, "Fri Dec 31 23:59:59 1999"},
      {-1, "Wed Dec 31 23:59:59 1969"},          {2524608000LL, "Sat Jan 01 00:00:00 2050"},
      {4107542400LL, "Mon Mar 01 00:00:00 2100"}, {253402300800LL, "<failed>"},
      {1000000000000000000LL, "<failed>"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.second, Formatted(c.first)) << c.first;
}

TEST(RequestLog, LinesAreWrittenAsTheyHappen) {
  CapturedLog log;
  ASSERT_NE(nullptr, log.File());
  LogEvent("Connected", log.File());
  EXPECT_EQ("\tConnected\n", log.Text()) << "each line is flushed as it is written";
  LogSocketError("Connection error: %s%ld", "", 111, log.File());
  EXPECT_EQ("\tConnected\nConnection error: 111\n", log.Text());
}

}  // namespace
