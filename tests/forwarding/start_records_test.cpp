// The records a start leaves: the pause that failed starts earn, and the
// environment file's lines.
#include <string>

#include <gtest/gtest.h>

#include "forwarding/environment_file.h"
#include "forwarding/start_records.h"

namespace {

// An application that fails at once is started at 0, 1, 3, 7, 15, 31 and 63
// seconds, then once a minute; one that lasted 10 s starts afresh.
TEST(StartRecords, FailedStartsEarnAGrowingPause) {
  const int64_t kPauses[] = {0, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
  for (int64_t failures = 0; failures < 9; ++failures) {
    EXPECT_EQ(kPauses[failures], BackoffPause(failures)) << failures;
  }
  EXPECT_EQ(60000, BackoffPause(1000));
  const struct {
    StartRecord before;
    int64_t now;
    bool mayStart;
    StartRecord after;
  } kRows[] = {
      {{0, 0, 0}, 5000, true, {0, 0, 0}},                   // never failed
      {{0, 2, 9000}, 8999, false, {0, 2, 9000}},            // pausing
      {{0, 2, 9000}, 9000, true, {0, 2, 9000}},             // the pause is over
      {{1000, 2, 0}, 10999, false, {0, 3, 14999}},          // gone 9.999 s after its start
      {{1000, 2, 0}, 11000, true, {1000, 0, 0}},            // it lasted: the count starts over
      {{0, 1, 900000}, 5000, true, {0, 1, 900000}},         // the clock was set back
  };
  for (const auto& row : kRows) {
    StartRecord record = row.before;
    EXPECT_EQ(row.mayStart, MayStart(&record, row.now)) << row.now;
    EXPECT_EQ(row.after.lastStart, record.lastStart) << row.now;
    EXPECT_EQ(row.after.failures, record.failures) << row.now;
    EXPECT_EQ(row.after.until, record.until) << row.now;
  }
  StartRecord record{5, 6, 7};
  char text[64];
  FormatRecord(record, text, sizeof text);
  EXPECT_STREQ("5 6 7\n", text);
  for (const char* bad : {"", "5 6", "5 6 7 8", "5 6 x", "5 6 7x"}) {
    EXPECT_FALSE(ParseRecord(bad, &record)) << bad;
  }
  ASSERT_TRUE(ParseRecord(" 1 -2 3\r\n", &record));
  EXPECT_EQ(-2, record.failures);
}

TEST(EnvironmentFile, KeyValueLinesAndNothingElse) {
  const std::string text =
      "# secrets\n"
      "API_TOKEN=t0k=en \"quoted\" $HOME\r\n"
      "\n   \t\n  # indented comment\n"
      "_x1=\n"
      "export A=1\n"
      " B=2\n"
      "1A=3\n"
      "NOVALUE\n"
      "=4\n"
      "LAST=no line end";
  const char* at = text.c_str();
  GrowingBuffer entries;
  std::string kinds;
  for (EnvironmentLine kind; (kind = ReadEnvironmentLine(&at, entries)) != EnvironmentLine::kEnd;) {
    kinds += "E.?"[static_cast<int>(kind)];
  }
  EXPECT_EQ(".E...E?????E", kinds);
  const char kEntries[] = "API_TOKEN=t0k=en \"quoted\" $HOME\0_x1=\0LAST=no line end\0";
  EXPECT_EQ(std::string(kEntries, sizeof kEntries - 1),
            std::string(entries.Data(), static_cast<size_t>(entries.Length())));
}

}  // namespace
