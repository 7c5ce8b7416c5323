// What starts of the application leave beside the lock file, for the
// requests after them: the process that runs it, and the failed starts with
// the pause they earn, so that an application that fails at once is not
// started by every request. Times in milliseconds since 1970.
#pragma once

#include <cstddef>
#include <cstdint>

// The application's process ("<program>.pid"): its id, the mark that tells
// it from a later process with the same id, and when it was started.
struct RunningRecord {
  int64_t id = 0;
  int64_t mark = 0;
  int64_t started = 0;
};

// The failed starts ("<program>.backoff").
struct StartRecord {
  int64_t lastStart = 0;  // the last start, not judged yet; 0: none
  int64_t failures = 0;   // failed starts in a row
  int64_t until = 0;      // no start before this
};

// An application gone within this of its start failed.
constexpr int64_t kQuickEndMilliseconds = 10000;
// The pause after `failures` failed starts in a row: 1 s, doubling to 60 s.
int64_t BackoffPause(int64_t failures);
// Whether a pause holds at `now`. One longer than any pause means the clock
// was set back since, and holds no more.
bool Pausing(const StartRecord& record, int64_t now);
// A start that failed at `now`: one failure more, and its pause.
void StartFailed(StartRecord* record, int64_t now);
// Before a start at `now`, when the last one is no longer there: it failed
// if it ended soon after its start, and the record says so; a start that
// lasted clears the count. False when the application is not to be started.
bool MayStart(StartRecord* record, int64_t now);

// The records as a line of numbers, and back (false for anything else).
void FormatRecord(const RunningRecord& record, char* out, size_t size);
void FormatRecord(const StartRecord& record, char* out, size_t size);
bool ParseRecord(const char* text, RunningRecord* record);
bool ParseRecord(const char* text, StartRecord* record);
