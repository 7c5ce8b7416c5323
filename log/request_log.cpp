#include "log/request_log.h"

#include <cstdio>
#include <ctime>

namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Civil date from a day count (days since 1970-01-01), by arithmetic: the same
// on every platform, any year, no time-zone or locale involved.
void CivilFromDays(long long days, long long* year, int* month, int* day) {
  days += 719468;
  long long era = (days >= 0 ? days : days - 146096) / 146097;
  long long dayOfEra = days - era * 146097;
  long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  long long shiftedMonth = (5 * dayOfYear + 2) / 153;  // March = 0
  *day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  *month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool ToCivilTime(long long secondsSinceEpoch, CivilTime* time) {
  constexpr long long kSecondsPerDay = 86400;
  // Beyond these the year has more than four digits.
  if (secondsSinceEpoch < -62167219200LL || secondsSinceEpoch >= 253402300800LL) return false;
  long long days = secondsSinceEpoch / kSecondsPerDay;
  long long second = secondsSinceEpoch % kSecondsPerDay;
  if (second < 0) {
    second += kSecondsPerDay;
    --days;
  }
  CivilFromDays(days, &time->year, &time->month, &time->day);
  time->weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  time->hour = static_cast<int>(second / 3600);
  time->minute = static_cast<int>(second / 60 % 60);
  time->second = static_cast<int>(second % 60);
  return true;
}

bool FormatLogTime(long long secondsSinceEpoch, char* out, size_t size) {
  CivilTime time;
  if (!ToCivilTime(secondsSinceEpoch, &time)) return false;
  int written = std::snprintf(out, size, "%s %s %02d %02d:%02d:%02d %04lld",
                              kDayNames[time.weekday], kMonthNames[time.month - 1], time.day,
                              time.hour, time.minute, time.second, time.year);
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
