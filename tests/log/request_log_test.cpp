#include <cstdio>
#include <ctime>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "log/request_log.h"
#include "tests/support/temp_folder.h"

namespace {

const char kBanner[] = "------------------------ LOG ------------------------\n";

// A log file opened as the gateway opens it, read back through a separate
// stream so that only flushed lines are seen.
class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.Ok());
    path_ = folder_.File("nph-gw.txt");
    file_ = std::fopen(path_.c_str(), "a");
    ASSERT_NE(nullptr, file_);
  }
  void TearDown() override {
    if (file_) std::fclose(file_);
  }
  std::string Written() const { return TempFolder::ReadText(path_); }

  TempFolder folder_;
  std::string path_;
  FILE* file_ = nullptr;
};

std::string Formatted(long long seconds) {
  char out[32] = "untouched";
  if (!FormatLogTime(seconds, out, sizeof out)) return "<failed>";
  return out;
}

TEST(FormatLogTime, FixedTimes) {
  EXPECT_EQ("Thu Jan 01 00:00:00 1970", Formatted(0));
  EXPECT_EQ("Sun Dec 06 01:17:05 2026", Formatted(1796519825));
  EXPECT_EQ("Tue Feb 29 12:00:00 2000", Formatted(951825600));
  EXPECT_EQ("Fri Dec 31 23:59:59 1999", Formatted(946684799));
  EXPECT_EQ("Wed Dec 31 23:59:59 1969", Formatted(-1));
  // Beyond 2038: 32-bit seconds would have wrapped here.
  EXPECT_EQ("Sat Jan 01 00:00:00 2050", Formatted(2524608000LL));
}

TEST(FormatLogTime, YearsThatDoNotFitFourDigitsFail) {
  EXPECT_EQ("<failed>", Formatted(253402300800LL));  // year 10000
  EXPECT_EQ("<failed>", Formatted(1000000000000000000LL));
}

TEST_F(LogFile, BannerThenTheCurrentTimeInUtc) {
  std::time_t before = std::time(nullptr);
  LogBanner(file_);
  std::time_t after = std::time(nullptr);
  std::string written = Written();  // not closed: the banner flushes itself

  ASSERT_EQ(sizeof kBanner - 1 + 24 + 1, written.size()) << written;
  EXPECT_EQ(kBanner, written.substr(0, sizeof kBanner - 1));
  std::string stamp = written.substr(sizeof kBanner - 1, 24);
  EXPECT_EQ('\n', written.back());
  EXPECT_TRUE(std::regex_match(
      stamp, std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                        "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}")))
      << stamp;
  EXPECT_TRUE(stamp == Formatted(before) || stamp == Formatted(after)) << stamp;
}

TEST_F(LogFile, EventsAndSocketErrors) {
  LogEvent("Connected", file_);
  EXPECT_EQ("\tConnected\n", Written()) << "each line is flushed as it is written";
  LogEvent("Data sent", file_);
  LogSocketError("Connection error: %s%ld", "", 111, file_);
  LogSocketError("Send error: %s%ld", "", 32, file_);
  LogSocketError("No socket: %s%ld\n", "", 24, file_);
  EXPECT_EQ(
      "\tConnected\n"
      "\tData sent\n"
      "Connection error: 111\n"
      "Send error: 32\n"
      "No socket: 24\n"
      "\n",
      Written());
}

TEST_F(LogFile, RecordsAreAppended) {
  LogBanner(file_);
  LogEvent("Timeout", file_);
  std::fclose(file_);
  file_ = std::fopen(path_.c_str(), "a");
  ASSERT_NE(nullptr, file_);
  LogBanner(file_);
  LogEvent("Network error", file_);

  std::string written = Written();
  size_t first = written.find(kBanner);
  size_t second = written.find(kBanner, first + 1);
  ASSERT_EQ(0u, first);
  ASSERT_NE(std::string::npos, second);
  EXPECT_NE(std::string::npos, written.find("\tTimeout\n"));
  EXPECT_LT(written.find("\tTimeout\n"), second);
  EXPECT_EQ(written.size() - 15, written.rfind("\tNetwork error\n"));
}

}  // namespace
