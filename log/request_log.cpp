#include "log/request_log.h"

#include <ctime>

namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

bool FormatLogTime(long long secondsSinceEpoch, char* out, size_t size) {
  std::time_t when = static_cast<std::time_t>(secondsSinceEpoch);
  const std::tm* utc = std::gmtime(&when);
  if (!utc || utc->tm_wday < 0 || utc->tm_wday > 6 || utc->tm_mon < 0 || utc->tm_mon > 11) {
    return false;
  }
  // Spelled out rather than strftime'd so the names never follow a locale.
  int written = std::snprintf(out, size, "%s %s %02d %02d:%02d:%02d %04d",
                              kDayNames[utc->tm_wday], kMonthNames[utc->tm_mon],
                              utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec,
                              utc->tm_year + 1900);
  return written == 24;
}

void LogBanner(FILE* file) {
  char stamp[32];
  std::fputs("------------------------ LOG ------------------------\n", file);
  if (FormatLogTime(static_cast<long long>(std::time(nullptr)), stamp, sizeof stamp)) {
    std::fputs(stamp, file);
  }
  std::fputs("\n", file);
  std::fflush(file);
}

void LogEvent(const char* text, FILE* file) {
  std::fprintf(file, "\t%s\n", text);
  std::fflush(file);
}

void LogSocketError(const char* format, const char* prefix, long code, FILE* file) {
  std::fprintf(file, format, prefix, code);
  std::fputs("\n", file);
  std::fflush(file);
}
