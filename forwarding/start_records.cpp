#include "forwarding/start_records.h"

#include <cstdio>

#include "base/text.h"

namespace {

constexpr int64_t kFirstPause = 1000;
constexpr int64_t kLongestPause = 60000;

void FormatNumbers(const int64_t (&values)[3], char* out, size_t size) {
  std::snprintf(out, size, "%lld %lld %lld\n", static_cast<long long>(values[0]),
                static_cast<long long>(values[1]), static_cast<long long>(values[2]));
}

// Three decimal numbers apart by blanks, and nothing else but the line end.
bool ParseNumbers(const char* text, int64_t (&values)[3]) {
  for (int64_t& value : values) {
    if (!ReadDecimal(text, nullptr, &value)) return false;
    while (IsAsciiSpace(*text)) ++text;
    if (*text == '-' || *text == '+') ++text;
    while (IsAsciiDigit(*text)) ++text;
    if (*text != '\0' && !IsAsciiSpace(*text)) return false;
  }
  while (IsAsciiSpace(*text)) ++text;
  return *text == '\0';
}

}  // namespace

int64_t BackoffPause(int64_t failures) {
  if (failures <= 0) return 0;
  int64_t pause = kFirstPause;
  for (int64_t i = 1; i < failures && pause < kLongestPause; ++i) pause *= 2;
  return pause < kLongestPause ? pause : kLongestPause;
}

bool Pausing(const StartRecord& record, int64_t now) {
  return now < record.until && record.until - now <= kLongestPause;
}

void StartFailed(StartRecord* record, int64_t now) {
  record->lastStart = 0;
  ++record->failures;
  record->until = now + BackoffPause(record->failures);
}

bool MayStart(StartRecord* record, int64_t now) {
  if (Pausing(*record, now)) return false;
  if (record->lastStart != 0) {
    if (now >= record->lastStart && now - record->lastStart < kQuickEndMilliseconds) {
      StartFailed(record, now);
      return false;
    }
    record->failures = 0;
  }
  return true;
}

void FormatRecord(const RunningRecord& record, char* out, size_t size) {
  FormatNumbers({record.id, record.mark, record.started}, out, size);
}

void FormatRecord(const StartRecord& record, char* out, size_t size) {
  FormatNumbers({record.lastStart, record.failures, record.until}, out, size);
}

bool ParseRecord(const char* text, RunningRecord* record) {
  int64_t values[3];
  if (!ParseNumbers(text, values)) return false;
  *record = RunningRecord{values[0], values[1], values[2]};
  return true;
}

bool ParseRecord(const char* text, StartRecord* record) {
  int64_t values[3];
  if (!ParseNumbers(text, values)) return false;
  *record = StartRecord{values[0], values[1], values[2]};
  return true;
}
